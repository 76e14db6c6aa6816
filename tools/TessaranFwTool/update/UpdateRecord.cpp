// A standalone update's record of its unit, from the update's own events: the
// steps and facts update-all reads on its children's channels, taken the way
// FleetRun takes them.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ToolCommands.h"
#include "fleet/FleetFacts.h"
#include "fleet/FleetRun.h"
#include "interrupts/Interrupts.h"
#include "platform/ExitStatus.h"
#include "platform/FileLock.h"
#include "platform/StationPlaces.h"
#include "serial/PortDescription.h"

UpdateRecord::UpdateRecord(const std::string &label) {
  record_.label = label;
  record_.started = fleet_isoTime(time(NULL));
  startedAt_ = fleet_nowSeconds();
  // The update alone is its run: its unit starts with it.
  record_.runStarted = record_.started;
  record_.runSeconds = 0;
  updateProgress_addListener(hear, this);
}

UpdateRecord::~UpdateRecord() {
  updateProgress_removeListener(hear, this);
  if (stopRecorded_) interruptHandling_setStopNote(NULL);
}

void UpdateRecord::hear(const UpdateEvent *event, void *context) {
  UpdateRecord &self = *(UpdateRecord *)context;
  FleetRecord &r = self.record_;
  if (event->kind == UPDATE_EVENT_STEP) {
    if (event->step == UPDATE_STEP_FAILED) self.stepBeforeFailure_ = self.step_;
    self.step_ = event->step;
    self.prepareStop();
    return;
  }
  if (event->kind != UPDATE_EVENT_FACT) return;
  const std::string key = event->key, value = event->value;
  // A new attempt (--retries): the failure is not the end, and a stop from
  // now on leaves the unit in the step that failed.
  if (key == UPDATE_FACT_ATTEMPT && self.step_ == UPDATE_STEP_FAILED)
    self.step_ = self.stepBeforeFailure_;
  // Versions read while verifying are the ones after the update.
  const bool after = self.step_ == UPDATE_STEP_VERIFYING || self.step_ == UPDATE_STEP_DONE;
  // Besides the record's facts, where the unit answered (told once, when it did).
  if (!fleet_takeFact(&r, &self.heard_, after, key, value)) {
    if (key == UPDATE_FACT_PORT) r.port = atoi(value.c_str());
    if (key == UPDATE_FACT_BAUD) r.baud = atoi(value.c_str());
  }
  self.prepareStop();
}

// The unit's port as a record names it, and its adapter's slot: looked up
// once (it lists the system's ports).
void UpdateRecord::locate() {
  if (located_) return;
  located_ = true;
  const PortDescription port = portDescription_of(record_.port);
  record_.address = port.name;
  record_.device = port.device;
  fleet_findSlot(&record_);
}

FleetRecord UpdateRecord::current() {
  if (record_.port > 0) locate();
  return record_;
}

bool UpdateRecord::finish(int status, FleetRecord *record) {
  FleetRecord &r = record_;
  if (r.port > 0) locate();
  r.finished = fleet_isoTime(time(NULL));
  r.seconds = fleet_nowSeconds() - startedAt_;
  UpdateStep step = step_ == UPDATE_STEP_FAILED ? stepBeforeFailure_ : step_;
  if (step == UPDATE_STEP_IDLE) step = UPDATE_STEP_DETECTING;
  FleetEnding ending;
  ending.status = status;
  ending.step = updateProgress_stepName(step);
  ending.heard = heard_;
  // Its console has told the stop: the record says the exit status.
  ending.interruptNote = NULL;
  fleet_settle(&r, ending);
  *record = r;
  return r.port > 0;  // else no unit answered
}

// ---- The record an interrupt's stop leaves ---------------------------------------------

// The line kept ready, twice: the update's thread fills the one not in use,
// then makes it the one in use, so that a stop that comes meanwhile (a
// signal handler on the same thread) finds a whole line.
#define STOP_LINE_MAX 16384
#define STOP_MESSAGE_WIDTH 240  // the stop's last line, quoted, then blanks
static struct {
  char path[4096];
  char lines[2][STOP_LINE_MAX];
  size_t length[2], finishedAt[2], secondsAt[2], messageAt[2];
  bool settled[2];  // a settled record, appended as it is

  volatile sig_atomic_t current = -1;
  struct timespec startedAt;
} gStop;

// "2026-12-09T08:15:00Z" for WHEN, in 20 characters at OUT; arithmetic only.
static void isoTimeAt(time_t when, char *out) {
  long long days = (long long)when / 86400, second = (long long)when % 86400;
  // Civil from days (proleptic Gregorian), the inverse of days since 1970-01-01.
  days += 719468;
  const long long era = days / 146097, dayOfEra = days - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long monthIndex = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2);
  const long long fields[] = {year, month, day, second / 3600, second / 60 % 60, second % 60};
  const char separators[] = "--T::Z";
  for (int i = 0, at = 0; i < 6; i++) {
    const int width = i == 0 ? 4 : 2;
    for (int d = width - 1; d >= 0; d--) {
      long long v = fields[i];
      for (int k = 0; k < d; k++) v /= 10;
      out[at++] = (char)('0' + v % 10);
    }
    out[at++] = separators[i];
  }
}

