// Child processes on POSIX: fork and exec, the channel a pipe, wait4 for usage.
//
// POSIX calls here return 0, a count or a descriptor upon success and -1 upon
// failure.
#include "platform/Subprocess.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "platform/posix/ChildStreams.h"
#include "platform/posix/WaitStatus.h"

#define EXIT_CHILD_ORPHANED 129  // the parent died before the child began

struct Subprocess {
  pid_t pid = -1;
  int channel = -1;  // read end, non-blocking
  bool ended = false;
  int status = 0;
  struct rusage usage;
};

static int openNewOutput(const std::string &path) {
  if (path.empty()) return open("/dev/null", O_WRONLY | O_CLOEXEC);
  // A new file only: an earlier run's log is never written over, and O_EXCL
  // refuses a symbolic link in its place, even one that leads nowhere.
  // Appended to, so that what a hook adds to the log meanwhile is kept.
  return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// The child's side of the fork, up to its exec: async-signal-safe calls only,
// nothing allocated. An exec that fails says why on execErrorEnd.
[[noreturn]] static void execChild(pid_t parent, int input, int output, int channelEnd,
                                   int execErrorEnd, char **argv) {
  setpgid(0, 0);  // its own group: the terminal's interrupts reach the parent only
#ifdef __linux__
  // A parent that dies leaves no child working unattended: the child hears
  // SIGTERM, which an update takes as an interrupt (it stops at once unless
  // an image is on its way, which it finishes). A parent gone before this
  // call is seen at once.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(EXIT_CHILD_ORPHANED);
#else
  (void)parent;
#endif
  // Only the parent signals the child; an interrupt it sends must be heard
  // even when the parent itself started with these ignored.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  childStreams_give(input, output);
  fcntl(channelEnd, F_SETFD, 0);  // the one descriptor beyond 0-2 the child keeps
  execv(argv[0], argv);
  int code = errno;
  ssize_t ignored = write(execErrorEnd, &code, sizeof code);
  (void)ignored;
  _exit(127);
}

// The parent's side once the child is forked: an exec that failed says so on
// execErrorEnd, a successful one closes it. Null when the exec failed.
static Subprocess *startedChild(pid_t pid, int channelEnd, int execErrorEnd,
                                const std::string &program, std::string *error) {
  int code = 0;
  ssize_t got;
  do got = read(execErrorEnd, &code, sizeof code);
  while (got < 0 && errno == EINTR);
  close(execErrorEnd);
  Subprocess *child = new Subprocess;
  child->pid = pid;
  child->channel = channelEnd;
  fcntl(child->channel, F_SETFL, fcntl(child->channel, F_GETFL) | O_NONBLOCK);
  memset(&child->usage, 0, sizeof child->usage);
  if (got == (ssize_t)sizeof code) {
    *error = program + ": " + strerror(code);
    subprocess_free(child);
    return NULL;
  }
  return child;
}

Subprocess *subprocess_start(const std::vector<std::string> &argv, const std::string &outputPath,
                             std::string *error) {
  if (argv.empty()) {
    *error = "no program given";
    return NULL;
  }
  /* 1. The channel, the output file, the null input, and a pipe on which the
        child tells why its exec failed (closed unused by a successful exec). */
  int channel[2] = {-1, -1}, execError[2] = {-1, -1};
  int output = openNewOutput(outputPath);
  int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (output < 0 || input < 0 || pipe2(channel, O_CLOEXEC) != 0 || pipe2(execError, O_CLOEXEC) != 0) {
    *error = (output < 0 ? outputPath + ": " : std::string()) + strerror(errno);
    for (int fd : {output, input, channel[0], channel[1], execError[0], execError[1]})
      if (fd >= 0) close(fd);
    return NULL;
  }

  /* 2. Everything the child needs is made before fork: between fork and exec
        it only calls async-signal-safe functions. */
  std::string channelText = std::to_string(channel[1]);
  std::vector<std::string> args = argv;
  for (std::string &arg : args)
    if (arg == SUBPROCESS_CHANNEL_ARG) arg = channelText;
  std::vector<char *> pointers;
  for (std::string &arg : args) pointers.push_back(&arg[0]);
  pointers.push_back(NULL);

  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) execChild(parent, input, output, channel[1], execError[1], pointers.data());
  int forkErrno = errno;
  close(input);
  close(output);
  close(channel[1]);
  close(execError[1]);
  if (pid < 0) {
    *error = std::string("cannot start a process: ") + strerror(forkErrno);
    close(channel[0]);
    close(execError[0]);
    return NULL;
  }
  // The parent sets the group as well, so it is in place before either runs on.
  setpgid(pid, pid);
  /* 3. Whether the exec succeeded. */
  return startedChild(pid, channel[0], execError[0], argv[0], error);
}

int subprocess_readChannel(Subprocess *child, char *buffer, int size) {
  if (child->channel < 0) return -1;
  // Returns 0 at end of file; EAGAIN: nothing there yet.
  ssize_t n = read(child->channel, buffer, (size_t)size);
  if (n > 0) return (int)n;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  close(child->channel);
  child->channel = -1;
  return -1;
}

void subprocess_waitAny(const std::vector<Subprocess *> &children, int timeoutMs) {
  std::vector<struct pollfd> fds;
  for (const Subprocess *child : children)
    if (child->channel >= 0) fds.push_back({child->channel, POLLIN, 0});
  // The caller looks at the channels, and at a signal (EINTR), next.
  poll(fds.data(), fds.size(), timeoutMs);
}

