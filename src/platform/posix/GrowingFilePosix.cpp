// A file grown at its end, with POSIX calls: pwrite, ftruncate, fdatasync;
// held with flock, which belongs to the open file (the descriptor is closed
// at exec, so children do not keep it) and goes with the process.
#include "platform/GrowingFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

struct GrowingFile {
  int fd = -1;
};

GrowingFile *growingFile_open(const std::string &path, std::string *error) {
  // O_NONBLOCK so that a fifo planted there does not hold the open up.
  int fd;
  while ((fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644)) < 0 &&
         errno == EINTR) {
  }
  if (fd < 0) {
    *error = errno == ELOOP ? "it is a link, which is not followed" : strerror(errno);
    return NULL;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "it is not a plain file";
    close(fd);
    return NULL;
  }
  GrowingFile *file = new GrowingFile;
  file->fd = fd;
  return file;
}

void growingFile_close(GrowingFile *file) {
  if (file == NULL) return;
  close(file->fd);
  delete file;
}

long long growingFile_size(GrowingFile *file) {
  struct stat st;
  return fstat(file->fd, &st) == 0 ? (long long)st.st_size : 0;
}

bool growingFile_read(GrowingFile *file, long long offset, size_t length, std::string *text,
                      std::string *error) {
  text->assign(length, '\0');
  size_t got = 0;
  while (got < length) {
    const ssize_t n = pread(file->fd, &(*text)[got], length - got, (off_t)(offset + got));
    if (n < 0 && errno == EINTR) continue;
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
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = pwrite(file->fd, text.data() + at, text.size() - at, (off_t)(offset + at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? strerror(errno) : "nothing written";
      return false;
    }
    at += (size_t)n;
  }
  const long long end = offset + (long long)text.size();
  // Cut only what lies past the end (a write that failed part way before):
  // a cut costs the file system more than the write.
  if (growingFile_size(file) > end && ftruncate(file->fd, (off_t)end) != 0) {
    *error = std::string("cannot cut it: ") + strerror(errno);
    return false;
  }
#ifdef __linux__
  const int synced = fdatasync(file->fd);  // the size is data too; the times are not needed
#else
  const int synced = fsync(file->fd);
#endif
  if (synced != 0) {
    *error = std::string("cannot sync it: ") + strerror(errno);
    return false;
  }
  return true;
}

bool growingFile_hold(GrowingFile *file, bool *busy, std::string *error) {
  *busy = false;
  int locked;
  while ((locked = flock(file->fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (locked == 0) return true;
  *busy = errno == EWOULDBLOCK;
  *error = *busy ? "another process holds it" : std::string("cannot lock it: ") + strerror(errno);
  return false;
}

bool growingFile_held(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // A shared lock is refused while another process holds the exclusive one.
  int locked;
  while ((locked = flock(fd, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
  }
  const bool held = locked != 0 && errno == EWOULDBLOCK;
  close(fd);  // lets a lock taken here go
  return held;
}
