// The standard handles on Windows: a missing one becomes the NUL device.
//
// GetStdHandle gives NULL (never set: a service, a detached start) or
// INVALID_HANDLE_VALUE for a missing handle, and a handle closed behind the
// process's back is one GetFileType cannot tell. The C runtime marks its
// descriptor 0 to 2 of such a handle with -2 (and its stdio stream has none:
// writes to it fail, and go nowhere). The descriptor is given NUL, and the
// process's handle with it, so that children that inherit the handles get
// valid ones.
#include "platform/StandardStreams.h"

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <windows.h>

static bool missing(HANDLE handle) {
  if (handle == NULL || handle == INVALID_HANDLE_VALUE) return true;
  SetLastError(NO_ERROR);
  return GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR;
}

bool standardStreams_ensureOpen(void) {
  static const DWORD kHandles[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int fd = 0; fd <= 2; fd++) {
    const intptr_t runtime = _get_osfhandle(fd);
    if (!missing(GetStdHandle(kHandles[fd])) && runtime != -1 && runtime != -2) continue;
    const int opened = _open("NUL", (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
    if (opened < 0) return false;
    // _dup2 returns 0 upon success, -1 upon failure.
    const bool placed = opened == fd || _dup2(opened, fd) == 0;
    if (opened != fd) _close(opened);
    const intptr_t handle = _get_osfhandle(fd);
    if (!placed || handle == -1 || handle == -2) return false;
    // The runtime sets the process's handle itself in a console program.
    SetStdHandle(kHandles[fd], (HANDLE)handle);
  }
  return true;
}
