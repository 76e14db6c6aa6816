// The wire trace file: one line per record, "<wall time> +<ms since start> <what>".
#include "serial/SerialTrace.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>

#ifndef _WIN32
#include "platform/posix/ComPortNames.h"
#endif

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
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  fprintf(gTraceFile, "%s.%03ld +%.1f ", text, millis, serialTrace_nowMs() - gTraceStartMs);
}

static void record(const char *format, va_list args) {
  writeStamp();
  vfprintf(gTraceFile, format, args);
  fputc('\n', gTraceFile);
  // Flushed at once: a trace is wanted most from a run that never ends well.
  fflush(gTraceFile);
}

static void traceLine(const char *format, ...) {
  if (gTraceFile == NULL) return;
  va_list args;
  va_start(args, format);
  record(format, args);
  va_end(args);
}

void serialTrace_note(const char *format, ...) {
  if (gTraceFile == NULL) return;
  va_list args;
  va_start(args, format);
  record(format, args);
  va_end(args);
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
  traceLine("start %s %s", program, version);
  return TRUE;
}

void serialTrace_finish(int exitStatus) {
  if (gTraceFile == NULL) return;
  traceLine("exit status %d", exitStatus);
  fclose(gTraceFile);
  gTraceFile = NULL;
}

void systemError_capture(SystemError *error) {
#ifdef _WIN32
  const DWORD code = GetLastError();
  error->code = (long)code;
  // Returns the number of characters stored upon success, 0 upon failure.
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                code, 0, error->text, sizeof error->text, NULL);
  if (length == 0) snprintf(error->text, sizeof error->text, "unknown error");
  // The system's text ends in CR LF: one record stays one line.
  for (char *c = error->text; *c != '\0'; c++)
    if (*c == '\r' || *c == '\n') *c = ' ';
  size_t end = strlen(error->text);
  while (end > 0 && error->text[end - 1] == ' ') error->text[--end] = '\0';
#else
  const int code = errno;
  error->code = code;
  snprintf(error->text, sizeof error->text, "%s", strerror(code));
#endif
}

void serialTrace_open(int port, const char *deviceName, BOOL ok, const SystemError *error) {
  if (gTraceFile == NULL) return;
  // The device behind the name: on POSIX the table's path or FWUPGRADE_COM_DIR's link.
  char device[512];
#ifdef _WIN32
  snprintf(device, sizeof device, "%s", deviceName);
#else
  if (!ComPortNames_resolve(deviceName, device, sizeof device))
    snprintf(device, sizeof device, "%s (no device)", deviceName);
#endif
  if (ok) {
    traceLine("open COM%d %s ok", port, device);
  } else {
#ifdef _WIN32
    traceLine("open COM%d %s FAILED: GetLastError %ld: %s", port, device, error->code,
              error->text);
#else
    traceLine("open COM%d %s FAILED: errno %ld: %s", port, device, error->code, error->text);
#endif
  }
}

static const char *resultWord(BOOL ok) {
  switch (ok) {
    case FALSE: return "FAILED";
    case TRACE_KEPT: return "kept";
    case TRACE_UNSUPPORTED: return "not supported by this device";
    default: return "ok";
  }
}

BOOL serialTrace_failureKind(void) {
#ifdef _WIN32
  const DWORD code = GetLastError();
  return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED ? TRACE_UNSUPPORTED : FALSE;
#else
  return errno == ENOTTY || errno == EINVAL ? TRACE_UNSUPPORTED : FALSE;
#endif
}

void serialTrace_close(int port, BOOL ok) { traceLine("close COM%d %s", port, resultWord(ok)); }

void serialTrace_state(const char *call, const DCB *dcb, BOOL ok) {
  traceLine("%s baud %lu cts %s %s", call, (unsigned long)dcb->BaudRate,
            dcb->fOutxCtsFlow ? "on" : "off", resultWord(ok));
}

void serialTrace_timeouts(const COMMTIMEOUTS *cto, BOOL ok) {
  traceLine("SetCommTimeouts interval %lu ms total %lu ms %s",
            (unsigned long)cto->ReadIntervalTimeout, (unsigned long)cto->ReadTotalTimeoutConstant,
            resultWord(ok));
}

void serialTrace_call(const char *call, BOOL ok) { traceLine("%s %s", call, resultWord(ok)); }

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
  traceLine("%s %d of %d bytes in %.1f ms%s %s", call, done, asked, elapsedMs,
            ok ? "" : " FAILED", text);
}