bool subprocess_finished(Subprocess *child, int *status) {
  if (!child->ended) {
    int raw = 0;
    // Returns the pid when it ended, 0 while it runs.
    pid_t done = wait4(child->pid, &raw, WNOHANG, &child->usage);
    if (done == child->pid) {
      child->ended = true;
      child->status = waitStatus_asShell(raw);
    } else if (done < 0 && errno == ECHILD) {
      child->ended = true;
      child->status = 127;
    }
  }
  if (child->ended && status != NULL) *status = child->status;
  return child->ended;
}

void subprocess_interrupt(Subprocess *child) {
  if (!child->ended) kill(child->pid, SIGINT);
}

void subprocess_kill(Subprocess *child) {
  if (!child->ended) kill(child->pid, SIGKILL);
}

long subprocess_id(const Subprocess *child) { return (long)child->pid; }

SubprocessUsage subprocess_usage(const Subprocess *child) {
  SubprocessUsage usage;
  const struct rusage &r = child->usage;
  usage.cpuSeconds = r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
  usage.peakKiB = r.ru_maxrss;  // kilobytes on Linux
  return usage;
}

void subprocess_free(Subprocess *child) {
  if (child == NULL) return;
  if (!subprocess_finished(child, NULL)) {
    kill(child->pid, SIGKILL);
    int raw = 0;
    while (wait4(child->pid, &raw, 0, &child->usage) < 0 && errno == EINTR) {
    }
  }
  if (child->channel >= 0) close(child->channel);
  delete child;
}

// ---- The child's side -------------------------------------------------------------

bool subprocessChannel_open(const char *text, intptr_t *channel) {
  char *end = NULL;
  long fd = text != NULL ? strtol(text, &end, 10) : -1;
  if (text == NULL || end == text || *end != '\0' || fd < 3 || fcntl((int)fd, F_GETFD) < 0) return false;
  // A parent that has gone away must not end the update half way.
  signal(SIGPIPE, SIG_IGN);
  fcntl((int)fd, F_SETFD, FD_CLOEXEC);
  *channel = (intptr_t)fd;
  return true;
}

bool subprocessChannel_write(intptr_t channel, const char *data, size_t length) {
  while (length > 0) {
    ssize_t n = write((int)channel, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= (size_t)n;
  }
  return true;
}

// ---- Interrupts in the parent --------------------------------------------------------

static volatile sig_atomic_t gInterrupts = 0;

static void countInterrupt(int) { gInterrupts = gInterrupts + 1; }

static const int kCountedSignals[] = {SIGINT, SIGTERM, SIGHUP};
// The handlers replaced by the counter, for subprocess_stopCountingInterrupts.
static struct sigaction gReplaced[3];
static bool gReplacedSaved[3] = {false, false, false};

void subprocess_countInterrupts(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = countInterrupt;  // no SA_RESTART: a waiting poll returns at once
  for (int i = 0; i < 3; i++) {
    const int signalNumber = kCountedSignals[i];
    struct sigaction previous;
    // A signal ignored by whoever started us (nohup, a background job of a
    // script) stays ignored.
    if (sigaction(signalNumber, NULL, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    if (previous.sa_handler != countInterrupt) {
      gReplaced[i] = previous;
      gReplacedSaved[i] = true;
    }
    sigaction(signalNumber, &action, NULL);
  }
  // A closed standard output (`| head`) must not end the run: the children
  // go on, and the report is still written. Writes then fail with EPIPE.
  signal(SIGPIPE, SIG_IGN);
}

int subprocess_interruptCount(void) { return gInterrupts; }

void subprocess_stopCountingInterrupts(void) {
  for (int i = 0; i < 3; i++) {
    if (!gReplacedSaved[i]) continue;
    sigaction(kCountedSignals[i], &gReplaced[i], NULL);
    gReplacedSaved[i] = false;
  }
}

// ---- Room for many children -----------------------------------------------------

long subprocess_reserveDescriptors(long wanted) {
  struct rlimit limit;
  // getrlimit and setrlimit return 0 upon success, -1 upon failure.
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur == RLIM_INFINITY) return -1;
  if (limit.rlim_cur >= (rlim_t)wanted) return (long)limit.rlim_cur;
  struct rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
#ifdef OPEN_MAX
  // macOS refuses a soft limit above OPEN_MAX even under an unlimited hard one.
  if (raised.rlim_cur > (rlim_t)OPEN_MAX) raised.rlim_cur = OPEN_MAX;
#endif
  if (raised.rlim_cur == RLIM_INFINITY) raised.rlim_cur = (rlim_t)wanted;
  if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return (long)limit.rlim_cur;
  return (long)raised.rlim_cur;
}

// ---- The parent's own program and console ---------------------------------------------

std::string subprocess_selfPath(const char *argv0) {
  char path[4096];
  // No /proc on other systems.
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return argv0;
  path[n] = '\0';
  return path;
}

int subprocess_consoleRows(void) {
  struct winsize size;
  // ioctl returns 0 upon success, -1 upon failure (not a terminal).
  if (ioctl(1, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row;
}

int subprocess_consoleColumns(void) {
  struct winsize size;
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}
