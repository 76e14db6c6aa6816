// The scheduler of update-all's children: starts them, reads their channels,
// bounds their silence, passes on the interrupts, and keeps their records.
#include "fleet/FleetRun.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "fleet/FleetFacts.h"
#include "fleet/FleetLogs.h"
#include "fleet/ProgressChannel.h"
#include "fleet/UnitHooks.h"
#include "platform/ExitStatus.h"
#include "platform/Files.h"
#include "platform/Subprocess.h"
#include "platform/SystemPorts.h"
#include "serial/PortDescription.h"

#define STALL_SECONDS_DEFAULT 120.0
#define STOP_GRACE_SECONDS 15.0
// A log longer than this (a unit that flooded the console) is left as written.
#define LOG_REWRITE_MAX (64u << 20)

static double settingSeconds(const char *name, double fallback) {
  const char *text = getenv(name);
  double value = text != NULL ? atof(text) : 0;
  return value > 0 ? value : fallback;
}

struct FleetRun::Tracked : FleetUnit {
  Subprocess *child = NULL;
  ProgressReader reader;
  FleetStep stepBeforeFailure = FLEET_STEP_WAITING;
  std::string unknownBeforeFailure;  // its text, when FLEET_STEP_UNKNOWN
  FleetHeard heard;  // what its child told beyond its record
  bool stopped = false, hung = false;
  double lastInterruptAt = 0, killAt = 0;
  int stretch = 0;         // stretches at risk begun so far
  int warnedStretch = -1;  // the stretch the last warning named it in
  std::unique_ptr<UnitHook> startHook, resultHook;  // killed with the run
  bool released = false;  // the watch has let go of it
};

static bool isStreaming(const FleetUnit &unit) {
  return unit.running && fleet_isStreamingStep(unit.step);
}

FleetRun::FleetRun(const FleetOptions &options, const std::string &logDir,
                   const std::string &program, FleetListener &listener)
    : options_(options),
      logDir_(logDir),
      program_(program),
      logNames_(logDir, options.traceDir, options.watch),
      stallSeconds_(settingSeconds("FWUPGRADE_FLEET_STALL_SECONDS", STALL_SECONDS_DEFAULT)),
      listener_(listener) {}

FleetRun::~FleetRun() {
  for (auto &unit : units_) subprocess_free(unit->child);
}

const FleetUnit *FleetRun::add(const FleetRecord &found) {
  units_.emplace_back(new Tracked);
  FleetRecord &r = units_.back()->record;
  r.port = found.port;
  r.address = portDescription_of(found.port).name;
  r.baud = found.baud;
  r.device = found.device;
  r.label = found.label;
  fleet_findSlot(&r);
  return units_.back().get();
}

void fleet_findSlot(FleetRecord *record) {
  FleetRecord &r = *record;
  // The slot of the adapter as the system shows it now (a watch lists again
  // for each unit: adapters come and go).
  for (const SystemPort &port : systemPorts_list()) {
    if (port.device != r.device) continue;
    r.location = port.location;
    if (!portDescription_of(r.port).location.empty()) r.slotComNumber = port.comNumber;
    r.serialNumber = port.serialNumber;
    if (port.vid < 0) continue;
    char id[16];
    snprintf(id, sizeof id, "%04x", port.vid & 0xffff);
    r.vid = id;
    snprintf(id, sizeof id, "%04x", port.pid & 0xffff);
    r.pid = id;
  }
}

const FleetUnit *FleetRun::addNotStarted(const FleetRecord &found) {
  add(found);
  endUnstarted(*units_.back(), fleet_nowSeconds());
  return units_.back().get();
}

void FleetRun::release(const FleetUnit *unit) {
  for (auto &tracked : units_)
    if (tracked.get() == unit) tracked->released = true;
}

std::vector<FleetRecord> FleetRun::takeRecorded() {
  std::vector<FleetRecord> taken;
  taken.swap(recorded_);
  return taken;
}

