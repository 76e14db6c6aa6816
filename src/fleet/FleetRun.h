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
// "Ready") is taken for hung and killed; a probe is given 120 s in all.
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
// Files. Logs (and traces) are new files, never an earlier run's: a name
// already taken gets the next free number (update-COM3-2.log), and a planted
// link is refused rather than followed. A log that cannot be made is said,
// and its unit updated without one; a unit without a log names none.
#ifndef FLEETRUN_H
#define FLEETRUN_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fleet/Fleet.h"
#include "fleet/ProgressChannel.h"

struct Subprocess;

struct ProgressLine;

// One unit as its display sees it.
struct FleetUnit {
  FleetRecord record;
  std::string step = "waiting";  // the child's step; at the end done, failed or interrupted
  int percent = 0;               // of the step
  bool running = false;          // its child is running
  bool finished = false;         // record.result is settled
  double startedAt = 0;          // fleet_nowSeconds(); 0: not started
  double lastHeardAt = 0;
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
  // The unit's log (record.log) cannot be made or written, for WHY; told once
  // a unit. Its update goes on (without a log when it could not be made).
  virtual void logFailed(const FleetUnit &, const std::string & /*why*/) {}
  // An interrupt came while these units were being written: the next one may stop them.
  virtual void warned(const std::vector<const FleetUnit *> & /*atRisk*/) {}
  // Watching ended with the first interrupt; units still running go on.
  virtual void watchEnded(const std::vector<const FleetUnit *> & /*running*/) {}
  // An interrupt stops every unit.
  virtual void stopping() {}
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

  // A unit found on a port (port, baud, device), started in its turn.
  void add(const FleetRecord &found);
  // Starts what --jobs allows, takes what the children told, applies the
  // stall bound and the interrupts since the last round. FALSE once every
  // unit has finished.
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
  void takeInterrupts(double now);

  const FleetOptions options_;
  const std::string logDir_, program_;
  const double stallSeconds_;
  FleetListener &listener_;
  std::vector<std::unique_ptr<Tracked>> units_;
  void endWatch(double now);

  int interruptsSeen_ = 0;
  double roundAt_ = 0;  // when the last round began
  bool stopping_ = false;
  bool watching_ = false;
};

// The clock of the runs and the probes: seconds, steady.
double fleet_nowSeconds(void);

// Probes every port at once, each in a child of its own (a socket:// port at
// socketBaud only when above 0); the units found (port, baud, device) in port
// order. FALSE when interrupted. When none answered, says why ports could not
// be opened.
bool fleet_findUnits(const std::string &self, const std::vector<int> &ports, int socketBaud,
                     std::vector<FleetRecord> *found);

// What a unit said about itself ("%fw -v", "%fw -p") to a probe that asked;
// empty: not said (no reply, or one that did not parse).
struct FleetIdentity {
  std::string type, firmware, fpgaVersion, fpgaFamily;
};

// One port's probe in a child of its own (`update-all --probe-port`), read-only,
// and what it told. Shared by the search and the watch.
struct FleetProbe {
  int port = 0;
  bool identify = false;    // the unit found is also asked its type and versions
  Subprocess *child = NULL;
  ProgressReader reader;
  bool answered = false;    // the child told where the unit answered
  int baud = 0;             // 0 over a raw socket whose rate is not known
  std::string device;
  std::string openFailure;  // why the port could not be opened, when it could not
  // The child's wire trace, when the caller asks for one by giving its bound
  // (a share of this run's): a new file beside this run's trace, appended to
  // it by fleet_endProbeTrace.
  unsigned long long traceBytes = 0;
  std::string traceFile;
  FleetIdentity identity;   // with identify
};
// Starts the probe of probe->port, asking at `baud` only when it is above 0.
// FALSE after saying why the child could not start.
bool fleet_startProbe(const std::string &self, int baud, FleetProbe *probe);
// Takes what the child has sent so far; TRUE once it has ended.
bool fleet_readProbe(FleetProbe *probe);
// Once the child has ended (or was killed): its trace's records appended to
// this run's trace, and its file removed.
void fleet_endProbeTrace(FleetProbe *probe);

