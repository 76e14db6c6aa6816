// The standard descriptors on POSIX: a closed one becomes /dev/null.
//
// POSIX calls here return 0 or a descriptor upon success and -1 upon failure.
#include "platform/StandardStreams.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

bool standardStreams_ensureOpen(void) {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lower ones are open by now, so open gives this very number; dup2
    // covers a system that would not.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) return false;
    if (opened != fd) {
      const int placed = dup2(opened, fd);
      close(opened);
      if (placed != fd) return false;
    }
  }
  return true;
}