std::vector<const FleetUnit *> FleetRun::units() const {
  std::vector<const FleetUnit *> all;
  for (const auto &unit : units_) all.push_back(unit.get());
  return all;
}

// ---- Starting a child -------------------------------------------------------------------

// The trace a child is given without a trace folder (LogNames names it in
// one): when FWUPGRADE_TRACE names a file, one of its own beside it
// (trace.txt -> trace-COM3.txt), since children cannot share one.
static std::string sharedTraceFor(int port) {
  const char *shared = getenv("FWUPGRADE_TRACE");
  if (shared == NULL || *shared == '\0') return "";
  return fleet_portFileName(shared, port);
}

void FleetRun::start(Tracked &unit, double now) {
  FleetRecord &r = unit.record;
  // The wall clock names the log's day and the record's start; durations
  // are measured on the monotonic clock (NOW), which no setting of it moves.
  const time_t startedWhen = time(NULL);
  // A name an earlier run took (log or trace) gets the next number, however
  // many there are; one that cannot be had leaves the unit without a log
  // (and trace), which is said.
  std::string trace, namesError;
  const bool named = logNames_.next(r.port, startedWhen, &r.log, &trace, &namesError);
  if (options_.traceDir.empty()) trace = sharedTraceFor(r.port);
  std::vector<std::string> argv = {program_, "update", "--port", fleet_portArgument(r.port)};
  // A raw socket's rate may not be known (0): its child asks at the server's.
  if (r.baud > 0) {
    argv.push_back("--baud");
    argv.push_back(std::to_string(r.baud));
  }
  if (options_.noVerify) argv.push_back("--no-verify");
  if (options_.skipCurrent) argv.push_back("--skip-current");
  if (options_.retries > 0) {
    argv.push_back("--retries");
    argv.push_back(std::to_string(options_.retries));
  }
  if (!trace.empty()) {
    argv.push_back("--trace");
    argv.push_back(trace);
  }
  argv.push_back("--progress-fd");
  argv.push_back(SUBPROCESS_CHANNEL_ARG);
  r.started = fleet_isoTime(startedWhen);
  unit.startedAt = unit.lastHeardAt = now;
  std::string error;
  // A trace in the trace folder is made here, new, for the child to append
  // to: the child opens its trace as it finds it.
  if (!named) error = r.log + ": " + namesError;
  else if (!options_.traceDir.empty() && !files_makeNew(trace))
    error = trace + ": " + strerror(errno);
  else unit.child = subprocess_start(argv, r.log, &error);
  // A log that cannot be made (a full folder, one not writable) does not hold
  // the update up: it runs without one, which is said, and names none.
  const std::string logError = r.log + ": ";
  if (unit.child == NULL && error.compare(0, logError.size(), logError) == 0) {
    listener_.logFailed(unit, error.substr(logError.size()));
    r.log.clear();
    unit.child = subprocess_start(argv, "", &error);
  }
  if (unit.child == NULL) {
    r.log.clear();  // not written by this unit, maybe not there at all
    unit.finished = true;
    unit.step = FLEET_STEP_FAILED;
    r.result = FLEET_RESULT_FAILED;
    r.failedStep = fleet_stepName(FLEET_STEP_DETECTING);
    r.message = "cannot start the update: " + error;
    r.finished = r.started;
    listener_.stepChanged(unit, now);
    settle(unit, now);
    return;
  }
  unit.running = true;
  listener_.unitStarted(unit, now);
}

// ---- What a child tells, and its end ---------------------------------------------------

