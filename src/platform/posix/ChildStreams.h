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

// INPUT becomes descriptor 0; OUTPUT, unless negative, 1 and 2. Either may sit
// at 0 to 2 already when this process started with those closed.
inline void childStreams_give(int input, int output) {
  if (output == 0 && input != 0) output = fcntl(output, F_DUPFD, 3);  // out of input's way
  childStreams_place(input, 0);
  if (output < 0) return;
  childStreams_place(output, 1);
  childStreams_place(output, 2);
}

#endif  // CHILDSTREAMS_H
