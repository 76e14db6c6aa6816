// One port's probe for a unit, in a child process of its own (`update-all
// --probe-port N`): read-only, it tells on its channel where a unit answered
// (port, rate, device), why the port could not be opened, and when asked the
// unit's type and versions. The parent's side (start, read, the trace) and the
// child's (fleet_probePort), the bounds shared by the search and the watch,
// and what a check of a port tells about the unit handled there.
#ifndef FLEETPROBE_H
#define FLEETPROBE_H

#include <string>

#include "fleet/FleetReport.h"
#include "fleet/ProgressChannel.h"

struct Subprocess;

// A probe of one port takes about 6 s when nothing answers (six rates, twice
// each). A search (every port at once, on a machine the probes share) gives
// them FLEET_SEARCH_SECONDS_LIMIT in all; a watched port's probe (one port,
// started when due) that runs longer than FLEET_PROBE_SECONDS_LIMIT is stuck.
// Either is then interrupted, and killed if it has not ended
// FLEET_PROBE_STOP_GRACE_SECONDS later (time to close its port and lock).
#define FLEET_SEARCH_SECONDS_LIMIT 120.0
#define FLEET_PROBE_SECONDS_LIMIT 60.0
#define FLEET_PROBE_STOP_GRACE_SECONDS 3.0

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

// The probe of one port, in a child of its own: the updater's rates in its
// order (only BAUD when above 0), the detection command twice at each; the
// port and rate found (and the device behind the port) go out on the channel;
// with IDENTIFY, also the unit's type and versions as it tells them.
// Exit status 0 when a unit answered, 3 when none did.
int fleet_probePort(int port, int baud, bool identify, const char *channel);

// What a check of a port tells about the unit handled there.
enum FleetSighting {
  FLEET_SAME_UNIT,    // it answers, and nothing it said differs from what is known of it
  FLEET_NEW_UNIT,     // a unit answers that is not the one handled: type or versions differ
  FLEET_UNIT_GONE,    // the port was opened and nothing answered, or the port is gone
  FLEET_NO_EVIDENCE,  // the port could not be opened (held, refused): neither gone nor there
};
// CHECK is the probe just ended on the port of HANDLED, a unit the run has
// finished with; FOUND is what the probe that found it read. The unit's last
// known state: as found (the update's own reading where it gave one; a unit
// waiting for its label, with no result yet: as found); after
// an update, the release (as read back, when it was); after a failure or an
// interrupt, as found or the release, its logic version unknown.
FleetSighting fleet_sighting(const FleetProbe &check, const FleetRecord &handled,
                             const FleetIdentity &found);

#endif  // FLEETPROBE_H
