// update-all --watch: the free ports probed again and again, each unit that
// appears handed to the run once, until the operator stops the watch.
#include "fleet/FleetRun.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/NetworkPort.h"

// A probe of one port takes about 6 s when nothing answers (six rates, twice
// each); one that runs far longer is stuck and is stopped.
#define PROBE_SECONDS_LIMIT 60.0
#define PROBE_STOP_GRACE_SECONDS 3.0  // for an interrupted probe to close its port and lock

struct FleetWatch::Watched {
  FleetProbe probe;  // its child is null between probes
  double probeStartedAt = 0, nextProbeAt = 0;
  bool interrupted = false;  // the probe was told to stop
  int unit = -1;             // the index of the port's unit in the run; -1: none
};

FleetWatch::FleetWatch(const std::string &self, const std::vector<int> &ports,
                       double intervalSeconds, FleetRun &run)
    : self_(self), interval_(intervalSeconds), run_(run) {
  for (int port : ports) {
    ports_.emplace_back(new Watched);
    ports_.back()->probe.port = port;
  }
}

FleetWatch::~FleetWatch() {
  for (auto &watched : ports_) subprocess_free(watched->probe.child);
}

bool FleetWatch::round(double now) {
  bool changed = false;
  for (auto &owned : ports_) {
    Watched &w = *owned;
    FleetProbe &probe = w.probe;
    if (probe.child != NULL) {
      if (fleet_readProbe(&probe)) {
        subprocess_free(probe.child);
        probe.child = NULL;
        w.nextProbeAt = now + interval_;
        changed = true;
        if (!probe.answered || w.interrupted) {
          // Nothing answers: the unit handled there (if any) has gone, and
          // the next one to answer is a new unit.
          if (!w.interrupted) w.unit = -1;
        } else if (w.unit < 0 && !stopped_ && run_.watching()) {
          FleetRecord found;
          found.port = probe.port;
          found.baud = probe.baud;
          found.device = probe.device;
          run_.add(found);
          w.unit = (int)run_.units().size() - 1;
        }
      } else if (!w.interrupted && now - w.probeStartedAt > PROBE_SECONDS_LIMIT) {
        toolError_print("%s: the probe did not end, stopped", networkPort_portName(probe.port).c_str());
        w.interrupted = true;
        subprocess_interrupt(probe.child);
      } else if (w.interrupted &&
                 now - w.probeStartedAt > PROBE_SECONDS_LIMIT + PROBE_STOP_GRACE_SECONDS) {
        subprocess_kill(probe.child);
      }
      continue;
    }
    // A port is probed when no unit of it is being updated: free, or holding
    // a unit already handled (to learn when it goes).
    const bool busy = w.unit >= 0 && !run_.units()[w.unit]->finished;
    if (stopped_ || busy || now < w.nextProbeAt) continue;
    const int port = probe.port;
    probe = FleetProbe();  // what the previous probe told is gone
    probe.port = port;
    w.interrupted = false;
    w.probeStartedAt = now;
    if (!fleet_startProbe(self_, networkPort_isRaw(port) ? run_.baud() : 0, &probe)) {
      w.nextProbeAt = now + interval_;
      continue;
    }
    changed = true;
  }
  return changed;
}

void FleetWatch::stop(double now) {
  if (stopped_) return;
  stopped_ = true;
  for (auto &watched : ports_) {
    if (watched->probe.child == NULL) continue;
    // Interrupted rather than killed: a probe then closes its port, which
    // releases the port's lock file. Killed only if it does not end soon.
    watched->interrupted = true;
    watched->probeStartedAt = now - PROBE_SECONDS_LIMIT;
    subprocess_interrupt(watched->probe.child);
  }
}

bool FleetWatch::probing() const {
  for (const auto &watched : ports_)
    if (watched->probe.child != NULL) return true;
  return false;
}

void FleetWatch::wait(int timeoutMs) const {
  std::vector<Subprocess *> children;
  for (const auto &watched : ports_)
    if (watched->probe.child != NULL) children.push_back(watched->probe.child);
  subprocess_waitAny(children, timeoutMs);
}

std::vector<FleetWatch::Port> FleetWatch::ports() const {
  const std::vector<const FleetUnit *> units = run_.units();
  std::vector<Port> all;
  for (const auto &watched : ports_) {
    Port port;
    port.port = watched->probe.port;
    port.probing = watched->probe.child != NULL;
    port.unit = watched->unit >= 0 ? units[watched->unit] : NULL;
    all.push_back(port);
  }
  return all;
}
