// A child's standard descriptors, set between fork and exec (async-signal-safe
// calls only).
#ifndef CHILDSTREAMS_H
#define CHILDSTREAMS_H

#include <fcntl.h>
#include <unistd.h>

// FD becomes TARGET, inherited across exec. dup2 onto itself does nothing,
// close-on-exec included: one already at its number is only made inheritable.
inline void childStreams_place(int fd, int target) {
  if (fd == target)
    fcntl(fd, F_SETFD, 0);
  else
    dup2(fd, target);
}

// INPUT becomes descriptor 0, OUTPUT 1 and ERRORS 2 (ERRORS negative: OUTPUT
// for both; OUTPUT negative: 1 and 2 left as they are). Any of them may sit at
// 0 to 2 already when this process started with those closed: one at another
// stream's number is first moved out of the way.
inline void childStreams_give(int input, int output, int errors = -1) {
  if (output >= 0 && errors < 0) errors = output;
  int from[3] = {input, output, errors};
  for (int i = 0; i < 3; i++)
    if (from[i] >= 0 && from[i] <= 2 && from[i] != i) from[i] = fcntl(from[i], F_DUPFD, 3);
  for (int i = 0; i < 3; i++)
    if (from[i] >= 0) childStreams_place(from[i], i);
}

#endif  // CHILDSTREAMS_H
