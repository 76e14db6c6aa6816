// Appends under LockFileEx on the whole file. The calls return nonzero upon
// success, zero upon failure with GetLastError set (CreateFileA:
// INVALID_HANDLE_VALUE).
#include <windows.h>

#include "platform/FileLock.h"
#include "platform/SystemError.h"

static std::string lastError(void) {
  SystemError error;
  systemError_capture(&error);
  return error.text;
}

// The lock, asked for without blocking and again every 20 ms, so that a
// holder that never lets go costs a bounded wait, not a hung station.
static bool takeLock(HANDLE file, double waitSeconds, std::string *error, bool *busy) {
  const ULONGLONG giveUpAt = GetTickCount64() + (ULONGLONG)(waitSeconds * 1000);
  for (;;) {
    OVERLAPPED whole = {};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole))
      return true;
    if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) {
      *error = "cannot lock it: " + lastError();
      return false;
    }
    if (GetTickCount64() >= giveUpAt) {
      *busy = true;
      *error = "another process holds its lock" +
               (waitSeconds > 0 ? " (waited " + std::to_string((int)waitSeconds) + " s)" : "");
      return false;
    }
    Sleep(20);
  }
}

// The line, with a line end first when the file ends in a torn line.
static bool closedLine(HANDLE file, const std::string &line, std::string *text,
                       std::string *error) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    *error = lastError();
    return false;
  }
  *text = line;
  if (size.QuadPart == 0) return true;
  OVERLAPPED at = {};
  at.Offset = (DWORD)(size.QuadPart - 1);
  at.OffsetHigh = (DWORD)((size.QuadPart - 1) >> 32);
  char last = 0;
  DWORD got = 0;
  if (!ReadFile(file, &last, 1, &got, &at) || got != 1) {
    *error = "cannot read its end: " + lastError();
    return false;
  }
  if (last != '\n') text->insert(0, "\n");
  return true;
}

bool fileLock_appendPrepared(const char *path, char *buffer, size_t length, double waitSeconds) {
  std::string error;
  bool busy = false;
  // The stop runs in a thread of its own on Windows, where any call may run.
  return fileLock_appendLine(path, std::string(buffer + 1, length), waitSeconds, &error, &busy);
}

bool fileLock_appendLine(const std::string &path, const std::string &line, double waitSeconds,
                         std::string *error, bool *busy) {
  bool lockBusy = false;
  if (busy == NULL) busy = &lockBusy;
  *busy = false;
  // 1. Open: append access only (no FILE_WRITE_DATA) puts every write at the
  // end; a reparse point (a link) is opened as itself, then refused.
  HANDLE file = CreateFileA(path.c_str(),
                            FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    *error = lastError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) || GetFileType(file) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    *error = "it is not a plain file";
    CloseHandle(file);
    return false;
  }
  // 2. Lock, 3. close a torn last line and write, 4. flush, 5. unlock.
  std::string text;
  bool ok = takeLock(file, waitSeconds, error, busy);
  if (ok) {
    DWORD written = 0;
    ok = closedLine(file, line, &text, error);
    if (ok && (!WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL) ||
               written != text.size())) {
      *error = lastError();
      ok = false;
    }
    if (ok && !FlushFileBuffers(file)) {
      *error = "cannot flush it: " + lastError();
      ok = false;
    }
    OVERLAPPED whole = {};
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  }
  CloseHandle(file);
  return ok;
}
