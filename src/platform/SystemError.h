// The system's error of a call that just failed, with its text: errno and
// strerror on POSIX, GetLastError and its message on Windows. One file per
// platform (posix/SystemErrorPosix.cpp, win32/SystemErrorWin32.cpp).
#ifndef SYSTEMERROR_H
#define SYSTEMERROR_H

typedef struct SystemError {
  long code;
  char text[160];
} SystemError;

// Call it right after the failed call, before anything else can change the error.
void systemError_capture(SystemError *error);
// Makes a captured error the system's current one again, for a caller that
// reads it after something (a trace record) came in between.
void systemError_restore(const SystemError *error);
// True when the call was refused because the device has no such function
// (POSIX ENOTTY / EINVAL, Windows ERROR_INVALID_FUNCTION / ERROR_NOT_SUPPORTED).
bool systemError_isUnsupported(const SystemError *error);
// The system's name for its error numbers: "errno" or "GetLastError".
const char *systemError_source(void);

#endif  // SYSTEMERROR_H
