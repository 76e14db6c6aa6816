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

#include "platform/win32/SystemMessageWin32.h"

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

// How long a file held open by a reader is waited for before its replace
// fails: REPLACE_TRIES tries, REPLACE_PAUSE_MS apart.
#define REPLACE_TRIES 25
#define REPLACE_PAUSE_MS 10

// Our temporary file TEMP, open as FD and written whole when OK: flushed,
// closed and moved over PATH; removed upon a failure.
static bool settleOver(int fd, bool ok, const std::string &temp, const std::string &path,
                       std::string *error) {
  ok = ok && _commit(fd) == 0;
  ok = (fd < 0 || _close(fd) == 0) && ok;
  if (!ok) {
    _unlink(temp.c_str());
    *error = strerror(errno);
    return false;
  }
  // A reader that opened PATH without delete sharing (a web server sending
  // the page, a program showing the report) keeps it from being replaced
  // until it closes it, where POSIX would replace it under the reader: such
  // a reader is waited for a little. The reason is the system's, since
  // MoveFileExA sets no errno.
  for (int tries = 1;; tries++) {
    if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    const DWORD why = GetLastError();
    if ((why != ERROR_ACCESS_DENIED && why != ERROR_SHARING_VIOLATION) || tries == REPLACE_TRIES) {
      _unlink(temp.c_str());
      *error = systemError_messageOf(why);
      return false;
    }
    Sleep(REPLACE_PAUSE_MS);
  }
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

FILE *files_openPlain(const std::string &path, bool followLink, std::string *notPlain) {
  if (notPlain != NULL) notPlain->clear();
  // Opened first by handle (a folder too, with backup semantics) to tell
  // what is there: a console, pipe or other device would hold the reader up.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS |
                                  (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                              NULL);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
            : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES
                                                                                 : EIO;
    return NULL;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const char *kind = NULL;
  if (GetFileType(handle) != FILE_TYPE_DISK) kind = "a device";
  else if (!GetFileInformationByHandle(handle, &info)) kind = "not a plain file";
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) kind = "a folder";
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) kind = "a link";
  if (kind != NULL) {
    if (notPlain != NULL) *notPlain = kind;
    CloseHandle(handle);
    return NULL;
  }
  // Returns a descriptor that owns the handle, -1 upon failure.
  const int fd = _open_osfhandle((intptr_t)handle, _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return NULL;
  }
  FILE *file = _fdopen(fd, "rb");
  if (file == NULL) _close(fd);
  return file;
}

std::string files_tempFolder(void) {
  char folder[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof folder, folder);  // ends in a backslash
  return length > 0 && length < sizeof folder ? folder : ".\\";
}

bool files_onFullDisk(FILE *) { return false; }
