// The wire trace: a timestamped, human-readable record of every serial call a
// run makes, for support. Off unless a file is named (FWUPGRADE_TRACE in the
// environment, or the tool's --trace). The trace is written to its own file
// only: the console never sees a byte of it.
//
// The serial calls (SerialCalls.h) record each kernel32 call here right after
// it returns, so the Windows build records the real calls and their errors.
#ifndef SERIALTRACE_H
#define SERIALTRACE_H

#include <stddef.h>
#include <stdint.h>

#include "platform/Platform.h"
#include "platform/SystemError.h"

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

// ---- Records of the serial calls (SerialCalls.h makes them) -------------------
// How a call ended, written as what it means: an expected failure is not
// written FAILED, so that a search for FAILED finds only real failures.
enum TraceOutcome {
  TRACE_FAILED,
  TRACE_OK,
  TRACE_KEPT,         // no port open: the value is kept for the next open
  TRACE_UNSUPPORTED,  // the device has no such function (DTR on a pseudo-terminal)
};

// The open of COMn by `name`, with the device it reaches; on failure the
// error captured right after the call.
void serialTrace_open(int port, const char *name, BOOL ok, const SystemError *error);
void serialTrace_close(int port, TraceOutcome outcome);
void serialTrace_state(const char *call, const DCB *dcb, TraceOutcome outcome);
void serialTrace_timeouts(const COMMTIMEOUTS *cto, TraceOutcome outcome);
void serialTrace_call(const char *call, TraceOutcome outcome);
// A write or a read: count asked for, count done, elapsed milliseconds, the
// bytes. Up to 256 bytes are written out whole; a longer block (an image
// chunk) only by its first and last 16 bytes.
void serialTrace_io(const char *call, int asked, int done, double elapsedMs, const void *bytes,
                    BOOL ok);

// Milliseconds on a monotonic clock, for the elapsed time of a call.
double serialTrace_nowMs(void);

#endif  // SERIALTRACE_H
