// Shell commands on POSIX: /bin/sh -c in a process group of its own.
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

#include "platform/posix/ChildStreams.h"
#include "platform/posix/WaitStatus.h"

extern char **environ;

struct ShellCommand {
  pid_t pid = -1;    // the process waited for: the shell, or on Linux its keeper
  pid_t group = -1;  // the shell's process group (its pid); -1 when it never started
  bool ended = false;
  int status = 0;
};

// The output file as found: appended to, never created, a link or anything
// but a regular file (a fifo would block the open) refused for the null device.
static int openOutput(const std::string &path) {
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

ShellCommand *shellCommand_start(const std::string &command, const ShellEnvironment &environment,
                                 const std::string &outputPath, bool toConsole,
                                 std::string *error) {
  /* 1. The environment: ours without the names given, then theirs. */
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
  std::vector<char *> envp;
  for (std::string &variable : variables) envp.push_back(&variable[0]);
  envp.push_back(NULL);
  std::string text = command;
  char shell[] = "/bin/sh", dashC[] = "-c";
  char *argv[] = {shell, dashC, &text[0], NULL};

  /* 2. Input and output. */
  int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int output = toConsole ? -1 : openOutput(outputPath);
  if (input < 0 || (!toConsole && output < 0)) {
    *error = strerror(errno);
    if (input >= 0) close(input);
    if (output >= 0) close(output);
    return NULL;
  }

  /* 3. Between fork and exec only async-signal-safe calls. */
  int report[2] = {-1, -1};
#ifdef __linux__
  if (pipe2(report, O_CLOEXEC) != 0) {
    *error = strerror(errno);
    close(input);
    if (output >= 0) close(output);
    return NULL;
  }
#endif
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    childStreams_give(input, output);
#ifdef __linux__
    setpgid(0, 0);  // a group of its own, apart from the shell's
    keepShell(parent, report[1], argv, envp.data());
#else
    execShell(parent, argv, envp.data());
#endif
    _exit(127);
  }
  const int forkErrno = errno;
  close(input);
  if (output >= 0) close(output);
  if (report[1] >= 0) close(report[1]);
  if (pid < 0) {
    if (report[0] >= 0) close(report[0]);
    *error = std::string("cannot start a process: ") + strerror(forkErrno);
    return NULL;
  }
  setpgid(pid, pid);  // as the child does, so the group is there before either runs on
  ShellCommand *started = new ShellCommand;
  started->pid = pid;
  started->group = pid;
#ifdef __linux__
  // The keeper says the shell's pid once its group is made; nothing when the
  // shell could not be started (the keeper then ends with 127).
  pid_t shellId = -1;
  ssize_t got;
  do got = read(report[0], &shellId, sizeof shellId);
  while (got < 0 && errno == EINTR);
  close(report[0]);
  started->group = got == (ssize_t)sizeof shellId ? shellId : -1;
#endif
  return started;
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
  }
  if (command->ended && status != NULL) *status = command->status;
  return command->ended;
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
  if (!command->ended) {
    if (groupHeld(command)) killpg(command->group, SIGKILL);
    int raw = 0;
    while (waitpid(command->pid, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  delete command;
}
