// Shell commands on POSIX: /bin/sh -c in a process group of its own, its
// output read from pipes by a thread of ours that passes on its first part.
//
// On Linux the shell is started by a keeper, a fork of this process that
// execs nothing: the subreaper of everything the shell starts. A process that
// leaves the group (setsid, a double fork) is handed to the keeper when its
// parent ends, instead of to init; once the shell has ended, the keeper ends
// its group and every such process, and whatever those left in turn, and
// then ends itself with the shell's status. The keeper is not in the shell's
// group, so the group's signals never end it before it has done so. Other
// systems have no subreaper: there, what leaves the group outlives the
// command.
//
// POSIX calls here return 0, a count or a descriptor upon success and -1 upon
// failure.
#include "platform/ShellCommand.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "platform/posix/ChildStreams.h"
#include "platform/posix/WaitStatus.h"

extern char **environ;

// After the shell's end, what is still in the pipes is passed on until they
// stay quiet this long (or are closed), for at most DRAIN_MAX_MS.
#define DRAIN_QUIET_MS 50
#define DRAIN_MAX_MS 1000

// The command's output on its way: the read ends of its pipes (standard
// output, and standard error when it goes elsewhere) and where each goes.
struct OutputCopy {
  int from[2] = {-1, -1};
  int to[2] = {-1, -1};
  unsigned long long limit = 0, passed = 0, leftOut = 0;
  std::atomic<bool> shellEnded{false}, done{false};
  std::thread thread;
};

struct ShellCommand {
  pid_t pid = -1;    // the process waited for: the shell, or on Linux its keeper
  pid_t group = -1;  // the shell's process group (its pid); -1 when it never started
  bool ended = false;
  int status = 0;
  OutputCopy copy;
};

// Writes all of it, as far as the destination takes it (one that fails is
// given up: the rest is left out, as past the limit).
static bool writeAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);  // a count, -1 upon failure
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= (size_t)n;
  }
  return true;
}

// The thread's work: reads until every pipe is closed, or, once the shell has
// ended, until they are quiet. Up to the limit, what it reads is written on;
// the rest only counted.
static void copyOutput(OutputCopy *copy) {
  char buffer[65536];
  std::chrono::steady_clock::time_point endSeen;
  bool endKnown = false;
  for (;;) {
    struct pollfd fds[2];
    int which[2];
    nfds_t count = 0;
    for (int i = 0; i < 2; i++)
      if (copy->from[i] >= 0) {
        which[count] = i;
        fds[count++] = {copy->from[i], POLLIN, 0};
      }
    if (count == 0) break;
    if (copy->shellEnded && !endKnown) {
      endKnown = true;
      endSeen = std::chrono::steady_clock::now();
    }
    if (endKnown &&
        std::chrono::steady_clock::now() - endSeen > std::chrono::milliseconds(DRAIN_MAX_MS))
      break;
    // Returns the count of descriptors ready, 0 on timeout, -1 upon failure.
    const int ready = poll(fds, count, DRAIN_QUIET_MS);
    if (ready == 0 && endKnown) break;
    for (nfds_t k = 0; ready > 0 && k < count; k++) {
      if (fds[k].revents == 0) continue;
      int &from = copy->from[which[k]];
      const ssize_t n = read(from, buffer, sizeof buffer);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        close(from);
        from = -1;
        continue;
      }
      size_t kept = (size_t)std::min<unsigned long long>((size_t)n, copy->limit - copy->passed);
      if (kept > 0 && !writeAll(copy->to[which[k]], buffer, kept)) {
        copy->limit = copy->passed;  // a destination that fails takes nothing more
        kept = 0;
      }
      copy->passed += kept;
      copy->leftOut += (size_t)n - kept;
    }
  }
  copy->done = true;
}

// The output file as found: appended to, never created, a link or anything
// but a regular file (a fifo would block the open) refused for the null device.
static int openExistingOutput(const std::string &path) {
  if (!path.empty()) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      fcntl(fd, F_SETFL, O_APPEND);
      return fd;
    }
    if (fd >= 0) close(fd);
  }
  return open("/dev/null", O_WRONLY | O_CLOEXEC);
}

