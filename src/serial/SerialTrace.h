// The wire trace: a timestamped, human-readable record of every serial call a
// run makes, for support. Off unless a file is named (FWUPGRADE_TRACE in the
// environment, or the tool's --trace). The trace is written to its own file
// only: the console never sees a byte of it.
//
// The driver (ComPortAPI) reports each kernel32 call here right after it
// returns, so the Windows build records the real calls and their errors.
#ifndef SERIALTRACE_H
#define SERIALTRACE_H

#include <stddef.h>
#include <stdint.h>

#include "platform/Platform.h"

#define SERIAL_TRACE_ENV "FWUPGRADE_TRACE"

// Opens `path` for appending (the value of FWUPGRADE_TRACE when path is null
// or empty) and writes the run's first record: program and version. Returns
// TRUE when tracing is on. A file that cannot be opened leaves tracing off and
// says so on stderr once.
BOOL serialTrace_start(const char *program, const char *version, const char *path);
// TRUE while a trace file is open.
BOOL serialTrace_enabled(void);
// One free-form record (printf format), e.g. the release and its images.
void serialTrace_note(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Writes the exit status and closes the file.
void serialTrace_finish(int exitStatus);

// The system's error of the call that just failed: its code and its text
// (errno and strerror on POSIX, GetLastError and its message on Windows).
// Call it before anything else can change the error.
typedef struct SystemError {
  long code;
  char text[160];
} SystemError;
void systemError_capture(SystemError *error);

// ---- Records of the driver's calls -------------------------------------------
// The open of COMn (its device path as the system sees it); on failure the
// error captured right after the call.
// The `ok` of the records below: TRUE ("ok"), FALSE ("FAILED"), or one of
// these for a failure that is expected on the device at hand, written as what
// it means so that a search for FAILED finds only real failures.
#define TRACE_KEPT 2         // no port open: the value is kept for the next open
#define TRACE_UNSUPPORTED 3  // the device has no such function (DTR on a pseudo-terminal)

// TRACE_UNSUPPORTED when the call that just failed was refused because the
// device has no such function (POSIX ENOTTY / EINVAL, Windows
// ERROR_INVALID_FUNCTION / ERROR_NOT_SUPPORTED), FALSE otherwise.
BOOL serialTrace_failureKind(void);

void serialTrace_open(int port, const char *deviceName, BOOL ok, const SystemError *error);
void serialTrace_close(int port, BOOL ok);
void serialTrace_state(const char *call, const DCB *dcb, BOOL ok);
void serialTrace_timeouts(const COMMTIMEOUTS *cto, BOOL ok);
void serialTrace_call(const char *call, BOOL ok);
// A write or a read: count asked for, count done, elapsed milliseconds, the
// bytes. Up to 256 bytes are written out whole; a longer block (an image
// chunk) only by its first and last 16 bytes.
void serialTrace_io(const char *call, int asked, int done, double elapsedMs, const void *bytes,
                    BOOL ok);

// Milliseconds on a monotonic clock, for the elapsed time of a call.
double serialTrace_nowMs(void);

#endif  // SERIALTRACE_H
