// A child's status as waitpid gives it, told as a shell tells it: the exit
// status of a child that exited, 128 plus the signal of one a signal ended.
#ifndef WAITSTATUS_H
#define WAITSTATUS_H

#include <sys/wait.h>

inline int waitStatus_asShell(int raw) {
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
}

#endif  // WAITSTATUS_H
