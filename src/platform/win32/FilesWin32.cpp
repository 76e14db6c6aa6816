// Files and folders with the C runtime's and kernel32's calls.
#include "platform/Files.h"

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

// A new, empty file of our own beside PATH (same folder, so that a rename
// moves it over PATH at once): its name in *tempPath, an open descriptor.
// -1 with errno set when the folder does not take one.
static int makeTempBeside(const std::string &path, std::string *tempPath) {
  size_t slash = path.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  static int counter = 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    *tempPath = folder + "." + base + "." + std::to_string(_getpid()) + "-" +
                std::to_string(++counter) + ".tmp";
    // Returns a descriptor, -1 upon failure (EEXIST: the name is taken).
    int fd =
        _open(tempPath->c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  return -1;
}

bool files_newBeside(const std::string &path, std::string *tempPath, std::string *error) {
  const int fd = makeTempBeside(path, tempPath);
  if (fd < 0) *error = strerror(errno);
  return fd >= 0 && _close(fd) == 0;
}

// Our temporary file TEMP, open as FD and written whole when OK: flushed,
// closed and moved over PATH; removed upon a failure.
static bool settleOver(int fd, bool ok, const std::string &temp, const std::string &path,
                       std::string *error) {
  ok = ok && _commit(fd) == 0;
  ok = (fd < 0 || _close(fd) == 0) && ok;
  ok = ok &&
       MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) _unlink(temp.c_str());
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
    int n = _write(fd, text.data() + at, (unsigned)(text.size() - at));
    if (n <= 0)
      ok = false;
    else
      at += (size_t)n;
  }
  return settleOver(fd, ok, temp, path, error);
}

bool files_replaceWith(const std::string &path, const std::string &tempPath, std::string *error) {
  const int fd = _open(tempPath.c_str(), _O_WRONLY | _O_BINARY);
  return settleOver(fd, fd >= 0, tempPath, path, error);
}

bool files_makeFolder(const std::string &path, bool mustBeNew) {
  // Returns 0 upon success, -1 upon failure.
  const int made = _mkdir(path.c_str());
  struct stat st;
  return made == 0 ||
         (!mustBeNew && errno == EEXIST && stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFDIR));
}

bool files_nameTaken(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool files_makeNew(const std::string &path) {
  int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
  return fd >= 0 && _close(fd) == 0;
}

FILE *files_openPlain(const std::string &path) { return fopen(path.c_str(), "rb"); }

std::string files_tempFolder(void) {
  char folder[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof folder, folder);  // ends in a backslash
  return length > 0 && length < sizeof folder ? folder : ".\\";
}

bool files_onFullDisk(FILE *) { return false; }