// The shell's start in its child: its own group, SIGTERM when its parent ends,
// the signals at their defaults; returns only when the exec failed.
static void execShell(pid_t parent, char **argv, char **envp) {
  setpgid(0, 0);  // its own group: the terminal's interrupts are not its; killpg ends all of it
#ifdef __linux__
  // A parent that dies leaves no command running for long.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return;
#else
  (void)parent;
#endif
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
  execve(argv[0], argv, envp);
}

#ifdef __linux__
// ---- The keeper (a forked child: async-signal-safe calls only) -----------------------

static volatile pid_t gKeptShell = 0;
static volatile sig_atomic_t gKeeperTold = 0;

// The tool gone (the keeper's death signal) or a stop sent to the keeper:
// passed on to the shell's group, as the shell would have had it.
static void passOnStop(int) {
  gKeeperTold = 1;
  if (gKeptShell > 0) killpg(gKeptShell, SIGTERM);
}

// Ends every child of this process but the shell, until none is left: those
// are what escaped the shell's group, handed here as their parents ended, and
// each one's own children follow it here. /proc lists them.
static void endAdopted(pid_t shell) {
  char path[64] = "/proc/self/task/";
  char digits[16];
  int n = 0, at = (int)strlen(path);
  for (pid_t id = getpid(); id > 0; id /= 10) digits[n++] = (char)('0' + id % 10);
  while (n > 0) path[at++] = digits[--n];
  memcpy(path + at, "/children", sizeof "/children");
  for (;;) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;  // no such list: nothing can be found
    char text[4096];
    ssize_t got = 0, more;
    while (got < (ssize_t)sizeof text && (more = read(fd, text + got, sizeof text - got)) > 0)
      got += more;
    close(fd);
    pid_t ended[512];
    int count = 0;
    pid_t id = 0;
    // Each number ends in a space: one cut off at the buffer's end is left
    // for the next round.
    for (ssize_t i = 0; i < got && count < 512; i++) {
      if (text[i] >= '0' && text[i] <= '9') {
        id = id * 10 + (text[i] - '0');
        continue;
      }
      if (id > 0 && id != shell) {
        kill(id, SIGKILL);
        ended[count++] = id;
      }
      id = 0;
    }
    if (count == 0) return;
    for (int i = 0; i < count; i++)
      while (waitpid(ended[i], NULL, 0) < 0 && errno == EINTR) {
      }
  }
}

// The keeper's life: starts the shell, tells the tool its pid on REPORT,
// holds no other descriptor of the tool's (a port's lock must not outlive its
// close there), and once the shell has ended ends what it left and ends with
// its status.
static void keepShell(pid_t tool, int report, char **argv, char **envp) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = passOnStop;
  sigaction(SIGTERM, &action, NULL);
  for (int s : {SIGINT, SIGHUP, SIGPIPE}) signal(s, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != tool) _exit(127);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  const pid_t keeper = getpid();
  const pid_t shell = fork();
  if (shell == 0) {
    execShell(keeper, argv, envp);
    _exit(127);
  }
  if (shell < 0) _exit(127);
  setpgid(shell, shell);  // as the shell does, so the group is there before the tool is told
  gKeptShell = shell;
  if (gKeeperTold) killpg(shell, SIGTERM);
  ssize_t ignored = write(report, &shell, sizeof shell);
  (void)ignored;
  bool closed = false;
#ifdef SYS_close_range
  closed = syscall(SYS_close_range, 3U, ~0U, 0U) == 0;
