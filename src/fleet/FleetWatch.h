// update-all --watch: the free ports probed again and again, each unit that
// appears handed to the run once, until the operator stops the watch.
#ifndef FLEETWATCH_H
#define FLEETWATCH_H

#include <memory>
#include <string>
#include <vector>

#include "fleet/FleetProbe.h"
#include "fleet/FleetRun.h"

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
//
// With a label queue, a unit found takes the oldest label and goes to the run;
// when none is queued it waits on its port (needs label), in the order found,
// having heard only the probe, and is checked as a handled unit is: one that
// goes before a label comes took none, and leaves the queue as it was.
class LabelQueue;
class FleetWatch {
 public:
  struct Port {
    int port = 0;
    bool probing = false;          // its probe runs now
    const FleetUnit *unit = NULL;  // the unit plugged in, as the run has it; null: none
    double seenAt = 0;             // a handled unit: when a check last found it there; 0: not yet
    // A unit found that waits for a label (not in the run yet): its port,
    // rate and device, its type as the probe read it.
    bool needsLabel = false;
    FleetRecord waiting;
  };

  // `slotLocations`: USB locations looked up again every interval, each
  // adapter plugged in at one (behind that hub) watched from then on as its
  // slot.
  FleetWatch(const std::string &self, const std::vector<int> &ports, double intervalSeconds,
             FleetRun &run, const std::vector<std::string> &slotLocations = {});
  // From now on each unit found takes a label from LABELS (null: none needed).
  void labels(LabelQueue *labels) { labels_ = labels; }
  ~FleetWatch();  // a probe still running is killed
  FleetWatch(const FleetWatch &) = delete;
  FleetWatch &operator=(const FleetWatch &) = delete;

  // Takes what the probes told, adds the units found to the run, starts the
  // probes due. After stop(), only lets the running probes end. TRUE when a
  // port's state changed.
  bool round(double now);
  // No probe starts any more; running ones are interrupted (killed if they
  // do not end within seconds). The units waiting for a label go to the run,
  // not started: TRUE when there were some.
  bool stop(double now);
  // A probe still runs.
  bool probing() const;
  void wait(int timeoutMs) const;
  std::vector<Port> ports() const;

 private:
  struct Watched;
  void found(Watched &w);    // the unit its probe found: to the run, or to wait for a label
  void addUnit(Watched &w);  // the unit found (w.waiting), to the run
  void watch(int port);      // from now on, unless it is watched already
  void giveLabels();         // the queued labels to the units waiting, the oldest first
  bool lookUpSlots(double now);
  bool followProbe(Watched &w, double now);
  void probeEnded(Watched &w, double now);
  FleetSighting checkUnit(Watched &w, const FleetRecord &seen, double now);
  bool startProbeDue(Watched &w, double now);
  LabelQueue *labels_ = NULL;
  long unitsFound_ = 0;
  const std::vector<std::string> slotLocations_;
  double nextSlotLookupAt_ = 0;
  const std::string self_;
  const double interval_;
  FleetRun &run_;
  std::vector<std::unique_ptr<Watched>> ports_;
  bool stopped_ = false;
};

#endif  // FLEETWATCH_H