// Takes one event from the unit's channel; TRUE when the step changed.
bool FleetRun::takeEvent(Tracked &unit, const ProgressLine &line) {
  FleetRecord &r = unit.record;
  switch (line.kind) {
    case ProgressLine::STEP: {
      // A unit found running the release ends as current, not done.
      const FleetStep step =
          line.step == FLEET_STEP_DONE && unit.heard.upToDate ? FLEET_STEP_CURRENT : line.step;
      const std::string unknown = step == FLEET_STEP_UNKNOWN ? line.stepText : "";
      if (step == unit.step && unknown == unit.unknownStep) return false;
      if (step == FLEET_STEP_FAILED) {
        unit.stepBeforeFailure = unit.step;
        unit.unknownBeforeFailure = unit.unknownStep;
      }
      if (fleet_isStreamingStep(step) && !fleet_isStreamingStep(unit.step)) unit.stretch++;
      unit.step = step;
      unit.unknownStep = unknown;
      unit.percent = 0;
      return true;
    }
    case ProgressLine::PERCENT:
      unit.percent = line.percent;
      return false;
    case ProgressLine::FACT: {
      // Versions read while verifying are the ones after the update.
      bool after = unit.step == FLEET_STEP_VERIFYING || unit.step == FLEET_STEP_DONE;
      fleet_takeFact(&r, &unit.heard, after, line.key, line.value);
      return false;
    }
  }
  return false;
}

// The child's transcript rewritten as text a person reads (fleet_readableText),
// a part at a time. One that cannot be read or rewritten stays as the child
// wrote it: it is still the unit's log. A log replaced by something else than
// a file since the child made it is left alone, and so is one past
// LOG_REWRITE_MAX, which is not read at all.
static void makeReadable(const std::string &log) {
  FILE *file = files_openPlain(log);  // a fifo put there does not hold the run up
  if (file == NULL) return;
  const long size = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
  fclose(file);
  std::string why;
  if (size >= 0 && size <= (long)LOG_REWRITE_MAX) fleet_rewriteReadable(log, &why);
}

// The step a unit's table row shows once its result is settled.
static FleetStep stepOfResult(FleetResult result) {
  switch (result) {
    case FLEET_RESULT_UPDATED: return FLEET_STEP_DONE;
    case FLEET_RESULT_CURRENT: return FLEET_STEP_CURRENT;
    case FLEET_RESULT_INTERRUPTED: return FLEET_STEP_INTERRUPTED;
    default: return FLEET_STEP_FAILED;
  }
}

// The child ended: its result from what it told and its exit status.
void FleetRun::finish(Tracked &unit, int status, double now) {
  FleetRecord &r = unit.record;
  const FleetStep stepBefore = unit.step;
  unit.lastHeardAt = now;
  unit.running = false;
  unit.finished = true;
  r.finished = fleet_isoTime(time(NULL));
  r.seconds = unit.lastHeardAt - unit.startedAt;
  FleetUnit last = unit;  // the step it was in when it ended
  if (unit.step == FLEET_STEP_FAILED) {
    last.step = unit.stepBeforeFailure;
    last.unknownStep = unit.unknownBeforeFailure;
  }
  if (last.step == FLEET_STEP_WAITING)
    last.step = FLEET_STEP_DETECTING;  // ended before it told its first step
  FleetEnding ending;
  ending.status = status;
  ending.step = last.stepName();
  ending.heard = unit.heard;
  ending.stopped = unit.stopped;
  ending.hungSeconds = unit.hung ? stallSeconds_ : 0;
  fleet_settle(&r, ending);
  unit.step = stepOfResult(r.result);
  if (unit.step != stepBefore) {
    unit.unknownStep.clear();
    listener_.stepChanged(unit, now);
  }
  settle(unit, now);
}

// ---- Hooks ---------------------------------------------------------------------------------

void FleetRun::settle(Tracked &unit, double now) {
  listener_.unitFinished(unit, now);
  if (!options_.onResult.empty() && !hooksStopped_)
    unit.resultHook.reset(new UnitHook(options_.onResult, UNIT_HOOK_RESULT, unit.record));
}

