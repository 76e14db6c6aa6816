// The wire trace file: one line per record, "<wall time> +<ms since start> <what>".
#include "serial/SerialTrace.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <string>

#include "platform/CalendarTime.h"
#include "platform/PortList.h"

static FILE *gTraceFile = NULL;
static double gTraceStartMs = 0;

#define TRACE_WHOLE_LIMIT 256  // longer blocks are shown by their two ends
#define TRACE_END_BYTES 16

double serialTrace_nowMs(void) {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

BOOL serialTrace_enabled(void) { return gTraceFile != NULL; }

// The record's prefix: local wall time to the millisecond, then the time since
// the trace began.
static void writeStamp(void) {
  using namespace std::chrono;
  const system_clock::time_point now = system_clock::now();
  const time_t seconds = system_clock::to_time_t(now);
  const long millis = (long)(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm local;
  calendarTime_fields(seconds, false, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  fprintf(gTraceFile, "%s.%03ld +%.1f ", text, millis, serialTrace_nowMs() - gTraceStartMs);
}

void serialTrace_note(const char *format, ...) {
  if (gTraceFile == NULL) return;
  writeStamp();
  va_list args;
  va_start(args, format);
  vfprintf(gTraceFile, format, args);
  va_end(args);
  fputc('\n', gTraceFile);
  // Flushed at once: a trace is wanted most from a run that never ends well.
  fflush(gTraceFile);
}

BOOL serialTrace_start(const char *program, const char *version, const char *path) {
  if (gTraceFile != NULL) return TRUE;
  if (path == NULL || *path == '\0') path = getenv(SERIAL_TRACE_ENV);
  if (path == NULL || *path == '\0') return FALSE;
  gTraceFile = fopen(path, "a");
  if (gTraceFile == NULL) {
    // stderr only: the console dialogue on stdout stays as it is.
    fprintf(stderr, "%s: cannot open the trace file %s: %s\n", program, path, strerror(errno));
    return FALSE;
  }
  gTraceStartMs = serialTrace_nowMs();
  serialTrace_note("start %s %s", program, version);
  return TRUE;
}

void serialTrace_finish(int exitStatus) {
  if (gTraceFile == NULL) return;
  serialTrace_note("exit status %d", exitStatus);
  fclose(gTraceFile);
  gTraceFile = NULL;
}

void serialTrace_open(int port, const char *name, BOOL ok, const SystemError *error) {
  if (gTraceFile == NULL) return;
  std::string device = portList_deviceOfOpen(port, name);
  if (device.empty()) device = std::string(name) + " (no device)";
  if (ok)
    serialTrace_note("open COM%d %s ok", port, device.c_str());
  else
    serialTrace_note("open COM%d %s FAILED: %s %ld: %s", port, device.c_str(), systemError_source(),
                     error->code, error->text);
}

static const char *outcomeWord(TraceOutcome outcome) {
  switch (outcome) {
    case TRACE_FAILED: return "FAILED";
    case TRACE_KEPT: return "kept";
    case TRACE_UNSUPPORTED: return "not supported by this device";
    default: return "ok";
  }
}

void serialTrace_close(int port, TraceOutcome outcome) {
  serialTrace_note("close COM%d %s", port, outcomeWord(outcome));
}

void serialTrace_state(const char *call, const DCB *dcb, TraceOutcome outcome) {
  serialTrace_note("%s baud %lu cts %s %s", call, (unsigned long)dcb->BaudRate,
                   dcb->fOutxCtsFlow ? "on" : "off", outcomeWord(outcome));
}

void serialTrace_timeouts(const COMMTIMEOUTS *cto, TraceOutcome outcome) {
  serialTrace_note("SetCommTimeouts interval %lu ms total %lu ms %s",
                   (unsigned long)cto->ReadIntervalTimeout,
                   (unsigned long)cto->ReadTotalTimeoutConstant, outcomeWord(outcome));
}

void serialTrace_call(const char *call, TraceOutcome outcome) {
  serialTrace_note("%s %s", call, outcomeWord(outcome));
}

// Bytes as hex pairs, then the same bytes as text with "." for what does not print.
static void appendBytes(char *out, size_t size, const uint8_t *bytes, int count) {
  size_t used = strlen(out);
  for (int i = 0; i < count && used + 4 < size; i++)
    used += (size_t)snprintf(out + used, size - used, "%02x ", bytes[i]);
  if (used + 2 < size) {
    out[used++] = '|';
    out[used] = '\0';
  }
  for (int i = 0; i < count && used + 2 < size; i++) {
    out[used++] = bytes[i] >= 0x20 && bytes[i] < 0x7f ? (char)bytes[i] : '.';
    out[used] = '\0';
  }
  if (used + 2 < size) {
    out[used++] = '|';
    out[used] = '\0';
  }
}

void serialTrace_io(const char *call, int asked, int done, double elapsedMs, const void *bytes,
                    BOOL ok) {
  if (gTraceFile == NULL) return;
  static char text[TRACE_WHOLE_LIMIT * 4 + 64];
  text[0] = '\0';
  const uint8_t *data = (const uint8_t *)bytes;
  if (done > 0 && data != NULL) {
    if (done <= TRACE_WHOLE_LIMIT) {
      appendBytes(text, sizeof text, data, done);
    } else {
      snprintf(text, sizeof text, "first ");
      appendBytes(text, sizeof text, data, TRACE_END_BYTES);
      strncat(text, " last ", sizeof text - strlen(text) - 1);
      appendBytes(text, sizeof text, data + done - TRACE_END_BYTES, TRACE_END_BYTES);
    }
  }
  serialTrace_note("%s %d of %d bytes in %.1f ms%s %s", call, done, asked, elapsedMs,
                   ok ? "" : " FAILED", text);
}
