// update-all's children and their scheduling.
//
// Children. Each port is probed by a child of its own (`update-all
// --probe-port N`), then each unit found is updated by a child `update --port N
// --baud B [--no-verify] --progress-fd X`: the serial driver keeps one port and
// one set of buffers per process, and a unit that fails, hangs or goes away
// takes only its own process with it. A child's console transcript goes to its
// log file, rewritten when the child ends as text a person reads
// (fleet_readableText); its progress comes back on its channel (ProgressChannel.h),
// and so do the last line of an interrupted child (the unit's state) and why
// its log cannot be written, when it cannot (the update goes on).
//
// Bounds. A child that tells nothing for FWUPGRADE_FLEET_STALL_SECONDS (120 s
// by default; the longest quiet stretch of a sound update is a 20 s wait for
// "Ready") is taken for hung and killed; the probes have their own bounds
// (FleetProbe.h).
//
// Interrupts. The children run in process groups of their own, so the
// terminal's Ctrl+C reaches this process only, and the rule for interrupts is
// applied once for every unit, as the single update applies it to its unit:
// while units are being written, an interrupt warns, naming them; the next
// one stops everything only when every unit being written then was named by
// that warning in the same stretch (from the first image's announce to the
// second image's end). A unit that begins a new stretch re-arms the warning.
// With nothing being written, an interrupt stops at once. To stop, every
// child is sent an interrupt, again each second until it ends, and killed
// after 15 s. A unit stopped so is reported as interrupted, unless its child
// still ended with a sound update. Signals ignored at start (nohup, a
// background job) stay ignored.
//
// Hooks (UnitHooks.h). A unit's on-start hook starts when its first image
// begins, its on-result hook when its result is settled; neither is waited
// for: each round looks at them, and stops one at its bound. The unit's
// record is final, and its log made readable, once both have ended
// (unitRecorded); a run is over only then. Stopping does not stop hooks: a
// unit stopped so runs its on-result hook too, within its bound; the next
// interrupt stops every hook still running at once, and none starts after it.
//
// Files. Logs (and traces) are new files, never an earlier run's: a name
// already taken gets the next free number (update-COM3-2.log), and a planted
// link is refused rather than followed; under a watch they go in a folder per
// day (LogNames, FleetLogs.h). A log that cannot be made is said, and its
// unit updated without one; a unit without a log names none.
#ifndef FLEETRUN_H
#define FLEETRUN_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fleet/FleetLogs.h"
#include "fleet/FleetReport.h"
#include "fleet/ProgressChannel.h"

struct Subprocess;

// update-all's options, as its command line gives them.
struct FleetOptions {
  std::vector<int> ports;  // empty: the ports the updater scans, COM1 to COM32
  int jobs = 0;            // units updated at once, 0: all
  int baud = 0;            // --baud: the rate of the socket:// ports' lines; 0: not known
  std::string reportPath;  // .json or .csv, none when empty
  std::string pagePath;    // the station page (StationPage.h), none when empty
  std::string logDir;      // empty: a folder named after the start time
  std::string traceDir;    // a wire trace per unit in this folder; empty: none (or FWUPGRADE_TRACE)
  int keepLogDays = 30;    // --keep-logs: a watch's day folders go DAYS days after the next day
  bool noVerify = false;
  bool skipCurrent = false;  // a unit that runs the release already is reported current
  int retries = 0;           // each child's update --retries
  // Watch: the free ports probed every intervalSeconds, each unit that
  // appears handled once, until an interrupt.
  bool watch = false;
  double intervalSeconds = 5;
  // The USB locations --ports named (usb:1-1.4): under watch each is looked
  // up again every round, so that an adapter plugged in later at it (behind
  // that hub) is watched too; ports holds the slots found at the start.
  std::vector<std::string> slotLocations;
  // Hooks (UnitHooks.h): commands run for each unit through the shell; empty: none.
  std::string onStart, onResult;
  // The station history each unit's record is appended to; none with noHistory.
  std::string historyPath;  // --history FILE; empty: the default (StationHistory.h)
  bool noHistory = false;
  // Watch: each unit found takes the oldest label read from standard input
  // (LabelQueue.h), and waits for one when none is queued.
  bool labels = false;
};

// One unit as its display sees it.
struct FleetUnit {
  FleetRecord record;
  // The child's step; at the end done, current, failed or interrupted.
  FleetStep step = FLEET_STEP_WAITING;
  std::string unknownStep;       // FLEET_STEP_UNKNOWN: the step as the child named it
  int percent = 0;               // of the step
  bool running = false;          // its child is running
  bool finished = false;         // record.result is settled
  bool recorded = false;         // and its hooks have ended: the record is final
  double startedAt = 0;          // fleet_nowSeconds(); 0: not started
  double lastHeardAt = 0;

  // The step as the table shows it and a failed unit's record names it.
  std::string stepName() const {
    return step == FLEET_STEP_UNKNOWN ? unknownStep : fleet_stepName(step);
  }
};

