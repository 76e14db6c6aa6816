// Appends under flock(LOCK_EX). The calls return -1 upon failure, with errno
// set; EINTR (a signal the tool counts) is retried.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/FileLock.h"

static double nowSeconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// The lock, asked for without blocking and again every 20 ms, so that a
// holder that never lets go costs a bounded wait, not a hung station.
static bool takeLock(int fd, double waitSeconds, std::string *error, bool *busy) {
  const double giveUpAt = nowSeconds() + waitSeconds;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = std::string("cannot lock it: ") + strerror(errno);
      return false;
    }
    if (nowSeconds() >= giveUpAt) {
      *busy = true;
      *error = "another process holds its lock" +
               (waitSeconds > 0 ? " (waited " + std::to_string((int)waitSeconds) + " s)" : "");
      return false;
    }
    usleep(20 * 1000);
  }
}

// The line, with a line end first when the file ends in a torn line.
static bool closedLine(int fd, const std::string &line, std::string *text, std::string *error) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = strerror(errno);
    return false;
  }
  *text = line;
  if (st.st_size == 0) return true;
  char last = 0;
  ssize_t n;
  while ((n = pread(fd, &last, 1, st.st_size - 1)) < 0 && errno == EINTR) {
  }
  if (n != 1) {
    *error = std::string("cannot read its end: ") + (n < 0 ? strerror(errno) : "it shrank");
    return false;
  }
  if (last != '\n') text->insert(0, "\n");
  return true;
}

static bool writeAll(int fd, const std::string &text, std::string *error) {
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? strerror(errno) : "nothing written";
      return false;
    }
    at += (size_t)n;
  }
  return true;
}

bool fileLock_appendPrepared(const char *path, char *buffer, size_t length, double waitSeconds) {
  // Async-signal-safe calls only (flock, like the others, a plain system
  // call); the steps of fileLock_appendLine.
  const int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const double giveUpAt = nowSeconds() + waitSeconds;
  while (ok && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const struct timespec pause = {0, 20 * 1000 * 1000};
    ok = (errno == EWOULDBLOCK || errno == EINTR) && nowSeconds() < giveUpAt;
    if (ok) nanosleep(&pause, NULL);
  }
  char last = '\n';
  if (ok && fstat(fd, &st) == 0 && st.st_size > 0) ok = pread(fd, &last, 1, st.st_size - 1) == 1;
  const size_t from = last == '\n' ? 1 : 0;
  buffer[0] = '\n';
  ok = ok && write(fd, buffer + from, length + 1 - from) == (ssize_t)(length + 1 - from) &&
       fsync(fd) == 0;
  close(fd);
  return ok;
}

bool fileLock_appendLine(const std::string &path, const std::string &line, double waitSeconds,
                         std::string *error, bool *busy) {
  bool lockBusy = false;
  if (busy == NULL) busy = &lockBusy;
  *busy = false;
  // 1. Open: O_APPEND puts every write at the end, whoever wrote last;
  // O_NONBLOCK so that a fifo planted there does not hold the open up.
  int fd;
  while ((fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    0644)) < 0 &&
         errno == EINTR) {
  }
  if (fd < 0) {
    *error = errno == ELOOP ? "it is a link, which is not followed" : strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "it is not a plain file";
    close(fd);
    return false;
  }
  // 2. Lock, 3. close a torn last line and write, 4. sync, 5. unlock.
  std::string text;
  bool ok = takeLock(fd, waitSeconds, error, busy);
  if (ok) {
    ok = closedLine(fd, line, &text, error) && writeAll(fd, text, error);
    if (ok && fsync(fd) != 0) {
      *error = std::string("cannot sync it: ") + strerror(errno);
      ok = false;
    }
    flock(fd, LOCK_UN);
  }
  close(fd);  // lets the lock go too, were the unlock to fail
  return ok;
}