#endif
  if (!closed) {
    struct rlimit limit;
    const long top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                         ? (long)limit.rlim_cur
                         : 65536;
    for (long fd = 3; fd < top; fd++) close((int)fd);
  }
  // The shell's end, left unreaped meanwhile: its group's id stays its own.
  siginfo_t info;
  while (waitid(P_PID, (id_t)shell, &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  killpg(shell, SIGKILL);
  endAdopted(shell);
  int raw = 0;
  while (waitpid(shell, &raw, 0) < 0 && errno == EINTR) {
  }
  _exit(waitStatus_asShell(raw));
}
#endif

// TRUE while the shell's group may be signalled: its id is still the shell's
// (the shell unreaped, by this process or by its keeper).
static bool groupHeld(ShellCommand *command) {
  if (command->ended || command->group <= 0) return false;
  if (command->group == command->pid) return true;
  siginfo_t info;
  memset(&info, 0, sizeof info);
  return !(waitid(P_PID, (id_t)command->pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == command->pid);
}

// This process's environment without the names given, then theirs.
static std::vector<std::string> environmentWith(const ShellEnvironment &environment) {
  std::vector<std::string> variables;
  for (char **entry = environ; *entry != NULL; entry++) {
    const char *equals = strchr(*entry, '=');
    const size_t nameLength = equals != NULL ? (size_t)(equals - *entry) : strlen(*entry);
    bool replaced = false;
    for (const auto &variable : environment)
      replaced = replaced || variable.first.compare(0, std::string::npos, *entry, nameLength) == 0;
    if (!replaced) variables.push_back(*entry);
  }
  for (const auto &variable : environment)
    variables.push_back(variable.first + "=" + variable.second);
  return variables;
}

// The command's null input, its pipes and the thread that empties them: on
// success *input and writeEnds are the command's ends. False with errno set
// when one could not be made; what was made is then left to the caller to close.
static bool startCopy(OutputCopy &copy, const std::string &outputPath, bool toConsole,
                      int *input, int writeEnds[2]) {
  *input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  bool ready = *input >= 0;
  for (int i = 0; ready && i < (toConsole ? 2 : 1); i++) {
    // Returns a descriptor, -1 upon failure (a closed standard stream: its
    // part goes nowhere).
    copy.to[i] = toConsole ? fcntl(i + 1, F_DUPFD_CLOEXEC, 3) : openExistingOutput(outputPath);
    if (copy.to[i] < 0) copy.to[i] = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int ends[2];
    ready = copy.to[i] >= 0 && pipe2(ends, O_CLOEXEC) == 0;
    if (ready) copy.from[i] = ends[0], writeEnds[i] = ends[1];
  }
  if (!ready) return false;
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    copy.thread = std::thread(copyOutput, &copy);
  } catch (const std::system_error &) {
    ready = false;
    errno = EAGAIN;
  }
  pthread_sigmask(SIG_SETMASK, &previous, NULL);
  return ready;
}

static void closeEnds(int input, const int writeEnds[2]) {
  if (input >= 0) close(input);
  for (int i = 0; i < 2; i++)
    if (writeEnds[i] >= 0) close(writeEnds[i]);
}

// Forks the shell's starter (on Linux its keeper). The child's side runs
// async-signal-safe calls only, with everything it needs made before.
static pid_t forkShell(int input, int output, int errors, int report, char **argv, char **envp) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    childStreams_give(input, output, errors);
#ifdef __linux__
    setpgid(0, 0);  // a group of its own, apart from the shell's
    keepShell(parent, report, argv, envp);
#else
    (void)report;
    execShell(parent, argv, envp);
#endif
    _exit(127);
  }
  return pid;
}

#ifdef __linux__
// The keeper says the shell's pid once its group is made; nothing when the
// shell could not be started (the keeper then ends with 127): -1 then.
static pid_t reportedShell(int report) {
  pid_t shellId = -1;
  ssize_t got;
  do got = read(report, &shellId, sizeof shellId);
  while (got < 0 && errno == EINTR);
  close(report);
  return got == (ssize_t)sizeof shellId ? shellId : -1;
}
#endif