// Looks at the unit's hooks; once they have ended after its end, its record
// is final: the hooks' statuses go in, its log is made readable (the hooks'
// output in it), and the listener is told.
void FleetRun::followHooks(Tracked &unit) {
  bool running = false;
  for (const std::unique_ptr<UnitHook> *hook : {&unit.startHook, &unit.resultHook})
    running = (*hook != nullptr && !(*hook)->poll()) || running;
  if (running || !unit.finished || unit.recorded) return;
  FleetRecord &r = unit.record;
  if (unit.startHook != nullptr) r.startHookStatus = unit.startHook->status();
  if (unit.resultHook != nullptr) r.hookStatus = unit.resultHook->status();
  unit.startHook.reset();
  unit.resultHook.reset();
  if (!r.log.empty()) makeReadable(r.log);
  unit.recorded = true;
  recorded_.push_back(r);
  listener_.unitRecorded(unit);
}

// ---- Rounds -------------------------------------------------------------------------------

// A unit still waiting for its turn when an interrupt came: never started.
void FleetRun::endUnstarted(Tracked &unit, double now) {
  unit.finished = true;
  unit.step = FLEET_STEP_INTERRUPTED;
  unit.record.result = FLEET_RESULT_INTERRUPTED;
  unit.record.message = "not started: stopped by an interrupt";
  settle(unit, now);
}

void FleetRun::endWatch(double now) {
  watching_ = false;
  std::vector<const FleetUnit *> running, atRisk;
  for (auto &unit : units_) {
    if (unit->running) running.push_back(unit.get());
    if (isStreaming(*unit)) {
      atRisk.push_back(unit.get());
      unit->warnedStretch = unit->stretch;
    }
    if (!unit->running && !unit->finished) endUnstarted(*unit, now);
  }
  listener_.watchEnded(running);
  if (!atRisk.empty()) listener_.warned(atRisk);
}

// The rule for every unit at once, one interrupt at a time (two that came
// within one round are a warning and its answer).
void FleetRun::takeInterrupts(double now) {
  const int interrupts = subprocess_interruptCount();
  for (; interruptsSeen_ < interrupts && !stopping_; interruptsSeen_++) {
    if (watching_) {
      endWatch(now);
      continue;
    }
    std::vector<const FleetUnit *> atRisk;
    bool allWarned = true;
    for (const auto &unit : units_) {
      if (!isStreaming(*unit)) continue;
      atRisk.push_back(unit.get());
      allWarned = allWarned && unit->warnedStretch == unit->stretch;
    }
    if (!atRisk.empty() && !allWarned) {
      for (auto &unit : units_)
        if (isStreaming(*unit)) unit->warnedStretch = unit->stretch;
      listener_.warned(atRisk);
      continue;
    }
    listener_.stopping();
    stopping_ = true;
    for (auto &unit : units_) {
      if (unit->running) {
        unit->stopped = true;
        subprocess_interrupt(unit->child);
        unit->lastInterruptAt = now;
        unit->killAt = now + STOP_GRACE_SECONDS;
      } else if (!unit->finished) {
        endUnstarted(*unit, now);
      }
    }
  }
  // One more once stopping: the hooks still running are stopped at once
  // rather than at their bound, and none starts any more.
  if (stopping_ && interruptsSeen_ < interrupts && !hooksStopped_) {
    hooksStopped_ = true;
    std::vector<const FleetUnit *> stopped;
    for (auto &unit : units_) {
      bool running = false;
      for (const std::unique_ptr<UnitHook> *hook : {&unit->startHook, &unit->resultHook})
        if (*hook != nullptr && !(*hook)->ended()) {
          (*hook)->interrupt();
          running = true;
        }
      if (running) stopped.push_back(unit.get());
    }
    listener_.hooksStopped(stopped);
  }
  interruptsSeen_ = interrupts;
}

// Starts the units waiting for their turn, as many as --jobs allows.
void FleetRun::startWaiting(double now) {
  size_t running = 0;
  for (const auto &unit : units_) running += unit->running ? 1 : 0;
  for (auto &unit : units_) {
    if (stopping_ || (options_.jobs > 0 && running >= (size_t)options_.jobs)) break;
    if (unit->running || unit->finished) continue;
    start(*unit, now);
    running += unit->running ? 1 : 0;
  }
}

