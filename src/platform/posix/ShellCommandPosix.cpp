// Shell commands on POSIX: /bin/sh -c in a process group of its own.
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
#endif

#include "platform/posix/WaitStatus.h"

extern char **environ;

struct ShellCommand {
  pid_t pid = -1;  // also the id of its process group
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
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // its own group: the terminal's interrupts are not its; killpg ends all of it
#ifdef __linux__
    // A tool that dies leaves no command running for long.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
#endif
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
    dup2(input, 0);
    if (output >= 0) {
      dup2(output, 1);
      dup2(output, 2);
    }
    execve(shell, argv, envp.data());
    _exit(127);
  }
  const int forkErrno = errno;
  close(input);
  if (output >= 0) close(output);
  if (pid < 0) {
    *error = std::string("cannot start a process: ") + strerror(forkErrno);
    return NULL;
  }
  setpgid(pid, pid);  // as the child does, so the group is there before either runs on
  ShellCommand *started = new ShellCommand;
  started->pid = pid;
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
      killpg(command->pid, SIGKILL);
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
  if (!command->ended) killpg(command->pid, SIGTERM);
}

void shellCommand_kill(ShellCommand *command) {
  if (!command->ended) killpg(command->pid, SIGKILL);
}

long shellCommand_id(const ShellCommand *command) { return (long)command->pid; }

void shellCommand_killById(long id) {
  if (id > 0) killpg((pid_t)id, SIGKILL);
}

void shellCommand_free(ShellCommand *command) {
  if (command == NULL) return;
  if (!command->ended) {
    killpg(command->pid, SIGKILL);
    int raw = 0;
    while (waitpid(command->pid, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  delete command;
}