ShellCommand *shellCommand_start(const std::string &command, const ShellEnvironment &environment,
                                 const std::string &outputPath, bool toConsole,
                                 std::string *error, unsigned long long outputMax) {
  /* 1. The environment: ours without the names given, then theirs. */
  std::vector<std::string> variables = environmentWith(environment);
  std::vector<char *> envp;
  for (std::string &variable : variables) envp.push_back(&variable[0]);
  envp.push_back(NULL);
  std::string text = command;
  char shell[] = "/bin/sh", dashC[] = "-c";
  char *argv[] = {shell, dashC, &text[0], NULL};

  /* 2. Input and output: the command writes into pipes, and a thread of ours
        passes what it writes on (to the file, or to our own standard output
        and error) up to the limit. The thread takes no signal: interrupts
        are for the thread that runs the update. */
  ShellCommand *started = new ShellCommand;
  started->copy.limit = outputMax;
  int input = -1, writeEnds[2] = {-1, -1};
  if (!startCopy(started->copy, outputPath, toConsole, &input, writeEnds)) {
    *error = strerror(errno);
    closeEnds(input, writeEnds);
    shellCommand_free(started);
    return NULL;
  }
  const int output = writeEnds[0], errors = writeEnds[toConsole ? 1 : 0];

  /* 3. Between fork and exec only async-signal-safe calls. */
  int report[2] = {-1, -1};
#ifdef __linux__
  if (pipe2(report, O_CLOEXEC) != 0) {
    *error = strerror(errno);
    closeEnds(input, writeEnds);
    shellCommand_free(started);  // its pipes closed, the thread ends at once
    return NULL;
  }
#endif
  const pid_t pid = forkShell(input, output, errors, report[1], argv, envp.data());
  const int forkErrno = errno;
  closeEnds(input, writeEnds);
  if (report[1] >= 0) close(report[1]);
  if (pid < 0) {
    if (report[0] >= 0) close(report[0]);
    *error = std::string("cannot start a process: ") + strerror(forkErrno);
    shellCommand_free(started);  // its pipes closed, the thread ends at once
    return NULL;
  }
  setpgid(pid, pid);  // as the child does, so the group is there before either runs on
  started->pid = pid;
  started->group = pid;
#ifdef __linux__
  started->group = reportedShell(report[0]);
#endif
  return started;
}

// Waits for the thread, once the shell has ended, and closes what it used.
static void endCopy(OutputCopy *copy) {
  copy->shellEnded = true;
  if (copy->thread.joinable()) copy->thread.join();
  for (int i = 0; i < 2; i++) {
    if (copy->from[i] >= 0) close(copy->from[i]);
    if (copy->to[i] >= 0) close(copy->to[i]);
    copy->from[i] = copy->to[i] = -1;
  }
}

bool shellCommand_finished(ShellCommand *command, int *status) {
  if (!command->ended) {
    // Looks without reaping: while the shell is an unreaped zombie its group's
    // id is not given to another process, so what it left behind can be
    // killed by group without hitting a stranger.
    siginfo_t info;
    memset(&info, 0, sizeof info);
    const int looked = waitid(P_PID, (id_t)command->pid, &info, WEXITED | WNOHANG | WNOWAIT);
    if (looked == 0 && info.si_pid == command->pid) {
      // (A keeper has ended the shell's group itself, and what escaped it.)
      if (command->group == command->pid) killpg(command->group, SIGKILL);
      int raw = 0;
      while (waitpid(command->pid, &raw, 0) < 0 && errno == EINTR) {
      }
      command->ended = true;
      command->status = waitStatus_asShell(raw);
    } else if (looked < 0 && errno == ECHILD) {
      command->ended = true;
      command->status = 127;
    }
    command->copy.shellEnded = command->ended;
  }
  // Ended once what it wrote has been passed on too.
  if (!command->ended || !command->copy.done) return false;
  endCopy(&command->copy);
  if (status != NULL) *status = command->status;
  return true;
}

unsigned long long shellCommand_outputLeftOut(const ShellCommand *command) {
  return command->copy.leftOut;
}

void shellCommand_stop(ShellCommand *command) {
  if (groupHeld(command)) killpg(command->group, SIGTERM);
}

void shellCommand_kill(ShellCommand *command) {
  if (groupHeld(command)) killpg(command->group, SIGKILL);
}

long shellCommand_id(const ShellCommand *command) { return (long)command->group; }

void shellCommand_killById(long id) {
  if (id > 0) killpg((pid_t)id, SIGKILL);
}

void shellCommand_free(ShellCommand *command) {
  if (command == NULL) return;
  if (!command->ended && command->pid > 0) {
    if (groupHeld(command)) killpg(command->group, SIGKILL);
    int raw = 0;
    while (waitpid(command->pid, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  endCopy(&command->copy);  // a thread still joinable would end the program at its delete
  delete command;
}
