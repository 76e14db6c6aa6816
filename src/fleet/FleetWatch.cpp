// update-all --watch: the free ports probed again and again, each unit that
// appears handed to the run once, until the operator stops the watch.
#include <stdlib.h>

#include "fleet/FleetRun.h"
#include "fleet/ProgressChannel.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/NetworkPort.h"

// A probe of one port takes about 6 s when nothing answers (six rates, twice
// each); one that runs far longer is stuck and is stopped.
#define PROBE_SECONDS_LIMIT 60.0
#define PROBE_STOP_GRACE_SECONDS 3.0  // for an interrupted probe to close its port and lock

struct FleetWatch::Watched {
  int port = 0;
  Subprocess *probe = NULL;
  ProgressReader reader;
  bool answered = false;
  int baud = 0;
  std::string device;
  double probeStartedAt = 0, nextProbeAt = 0;
  bool interrupted = false;  // the probe was told to stop
  int unit = -1;             // the index of the port's unit in the run; -1: none
};

FleetWatch::FleetWatch(const std::string &self, const std::vector<int> &ports,
                       double intervalSeconds, FleetRun &run)
    : self_(self), interval_(intervalSeconds), run_(run) {
  for (int port : ports) {
    ports_.emplace_back(new Watched);
    ports_.back()->port = port;
  }
}

FleetWatch::~FleetWatch() {
  for (auto &watched : ports_) subprocess_free(watched->probe);
}

bool FleetWatch::round(double now) {
  bool changed = false;
  for (auto &owned : ports_) {
    Watched &w = *owned;
    if (w.probe != NULL) {
      char buffer[1024];
      int n;
      while ((n = subprocess_readChannel(w.probe, buffer, sizeof buffer)) > 0) {
        for (const ProgressLine &line : w.reader.feed(buffer, (size_t)n)) {
          if (line.kind != ProgressLine::FACT) continue;
          if (line.key == "port") w.answered = true;
          if (line.key == "baud") w.baud = atoi(line.value.c_str());
          if (line.key == "device") w.device = line.value;
        }
      }
      if (n < 0 && subprocess_finished(w.probe, NULL)) {
        subprocess_free(w.probe);
        w.probe = NULL;
        w.nextProbeAt = now + interval_;
        changed = true;
        if (!w.answered || w.interrupted) {
          // Nothing answers: the unit handled there (if any) has gone, and
          // the next one to answer is a new unit.
          if (!w.interrupted) w.unit = -1;
        } else if (w.unit < 0 && !stopped_ && run_.watching()) {
          FleetRecord found;
          found.port = w.port;
          found.baud = w.baud;
          found.device = w.device;
          run_.add(found);
          w.unit = (int)run_.units().size() - 1;
        }
      } else if (!w.interrupted && now - w.probeStartedAt > PROBE_SECONDS_LIMIT) {
        toolError_print("%s: the probe did not end, stopped", networkPort_portName(w.port).c_str());
        w.interrupted = true;
        subprocess_interrupt(w.probe);
      } else if (w.interrupted &&
                 now - w.probeStartedAt > PROBE_SECONDS_LIMIT + PROBE_STOP_GRACE_SECONDS) {
        subprocess_kill(w.probe);
      }
      continue;
    }
    // A port is probed when no unit of it is being updated: free, or holding
    // a unit already handled (to learn when it goes).
    const bool busy = w.unit >= 0 && !run_.units()[w.unit]->finished;
    if (stopped_ || busy || now < w.nextProbeAt) continue;
    std::string error;
    w.answered = w.interrupted = false;
    w.reader = ProgressReader();
    w.probeStartedAt = now;
    w.probe = subprocess_start({self_, "update-all", "--probe-port", fleet_portArgument(w.port),
                                "--progress-fd", SUBPROCESS_CHANNEL_ARG},
                               "", &error);
    if (w.probe == NULL) {
      toolError_print("%s cannot be probed: %s", networkPort_portName(w.port).c_str(),
                      error.c_str());
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
    if (watched->probe == NULL) continue;
    // Interrupted rather than killed: a probe then closes its port, which
    // releases the port's lock file. Killed only if it does not end soon.
    watched->interrupted = true;
    watched->probeStartedAt = now - PROBE_SECONDS_LIMIT;
    subprocess_interrupt(watched->probe);
  }
}

bool FleetWatch::probing() const {
  for (const auto &watched : ports_)
    if (watched->probe != NULL) return true;
  return false;
}

void FleetWatch::wait(int timeoutMs) const {
  std::vector<Subprocess *> children;
  for (const auto &watched : ports_)
    if (watched->probe != NULL) children.push_back(watched->probe);
  subprocess_waitAny(children, timeoutMs);
}

std::vector<FleetWatch::Port> FleetWatch::ports() const {
  const std::vector<const FleetUnit *> units = run_.units();
  std::vector<Port> all;
  for (const auto &watched : ports_) {
    Port port;
    port.port = watched->port;
    port.probing = watched->probe != NULL;
    port.unit = watched->unit >= 0 ? units[watched->unit] : NULL;
    all.push_back(port);
  }
  return all;
}