// How a search asks, and why ports could not be opened.
struct FleetSearch {
  int baud = 0;             // the probes ask at this rate only; 0: detection's rates
  int socketBaud = 0;       // but a socket:// port's at this one, its line's, when above 0
  // Only the unit on the first of the ports (in the order given) where one
  // answers, as detection's sequential scan finds it: the probes still
  // asking on later ports are stopped once every earlier one has ended.
  bool lowestOnly = false;
  std::vector<std::pair<int, std::string>> unopened;  // out: port, why it could not be opened
};

// fleet_findUnits printing nothing when no unit answered: the reasons are in
// search->unopened, in port order, for fleet_printUnopened.
bool fleet_searchUnits(const std::string &self, const std::vector<int> &ports,
                       FleetSearch *search, std::vector<FleetRecord> *found);
// One line per port that could not be opened (absent ports run together).
void fleet_printUnopened(std::vector<std::pair<int, std::string>> unopened);

// What a check of a port tells about the unit handled there.
enum FleetSighting {
  FLEET_SAME_UNIT,    // it answers, and nothing it said differs from what is known of it
  FLEET_NEW_UNIT,     // a unit answers that is not the one handled: type or versions differ
  FLEET_UNIT_GONE,    // the port was opened and nothing answered, or the port is gone
  FLEET_NO_EVIDENCE,  // the port could not be opened (held, refused): neither gone nor there
};
// CHECK is the probe just ended on the port of HANDLED, a unit the run has
// finished with; FOUND is what the probe that found it read. The unit's last
// known state: as found (the update's own reading where it gave one); after
// an update, the release (as read back, when it was); after a failure or an
// interrupt, as found or the release, its logic version unknown.
FleetSighting fleet_sighting(const FleetProbe &check, const FleetRecord &handled,
                             const FleetIdentity &found);

// The ports of a watch (update-all --watch). Each free port is probed by a
// child of its own (as fleet_findUnits does, read-only) every interval; a unit
// that answers on a port with no unit handled yet is added to the run. A port
// whose unit has been handled (updated, failed, current, interrupted) is
// checked every FLEET_CHECK_PAUSE_SECONDS after its last check ended, at the
// unit's rate only, the unit asked its type and versions (fleet_sighting):
// while the same unit answers it is left alone; a different one is added to
// the run; once nothing answers the port is free for the next unit. A port
// that cannot be opened (another program holds it) changes nothing. A failed
// unit is so never tried again before it has been unplugged (or gone silent)
// and plugged back in, or swapped for another.
#define FLEET_CHECK_PAUSE_SECONDS 0.5
class FleetWatch {
 public:
  struct Port {
    int port = 0;
    bool probing = false;          // its probe runs now
    const FleetUnit *unit = NULL;  // the unit plugged in, as the run has it; null: none
    double seenAt = 0;             // a handled unit: when a check last found it there; 0: not yet
  };

  // `slotLocations`: USB locations looked up again every interval, each
  // adapter plugged in at one (behind that hub) watched from then on as its
  // slot.
  FleetWatch(const std::string &self, const std::vector<int> &ports, double intervalSeconds,
             FleetRun &run, const std::vector<std::string> &slotLocations = {});
  ~FleetWatch();  // a probe still running is killed
  FleetWatch(const FleetWatch &) = delete;
  FleetWatch &operator=(const FleetWatch &) = delete;

  // Takes what the probes told, adds the units found to the run, starts the
  // probes due. After stop(), only lets the running probes end. TRUE when a
  // port's state changed.
  bool round(double now);
  // No probe starts any more; running ones are interrupted (killed if they
  // do not end within seconds).
  void stop(double now);
  // A probe still runs.
  bool probing() const;
  void wait(int timeoutMs) const;
  std::vector<Port> ports() const;

 private:
  struct Watched;
  void addUnit(Watched &w);  // the unit its probe found, to the run
  void watch(int port);      // from now on, unless it is watched already
  const std::vector<std::string> slotLocations_;
  double nextSlotLookupAt_ = 0;
  const std::string self_;
  const double interval_;
  FleetRun &run_;
  std::vector<std::unique_ptr<Watched>> ports_;
  bool stopped_ = false;
};

#endif  // FLEETRUN_H
