// The wire trace file: one line per record, "<wall time> +<ms since start> <what>".
#include "serial/SerialTrace.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/CalendarTime.h"
#include "platform/PortList.h"

static FILE *gTraceFile = NULL;
static std::string gTracePath;
static double gTraceStartMs = 0;
static std::string gLabel;  // "[COM3] " in a probe's trace, else empty
static unsigned long long gLimit = SERIAL_TRACE_LIMIT;
static unsigned long long gWritten = 0;  // bytes this run wrote to the trace
static bool gBounded = false;            // the bound was reached: records are left out
// The last record written, as it is compared with the next (a read or write
// without its elapsed time), and how often it came again since.
static std::string gLastKey;
static long gRepeats = 0;

#define TRACE_WHOLE_LIMIT 256  // longer blocks are shown by their two ends
#define TRACE_END_BYTES 16

struct Stamp {
  std::chrono::system_clock::time_point wall;
  double sinceStartMs;
};
static Stamp gLastRepeat;  // when the last repeat came

// What the records of an interrupt's stop need, kept ready by the usual ones:
// the file's descriptor and the local time's offset from UTC (the conversion
// to local time cannot be made in a signal handler). gBusy is non-zero while
// the trace's state or file is being changed: a stop then writes nothing.
static int gTraceFd = -1;
static long gUtcOffsetSeconds = 0;
static volatile sig_atomic_t gBusy = 0;
struct Busy {
  Busy() { gBusy = gBusy + 1; }
  ~Busy() { gBusy = gBusy - 1; }
};

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (its
// inverse, dateOfDays, is below).
static long long daysOfDate(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = (unsigned)(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + (long long)dayOfEra - 719468;
}

double serialTrace_nowMs(void) {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

BOOL serialTrace_enabled(void) { return gTraceFile != NULL; }

static Stamp stampNow(void) {
  return {std::chrono::system_clock::now(), serialTrace_nowMs() - gTraceStartMs};
}

// The record's prefix: local wall time to the millisecond, then the time since
// the trace began; then the label of a probe's trace.
static std::string stampText(const Stamp &stamp) {
  using namespace std::chrono;
  const time_t seconds = system_clock::to_time_t(stamp.wall);
  const long millis =
      (long)(duration_cast<milliseconds>(stamp.wall.time_since_epoch()).count() % 1000);
  struct tm local;
  calendarTime_fields(seconds, false, &local);
  gUtcOffsetSeconds =
      (long)(daysOfDate(local.tm_year + 1900LL, (unsigned)local.tm_mon + 1, (unsigned)local.tm_mday) *
                 86400 +
             local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec - (long long)seconds);
  char text[64];
  size_t used = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(text + used, sizeof text - used, ".%03ld +%.1f ", millis, stamp.sinceStartMs);
  return text + gLabel;
}

// Writes LINE (newline included) unless the run's bound leaves it out: the
// first line that would pass the bound is replaced by one that says so.
// Flushed at once: a trace is wanted most from a run that never ends well.
static void writeLine(const Stamp &stamp, std::string line, bool bounded) {
  if (bounded && gBounded) return;
  if (bounded && gWritten + line.size() > gLimit) {
    gBounded = true;
    line = stampText(stamp) + "trace bounded at " + std::to_string(gLimit) +
           " bytes: the run's later records are left out\n";
  }
  fwrite(line.data(), 1, line.size(), gTraceFile);
  fflush(gTraceFile);
  gWritten += line.size();
}

// The count of records left out as repeats of the one before them.
static void endRepeats(void) {
  if (gRepeats > 0)
    writeLine(gLastRepeat,
              stampText(gLastRepeat) + "... repeated " + std::to_string(gRepeats) + " times\n",
              true);
  gRepeats = 0;
}

// A record; one the same as the last written (KEY compared) is only counted.
static void record(const std::string &key, const std::string &text) {
  if (gTraceFile == NULL || gBounded) return;
  Busy busy;
  const Stamp now = stampNow();
  if (key == gLastKey) {
    gRepeats++;
    gLastRepeat = now;
    return;
  }
  endRepeats();
  gLastKey = key;
  writeLine(now, stampText(now) + text + "\n", true);
}

static std::string formatted(const char *format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(NULL, 0, format, args);
  std::string text(length > 0 ? (size_t)length : 0, '\0');
  if (length > 0) vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  return text;
}

void serialTrace_note(const char *format, ...) {
  if (gTraceFile == NULL) return;
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  record(text, text);
}

BOOL serialTrace_start(const char *program, const char *version, const char *path) {
  if (gTraceFile != NULL) return TRUE;
  if (path == NULL || *path == '\0') path = getenv(SERIAL_TRACE_ENV);
  if (path == NULL || *path == '\0') return FALSE;
  Busy busy;
  gTraceFile = fopen(path, "a");
  if (gTraceFile == NULL) {
    // stderr only: the console dialogue on stdout stays as it is.
    fprintf(stderr, "%s: cannot open the trace file %s: %s\n", program, path, strerror(errno));
    return FALSE;
  }
  gTracePath = path;
  gTraceFd = fileno(gTraceFile);
  gTraceStartMs = serialTrace_nowMs();
  gWritten = 0;
  gBounded = false;
  gLastKey.clear();
  serialTrace_note("start %s %s", program, version);
  return TRUE;
}

const char *serialTrace_path(void) { return gTraceFile != NULL ? gTracePath.c_str() : NULL; }

void serialTrace_setLabel(const char *label) {
  Busy busy;
  gLabel = label != NULL && *label ? "[" + std::string(label) + "] " : "";
}

void serialTrace_setLimit(unsigned long long bytes) { gLimit = bytes; }

unsigned long long serialTrace_room(void) {
  return gTraceFile == NULL || gBounded || gWritten >= gLimit ? 0 : gLimit - gWritten;
}

BOOL serialTrace_append(const char *path) {
  if (gTraceFile == NULL) return FALSE;
  // Text mode, as the trace itself is written: Windows line ends stay single.
  FILE *part = fopen(path, "r");
  if (part == NULL) return FALSE;
  Busy busy;
  endRepeats();
  gLastKey.clear();
  std::string line;
  char buffer[4096];
  const Stamp now = stampNow();
  while (fgets(buffer, sizeof buffer, part) != NULL) {
    line += buffer;
    if (line.back() != '\n') continue;
    writeLine(now, line, true);
    line.clear();
  }
  // A child killed in the middle of a record leaves it without its newline.
  if (!line.empty()) writeLine(now, line + "\n", true);
  fclose(part);
  return TRUE;
}

void serialTrace_finish(int exitStatus) {
  if (gTraceFile == NULL) return;
  Busy busy;
  endRepeats();
  // Written past the bound too: the run's outcome is always the last record.
  const Stamp now = stampNow();
  writeLine(now, stampText(now) + "exit status " + std::to_string(exitStatus) + "\n", false);
  fclose(gTraceFile);
  gTraceFile = NULL;
  gTraceFd = -1;
}

void serialTrace_open(const char *port, const char *device, BOOL ok, const SystemError *error) {
  if (gTraceFile == NULL) return;
  if (ok)
    serialTrace_note("open %s %s ok", port, device);
  else
    serialTrace_note("open %s %s FAILED: %s %ld: %s", port, device, systemError_source(),
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

void serialTrace_close(const char *port, TraceOutcome outcome) {
  serialTrace_note("close %s %s", port, outcomeWord(outcome));
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
  char head[160], elapsed[32];
  snprintf(head, sizeof head, "%s %d of %d bytes", call, done, asked);
  snprintf(elapsed, sizeof elapsed, " in %.1f ms", elapsedMs);
  const std::string tail = std::string(ok ? "" : " FAILED") + " " + text;
  // The same call with the same bytes is a repeat whatever it took.
  record(head + tail, head + std::string(elapsed) + tail);
}

// ---- Records of an interrupt's stop -------------------------------------------------
#ifndef _WIN32

// The date of a count of days since 1970-01-01: plain arithmetic, usable in a
// signal handler.
static void dateOfDays(long long days, long long *year, unsigned *month, unsigned *day) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = (unsigned)(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shifted = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  *month = shifted < 10 ? shifted + 3 : shifted - 9;
  *year = (long long)yearOfEra + era * 400 + (*month <= 2);
}

// A line built in a fixed buffer: text and numbers only, no allocation.
struct StopLine {
  char text[512];
  size_t used = 0;
  void add(const char *part) {
    while (*part != '\0' && used < sizeof text - 1) text[used++] = *part++;
  }
  void add(unsigned long long number, int digits) {
    char reversed[24];
    int count = 0;
    do {
      reversed[count++] = (char)('0' + number % 10);
      number /= 10;
    } while (number > 0 && count < (int)sizeof reversed);
    for (int pad = count; pad < digits && used < sizeof text - 1; pad++) text[used++] = '0';
    while (count > 0 && used < sizeof text - 1) text[used++] = reversed[--count];
  }
};

// stampText's prefix, from the offset the last usual record found.
static void addStamp(StopLine *line, const Stamp &stamp) {
  using namespace std::chrono;
  const long long ms = duration_cast<milliseconds>(stamp.wall.time_since_epoch()).count();
  const long long local = (ms >= 0 ? ms / 1000 : (ms - 999) / 1000) + gUtcOffsetSeconds;
  const long long secondOfDay = ((local % 86400) + 86400) % 86400;
  long long year = 0;
  unsigned month = 0, day = 0;
  dateOfDays((local - secondOfDay) / 86400, &year, &month, &day);
  line->add((unsigned long long)year, 4);
  line->add("-");
  line->add(month, 2);
  line->add("-");
  line->add(day, 2);
  line->add(" ");
  line->add((unsigned long long)secondOfDay / 3600, 2);
  line->add(":");
  line->add((unsigned long long)secondOfDay / 60 % 60, 2);
  line->add(":");
  line->add((unsigned long long)secondOfDay % 60, 2);
  line->add(".");
  line->add((unsigned long long)(((ms % 1000) + 1000) % 1000), 3);
  const double tenths = stamp.sinceStartMs * 10 + 0.5;
  const unsigned long long since = tenths > 0 ? (unsigned long long)tenths : 0;
  line->add(" +");
  line->add(since / 10, 1);
  line->add(".");
  line->add(since % 10, 1);
  line->add(" ");
  line->add(gLabel.c_str());
}

static void writeStopLine(StopLine *line) {
  line->add("\n");
  const char *data = line->text;
  size_t left = line->used;
  while (left > 0) {
    const ssize_t written = write(gTraceFd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= (size_t)written;
  }
  gWritten += line->used;
}

// TRUE when a stop may write to the trace now.
static bool stopMayWrite(void) { return gTraceFile != NULL && gTraceFd >= 0 && gBusy == 0; }

void serialTrace_closeAtStop(const char *port, TraceOutcome outcome) {
  if (!stopMayWrite() || gBounded) return;
  if (gRepeats > 0) {
    StopLine repeats;
    addStamp(&repeats, gLastRepeat);
    repeats.add("... repeated ");
    repeats.add((unsigned long long)gRepeats, 1);
    repeats.add(" times");
    writeStopLine(&repeats);
    gRepeats = 0;
  }
  StopLine line;
  addStamp(&line, stampNow());
  line.add("close ");
  line.add(port);
  line.add(" ");
  line.add(outcomeWord(outcome));
  if (gWritten + line.used + 1 <= gLimit) writeStopLine(&line);
}

void serialTrace_finishAtStop(int exitStatus) {
  if (!stopMayWrite()) return;
  StopLine line;
  addStamp(&line, stampNow());
  line.add("exit status ");
  line.add((unsigned long long)exitStatus, 1);
  writeStopLine(&line);
}

#endif  // _WIN32