// What a run tells its display, as it happens; NOW is the round's time.
class FleetListener {
 public:
  virtual ~FleetListener() {}
  virtual void unitStarted(const FleetUnit &, double /*now*/) {}
  // A started unit's step changed: told by its child, or set by its end (a
  // child that could not start included). A unit stopped before it started
  // is told by unitFinished only.
  virtual void stepChanged(const FleetUnit &, double /*now*/) {}
  virtual void percentChanged(const FleetUnit &, double /*now*/) {}
  virtual void factLearnt(const FleetUnit &, const std::string & /*key*/,
                          const std::string & /*value*/) {}
  virtual void unitFinished(const FleetUnit &, double /*now*/) {}
  // The unit's record is final: its hooks (started at its first image and at
  // its end) have ended, their statuses are in it, and its log is as it stays.
  // Told once a unit, after unitFinished (in the same round when it has no hooks).
  virtual void unitRecorded(const FleetUnit &) {}
  // The unit's log (record.log) cannot be made or written, for WHY; told once
  // a unit. Its update goes on (without a log when it could not be made).
  virtual void logFailed(const FleetUnit &, const std::string & /*why*/) {}
  // An interrupt came while these units were being written: the next one may stop them.
  virtual void warned(const std::vector<const FleetUnit *> & /*atRisk*/) {}
  // Watching ended with the first interrupt; units still running go on.
  virtual void watchEnded(const std::vector<const FleetUnit *> & /*running*/) {}
  // An interrupt stops every unit.
  virtual void stopping() {}
  // An interrupt after that one stopped the hooks of these units (none start any more).
  virtual void hooksStopped(const std::vector<const FleetUnit *> & /*units*/) {}
  // A round is over; CHANGED when a step changed or a unit ended in it.
  virtual void roundEnded(const std::vector<const FleetUnit *> & /*units*/, double /*now*/,
                          bool /*changed*/) {}
};

// At most one round of a run this often. Each child tells its percentage about
// once a second, and a round reads every child's channel and may redraw every
// unit's row: a round per message would cost units squared a second.
#define FLEET_ROUND_SECONDS 0.1

// The units' updates, run side by side. Units can be added while it runs.
class FleetRun {
 public:
  // Each unit is updated by `PROGRAM update ...`, its log in logDir; OPTIONS
  // give --jobs, the traces and --no-verify.
  FleetRun(const FleetOptions &options, const std::string &logDir, const std::string &program,
           FleetListener &listener);
  ~FleetRun();  // a child still running is killed
  FleetRun(const FleetRun &) = delete;
  FleetRun &operator=(const FleetRun &) = delete;

  // A unit found on a port (port, baud, device, label), started in its turn.
  const FleetUnit *add(const FleetRecord &found);
  // A unit found on a port that never started (it waited for a label when the
  // watch ended): reported as a unit stopped before its turn is.
  const FleetUnit *addNotStarted(const FleetRecord &found);
  // The watch has let go of UNIT (it left its port, or another took its
  // place): once its record is final (unitRecorded, and taken by
  // takeRecorded) it leaves the run, so that a watch holds only the units on
  // its ports, however many it has handled. Without it, a unit stays.
  void release(const FleetUnit *unit);
  // The records made final since the last call, in the order they were.
  std::vector<FleetRecord> takeRecorded();
  // Starts what --jobs allows, takes what the children told, applies the
  // stall bound and the interrupts since the last round, starts and looks at
  // the hooks. FALSE once every unit has finished and its hooks have ended.
  bool round();
  // Up to timeoutMs for a child to tell something, or an interrupt; but not
  // before FLEET_ROUND_SECONDS have passed since the last round began.
  void wait(int timeoutMs) const;

  std::vector<const FleetUnit *> units() const;
  // An interrupt stopped the run.
  bool stopped() const { return stopping_; }
  // The rate of the socket:// ports' lines (update-all --baud); 0: not known.
  int baud() const { return options_.baud; }

  // Watch mode: the first interrupt ends watching instead of applying the rule
  // for interrupts: no unit is started any more (one waiting for its turn is
  // reported interrupted), the running ones go on, and when some are being
  // written it warns, as the rule's first interrupt does. Later interrupts
  // follow the rule.
  void watch() { watching_ = true; }
  bool watching() const { return watching_; }

 private:
  struct Tracked;
  static bool takeEvent(Tracked &unit, const ProgressLine &line);
  void start(Tracked &unit, double now);
  void finish(Tracked &unit, int status, double now);
  void settle(Tracked &unit, double now);  // its result is known: told, its on-result hook started
  void followHooks(Tracked &unit);
  void endUnstarted(Tracked &unit, double now);
  void takeInterrupts(double now);
  void startWaiting(double now);
  bool readChild(Tracked &unit, double now, bool *ended);
  void applyBounds(Tracked &unit, double now);

  const FleetOptions options_;
  const std::string logDir_, program_;
  LogNames logNames_;  // the logs' and traces' names, in a folder per day under a watch
  const double stallSeconds_;
  FleetListener &listener_;
  std::vector<std::unique_ptr<Tracked>> units_;
  std::vector<FleetRecord> recorded_;  // final since the last takeRecorded
  void endWatch(double now);

  int interruptsSeen_ = 0;
  double roundAt_ = 0;  // when the last round began
  bool stopping_ = false;
  bool hooksStopped_ = false;  // an interrupt stopped the hooks
  bool watching_ = false;
};

// The adapter's slot of the unit on record->port (record->device) as the
// system shows it now: location, serial number, VID and PID.
void fleet_findSlot(FleetRecord *record);

#endif  // FLEETRUN_H
