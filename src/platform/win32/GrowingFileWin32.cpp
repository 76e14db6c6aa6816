// A file grown at its end, with the C runtime's calls: _lseeki64, _write,
// _chsize_s, _commit (FlushFileBuffers); held with LockFileEx, which the
// system lets go with the process.
#include "platform/GrowingFile.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

struct GrowingFile {
  int fd = -1;
};

GrowingFile *growingFile_open(const std::string &path, std::string *error) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    *error = attributes & FILE_ATTRIBUTE_DIRECTORY ? "it is not a plain file"
                                                   : "it is a link, which is not followed";
    return NULL;
  }
  // Returns a descriptor, -1 upon failure.
  const int fd = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *error = strerror(errno);
    return NULL;
  }
  GrowingFile *file = new GrowingFile;
  file->fd = fd;
  return file;
}

void growingFile_close(GrowingFile *file) {
  if (file == NULL) return;
  _close(file->fd);
  delete file;
}

long long growingFile_size(GrowingFile *file) {
  const long long size = _filelengthi64(file->fd);
  return size < 0 ? 0 : size;
}

bool growingFile_read(GrowingFile *file, long long offset, size_t length, std::string *text,
                      std::string *error) {
  text->assign(length, '\0');
  if (_lseeki64(file->fd, offset, SEEK_SET) < 0) {
    *error = strerror(errno);
    return false;
  }
  size_t got = 0;
  while (got < length) {
    const int n = _read(file->fd, &(*text)[got], (unsigned)(length - got));
    if (n < 0) {
      *error = strerror(errno);
      return false;
    }
    if (n == 0) break;
    got += (size_t)n;
  }
  text->resize(got);
  return true;
}

bool growingFile_writeAt(GrowingFile *file, long long offset, const std::string &text,
                         std::string *error) {
  if (_lseeki64(file->fd, offset, SEEK_SET) < 0) {
    *error = strerror(errno);
    return false;
  }
  for (size_t at = 0; at < text.size();) {
    const int n = _write(file->fd, text.data() + at, (unsigned)(text.size() - at));
    if (n <= 0) {
      *error = n < 0 ? strerror(errno) : "nothing written";
      return false;
    }
    at += (size_t)n;
  }
  const long long end = offset + (long long)text.size();
  // Returns 0 upon success, an error number upon failure.
  if (growingFile_size(file) > end && _chsize_s(file->fd, end) != 0) {
    *error = std::string("cannot cut it: ") + strerror(errno);
    return false;
  }
  if (_commit(file->fd) != 0) {
    *error = std::string("cannot sync it: ") + strerror(errno);
    return false;
  }
  return true;
}

// Windows' byte-range locks are mandatory: a lock on the file's bytes would
// keep everyone else from reading the report while it grows. The hold locks
// one byte far past any end a report reaches instead; readers never meet it.
#define HOLD_OFFSET_HIGH 0x40000000u

static bool lockHoldByte(HANDLE file, DWORD flags) {
  OVERLAPPED at = {};
  at.OffsetHigh = HOLD_OFFSET_HIGH;
  return LockFileEx(file, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

bool growingFile_hold(GrowingFile *file, bool *busy, std::string *error) {
  *busy = false;
  // Nonzero upon success.
  if (lockHoldByte((HANDLE)_get_osfhandle(file->fd), LOCKFILE_EXCLUSIVE_LOCK)) return true;
  *busy = GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING;
  *error = *busy ? "another process holds it" : "cannot lock it";
  return false;
}

bool growingFile_held(const std::string &path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  if (file == INVALID_HANDLE_VALUE) return false;
  // A shared lock is refused while another process holds the exclusive one.
  const bool held = !lockHoldByte(file, 0) && GetLastError() == ERROR_LOCK_VIOLATION;
  CloseHandle(file);  // lets a lock taken here go
  return held;
}