// What the unit's child told since the last round, each line passed on to
// the listener. TRUE when its step changed; *ENDED once the channel is closed.
bool FleetRun::readChild(Tracked &unit, double now, bool *ended) {
  bool changed = false;
  char buffer[4096];
  int n;
  while ((n = subprocess_readChannel(unit.child, buffer, sizeof buffer)) > 0) {
    unit.lastHeardAt = now;
    for (const ProgressLine &line : unit.reader.feed(buffer, (size_t)n)) {
      if (takeEvent(unit, line)) {
        changed = true;
        // The first image begins: the on-start hook, beside it.
        if (fleet_isStreamingStep(unit.step) && unit.startHook == nullptr &&
            !options_.onStart.empty() && !hooksStopped_)
          unit.startHook.reset(new UnitHook(options_.onStart, UNIT_HOOK_START, unit.record));
        listener_.stepChanged(unit, now);
      } else if (line.kind == ProgressLine::PERCENT) {
        listener_.percentChanged(unit, now);
      } else if (line.kind == ProgressLine::FACT && line.key == UPDATE_FACT_LOG_ERROR) {
        listener_.logFailed(unit, line.value);
      } else if (line.kind == ProgressLine::FACT) {
        listener_.factLearnt(unit, line.key, line.value);
      }
    }
  }
  *ended = n < 0;
  return changed;
}

// A running child that is silent past the stall bound is killed; a stopped
// one is interrupted again each second, and killed past its grace.
void FleetRun::applyBounds(Tracked &unit, double now) {
  if (!unit.hung && now - unit.lastHeardAt > stallSeconds_) {
    unit.hung = true;
    subprocess_kill(unit.child);
  } else if (unit.stopped && now >= unit.killAt) {
    subprocess_kill(unit.child);
  } else if (unit.stopped && now - unit.lastInterruptAt >= 1.0) {
    subprocess_interrupt(unit.child);
    unit.lastInterruptAt = now;
  }
}

bool FleetRun::round() {
  const double now = fleet_nowSeconds();
  roundAt_ = now;
  startWaiting(now);
  bool changed = false;
  for (auto &unit : units_) {
    if (!unit->running) continue;
    bool ended = false;
    changed = readChild(*unit, now, &ended) || changed;
    int status = 0;
    if (ended && subprocess_finished(unit->child, &status)) {
      finish(*unit, status, now);
      changed = true;
      continue;
    }
    applyBounds(*unit, now);
  }
  takeInterrupts(now);
  bool anyLeft = false;
  for (auto &unit : units_) {
    followHooks(*unit);
    anyLeft = anyLeft || !unit->recorded;
  }
  // Units the watch let go of, their records final: in the report and the
  // history now (or on their way there, in recorded_), no longer here.
  units_.erase(std::remove_if(units_.begin(), units_.end(),
                              [](const std::unique_ptr<Tracked> &unit) {
                                if (!unit->released || !unit->recorded) return false;
                                subprocess_free(unit->child);
                                return true;
                              }),
               units_.end());
  listener_.roundEnded(units(), now, changed);
  return anyLeft;
}

void FleetRun::wait(int timeoutMs) const {
  // What the children tell meanwhile waits in their pipes; an interrupt ends
  // the pause at once (POSIX).
  int pauseMs = (int)((roundAt_ + FLEET_ROUND_SECONDS - fleet_nowSeconds()) * 1000.0);
  pauseMs = std::max(0, std::min(pauseMs, timeoutMs));
  if (pauseMs > 0) subprocess_waitAny({}, pauseMs);
  std::vector<Subprocess *> children;
  for (const auto &unit : units_)
    if (unit->running) children.push_back(unit->child);
  subprocess_waitAny(children, timeoutMs - pauseMs);
}