static void recordStop(const char *text) {
  const int k = gStop.current;
  if (k < 0) return;
  if (gStop.settled[k]) {
    fileLock_appendPrepared(gStop.path, gStop.lines[k], gStop.length[k], 1.0);
    return;
  }
  char *line = gStop.lines[k] + 1;
  isoTimeAt(time(NULL), line + gStop.finishedAt[k]);
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long tenths = ((long long)now.tv_sec - gStop.startedAt.tv_sec) * 10 +
                     (now.tv_nsec - gStop.startedAt.tv_nsec) / 100000000;
  if (tenths < 0) tenths = 0;
  // The seconds in the mark's 11 characters, blanks after them.
  char digits[24];
  int count = 0;
  digits[count++] = (char)('0' + tenths % 10);
  digits[count++] = '.';
  for (tenths /= 10; count == 2 || tenths > 0; tenths /= 10)
    digits[count++] = (char)('0' + tenths % 10);
  char *seconds = line + gStop.secondsAt[k];
  for (int at = 0; at < 11; at++)
    seconds[at] = at < count && count <= 11 ? digits[count - 1 - at] : ' ';
  // The last line, as update-all's children tell it ("fact state"): one
  // line, its quotes and backslashes escaped; the rest of the line moved up
  // to its closing quote (the marks above are past it, so stamped first).
  char *message = line + gStop.messageAt[k];
  int n = 0;
  message[n++] = '"';
  while (*text == '\r' || *text == '\n') text++;
  for (; *text != '\0' && n < STOP_MESSAGE_WIDTH - 3; text++) {
    const unsigned char c = (unsigned char)*text;
    if (c == '"' || c == '\\') message[n++] = '\\';
    message[n++] = c == '\r' || c == '\n' ? ' ' : c < 0x20 ? '?' : (char)c;
  }
  while (n > 1 && message[n - 1] == ' ') n--;
  message[n++] = '"';
  size_t length = gStop.length[k];
  const size_t from = gStop.messageAt[k] + STOP_MESSAGE_WIDTH, to = gStop.messageAt[k] + n;
  for (size_t i = 0; from + i < length; i++) line[to + i] = line[from + i];
  length -= from - to;
  fileLock_appendPrepared(gStop.path, gStop.lines[k], length, 1.0);
}

void UpdateRecord::recordStopIn(const std::string &path) {
  if (path.empty() || path.size() >= sizeof gStop.path) return;
  snprintf(gStop.path, sizeof gStop.path, "%s", path.c_str());
  clock_gettime(CLOCK_MONOTONIC, &gStop.startedAt);
  stopRecorded_ = true;
  interruptHandling_setStopNote(recordStop);
}

// TEXT as the line in use from now on.
static void keepLine(const std::string &text, bool settled, size_t finished, size_t seconds,
                     size_t message) {
  if (text.size() + 1 > STOP_LINE_MAX) return;
  const int k = gStop.current == 0 ? 1 : 0;
  memcpy(gStop.lines[k] + 1, text.data(), text.size());
  gStop.length[k] = text.size();
  gStop.settled[k] = settled;
  gStop.finishedAt[k] = finished, gStop.secondsAt[k] = seconds, gStop.messageAt[k] = message;
  gStop.current = k;
}

void UpdateRecord::noteStartHook(int status) {
  startHookStatus_ = status;
  prepareStop();
}

void UpdateRecord::keepSettled(const FleetRecord &record) {
  settled_ = true;
  if (stopRecorded_ && record.port > 0) keepLine(historyLine(record), true, 0, 0, 0);
}

void UpdateRecord::forgetStop() { gStop.current = -1; }

void UpdateRecord::prepareStop() {
  if (!stopRecorded_ || record_.port <= 0 || settled_) return;
  // Its result settled, the update records it at its end, a stop meanwhile
  // the record keepSettled gives (a stop in the moment between records nothing).
  if (step_ == UPDATE_STEP_DONE || step_ == UPDATE_STEP_FAILED) {
    gStop.current = -1;
    return;
  }
  if (!located_) {
    locate();
    // The history's folders, made while anything may still run.
    const size_t slash = std::string(gStop.path).find_last_of("/\\");
    std::string error;
    if (slash != std::string::npos && slash > 0)
      stationPlaces_makeFolders(std::string(gStop.path).substr(0, slash), &error);
  }
  FleetRecord r = record_;
  r.result = FLEET_RESULT_INTERRUPTED;
  r.startHookStatus = startHookStatus_;
  r.failedStep = updateProgress_stepName(step_ == UPDATE_STEP_IDLE ? UPDATE_STEP_DETECTING : step_);
  // Marks the stop writes over, each found after its key (a key's quote
  // never appears unescaped inside a value).
  r.finished = "0000-00-00T00:00:00Z";
  r.seconds = 987654321.5;
  r.message = std::string(STOP_MESSAGE_WIDTH - 2, '#');
  const std::string text = historyLine(r);
  const size_t finished = text.find("\"finished\":\"") + 12,
               seconds = text.find("\"seconds\":") + 10, message = text.find("\"message\":") + 10;
  if (text.compare(seconds, 11, "987654321.5") == 0) keepLine(text, false, finished, seconds, message);
}
