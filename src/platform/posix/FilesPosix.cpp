// Files and folders with POSIX calls.
#include "platform/Files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <vector>

// A new, empty file of our own beside PATH (same folder, so that a rename
// moves it over PATH at once): its name in *tempPath, an open descriptor.
// -1 with errno set when the folder does not take one.
static int makeTempBeside(const std::string &path, std::string *tempPath) {
  size_t slash = path.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  *tempPath = folder + "." + base + ".XXXXXX";
  std::vector<char> name(tempPath->begin(), tempPath->end());
  name.push_back('\0');
  // Returns a descriptor of a file it made (O_EXCL), -1 upon failure.
  int fd = mkstemp(name.data());
  if (fd < 0) return -1;
  *tempPath = name.data();
  fchmod(fd, 0644);  // mkstemp makes it 0600; a report is for others to read
  return fd;
}

bool files_newBeside(const std::string &path, std::string *tempPath, std::string *error) {
  const int fd = makeTempBeside(path, tempPath);
  if (fd < 0) *error = strerror(errno);
  return fd >= 0 && close(fd) == 0;
}

// Our temporary file TEMP, open as FD and written whole when OK: flushed,
// closed, renamed over PATH and its folder flushed; removed upon a failure.
static bool settleOver(int fd, bool ok, const std::string &temp, const std::string &path,
                       std::string *error) {
  ok = ok && fsync(fd) == 0;
  ok = (fd < 0 || close(fd) == 0) && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
  } else {
    // The rename itself reaches the disk with its folder.
    size_t slash = path.rfind('/');
    int folder =
        open(slash == std::string::npos ? "." : path.substr(0, slash + 1).c_str(), O_RDONLY);
    if (folder >= 0) {
      fsync(folder);
      close(folder);
    }
  }
  if (!ok) *error = strerror(errno);
  return ok;
}

bool files_replace(const std::string &path, const std::string &text, std::string *error) {
  std::string temp;
  int fd = makeTempBeside(path, &temp);
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  bool ok = true;
  for (size_t at = 0; ok && at < text.size();) {
    // Returns the byte count written, -1 upon failure.
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      at += (size_t)n;
  }
  return settleOver(fd, ok, temp, path, error);
}

bool files_replaceWith(const std::string &path, const std::string &tempPath, std::string *error) {
  const int fd = open(tempPath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  return settleOver(fd, fd >= 0, tempPath, path, error);
}

bool files_makeFolder(const std::string &path, bool mustBeNew) {
  // Returns 0 upon success, -1 upon failure. A folder named by the user may
  // be a link to one elsewhere: the files in it are what must be new.
  const int made = mkdir(path.c_str(), 0777);
  struct stat st;
  return made == 0 ||
         (!mustBeNew && errno == EEXIST && stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFDIR));
}

bool files_nameTaken(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;  // a dangling link counts
}

bool files_makeNew(const std::string &path) {
  // Returns a descriptor, -1 upon failure (EEXIST: the name is taken, by a
  // link too, followed or not).
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  return fd >= 0 && close(fd) == 0;
}

static const char *kindOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return "a folder";
    case S_IFIFO: return "a fifo";
    case S_IFSOCK: return "a socket";
    case S_IFCHR:
    case S_IFBLK: return "a device";
    case S_IFLNK: return "a link";
    default: return "not a plain file";
  }
}

FILE *files_openPlain(const std::string &path, bool followLink, std::string *notPlain) {
  if (notPlain != NULL) notPlain->clear();
  // Returns a descriptor, -1 upon failure (ELOOP: a link). A fifo put there
  // does not hold the reader up.
  int fd = open(path.c_str(),
                O_RDONLY | (followLink ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 && errno == ELOOP && notPlain != NULL && lstat(path.c_str(), &st) == 0 &&
      S_ISLNK(st.st_mode))
    *notPlain = kindOf(st.st_mode);
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    if (notPlain != NULL) *notPlain = kindOf(st.st_mode);
    close(fd);
    fd = -1;
  }
  FILE *file = fd >= 0 ? fdopen(fd, "rb") : NULL;
  if (fd >= 0 && file == NULL) close(fd);
  return file;
}

std::string files_tempFolder(void) {
  const char *tmpdir = getenv("TMPDIR");
  return std::string(tmpdir != NULL && *tmpdir != '\0' ? tmpdir : "/tmp") + "/";
}

bool files_onFullDisk(FILE *stream) {
  struct statvfs fs;  // fstatvfs returns 0 upon success
  return fstatvfs(fileno(stream), &fs) == 0 && (geteuid() == 0 ? fs.f_bfree : fs.f_bavail) == 0;
}
