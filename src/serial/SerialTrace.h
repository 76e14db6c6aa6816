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
// What one run writes to its trace at most. A sound update takes about 30 KB
// and a probe of 32 silent ports about 210 KB; a server that floods the line
// with events of its own must not fill the disk. Past it, one record says so
// and only the exit status follows.
#define SERIAL_TRACE_LIMIT (16ULL * 1024 * 1024)

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
// A record the same as the one before it (a read or write with the same
// bytes, whatever time it took) is not written again: a record
// "... repeated N times" comes once a different record does, or at the end.

// The open trace file's path; NULL when tracing is off.
const char *serialTrace_path(void);
// Every later record starts with "[LABEL] " after its time (a probe's port).
void serialTrace_setLabel(const char *label);
// The bound of this run's trace, in bytes (SERIAL_TRACE_LIMIT unless set).
void serialTrace_setLimit(unsigned long long bytes);
// The bytes this run may still write before its bound.
unsigned long long serialTrace_room(void);
// Appends another trace's records as they are (a probe's, written by its
// child), within this run's bound. FALSE when tracing is off or PATH cannot
// be read.
BOOL serialTrace_append(const char *path);

// ---- Records of the serial calls (SerialCalls.h makes them) -------------------
// How a call ended, written as what it means: an expected failure is not
// written FAILED, so that a search for FAILED finds only real failures.
enum TraceOutcome {
  TRACE_FAILED,
  TRACE_OK,
  TRACE_KEPT,         // no port open: the value is kept for the next open
  TRACE_UNSUPPORTED,  // the device has no such function (DTR on a pseudo-terminal)
};

// The open of a port ("COM3", "/dev/ttyUSB0") with the device it reaches; on
// failure the error captured right after the call.
void serialTrace_open(const char *port, const char *device, BOOL ok, const SystemError *error);
void serialTrace_close(const char *port, TraceOutcome outcome);
void serialTrace_state(const char *call, const DCB *dcb, TraceOutcome outcome);
void serialTrace_timeouts(const COMMTIMEOUTS *cto, TraceOutcome outcome);
void serialTrace_call(const char *call, TraceOutcome outcome);
// A write or a read: count asked for, count done, elapsed milliseconds, the
// bytes. Up to 256 bytes are written out whole; a longer block (an image
// chunk) only by its first and last 16 bytes.
void serialTrace_io(const char *call, int asked, int done, double elapsedMs, const void *bytes,
                    BOOL ok);

// ---- Records of an interrupt's stop (POSIX) ---------------------------------------
// The same records as serialTrace_close and serialTrace_finish, written from a
// signal handler that ends the process next: async-signal-safe, nothing is
// allocated, locked or flushed. A record the same as the last is written all
// the same. A stop that comes while another record is being written leaves
// them out, rather than put a record inside another's line.
#ifndef _WIN32
void serialTrace_closeAtStop(const char *port, TraceOutcome outcome);
void serialTrace_finishAtStop(int exitStatus);
#endif

// Milliseconds on a monotonic clock, for the elapsed time of a call.
double serialTrace_nowMs(void);

#endif  // SERIALTRACE_H
