// update-all --watch: the free ports probed again and again, each unit that
// appears handed to the run once, until the operator stops the watch.
#include "fleet/FleetWatch.h"

#include "fleet/LabelQueue.h"
#include "platform/PortList.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"

struct FleetWatch::Watched {
  FleetProbe probe;  // its child is null between probes
  double probeStartedAt = 0, nextProbeAt = 0;
  bool interrupted = false;  // the probe was told to stop
  int unit = -1;             // the index of the port's unit in the run; -1: none
  FleetIdentity found;       // what the probe that found the unit read
  double seenAt = 0;         // when a check last found the handled unit there
  // A unit found that waits for a label: what the probe found, and when (the
  // count of units found before it).
  bool needsLabel = false;
  FleetRecord waiting;
  long foundOrder = 0;
};

FleetWatch::FleetWatch(const std::string &self, const std::vector<int> &ports,
                       double intervalSeconds, FleetRun &run,
                       const std::vector<std::string> &slotLocations)
    : slotLocations_(slotLocations), self_(self), interval_(intervalSeconds), run_(run) {
  for (int port : ports) watch(port);
}

void FleetWatch::watch(int port) {
  for (const auto &watched : ports_)
    if (watched->probe.port == port) return;
  ports_.emplace_back(new Watched);
  ports_.back()->probe.port = port;
}

FleetWatch::~FleetWatch() {
  for (auto &watched : ports_) subprocess_free(watched->probe.child);
}

void FleetWatch::found(Watched &w) {
  w.waiting = FleetRecord();
  w.waiting.port = w.probe.port;
  w.waiting.baud = w.probe.baud;
  w.waiting.device = w.probe.device;
  w.waiting.type = w.probe.identity.type;  // shown while it waits; its child tells it again
  w.found = w.probe.identity;
  w.seenAt = 0;
  w.foundOrder = ++unitsFound_;
  w.needsLabel = labels_ != NULL;
  if (!w.needsLabel) addUnit(w);
}

void FleetWatch::addUnit(Watched &w) {
  run_.add(w.waiting);
  w.unit = (int)run_.units().size() - 1;
  w.needsLabel = false;
}

void FleetWatch::giveLabels() {
  while (labels_ != NULL && !labels_->empty()) {
    Watched *oldest = NULL;
    for (auto &watched : ports_)
      if (watched->needsLabel && (oldest == NULL || watched->foundOrder < oldest->foundOrder))
        oldest = watched.get();
    // A unit being checked gets its label once its check has let the port go.
    if (oldest == NULL || oldest->probe.child != NULL) return;
    oldest->waiting.label = labels_->take();
    addUnit(*oldest);
  }
}

bool FleetWatch::round(double now) {
  bool changed = false;
  if (!slotLocations_.empty() && !stopped_ && now >= nextSlotLookupAt_) {
    // Adapters plugged in since at the named locations: their slots join.
    // One pulled out stays watched (its slot is then absent: its unit gone).
    const size_t before = ports_.size();
    for (const std::string &location : slotLocations_)
      for (int port : portRegistry_slotsAt(location)) watch(port);
    changed = ports_.size() != before;
    nextSlotLookupAt_ = now + interval_;
  }
  for (auto &owned : ports_) {
    Watched &w = *owned;
    FleetProbe &probe = w.probe;
    if (probe.child != NULL) {
      if (fleet_readProbe(&probe)) {
        subprocess_free(probe.child);
        probe.child = NULL;
        changed = true;
        const bool adding = !stopped_ && run_.watching();
        if (w.needsLabel) {
          // The unit waiting for its label, checked: still there, gone, or swapped.
          if (!w.interrupted) {
            w.nextProbeAt = now + FLEET_CHECK_PAUSE_SECONDS;
            switch (fleet_sighting(probe, w.waiting, w.found)) {
              case FLEET_SAME_UNIT: w.seenAt = now; break;
              case FLEET_NO_EVIDENCE: break;
              case FLEET_UNIT_GONE: w.needsLabel = false; break;
              case FLEET_NEW_UNIT:
                w.needsLabel = false;
                if (adding) found(w);
                break;
            }
          }
        } else if (w.unit < 0) {
          w.nextProbeAt = now + interval_;
          if (probe.answered && !w.interrupted && adding) found(w);
        } else if (!w.interrupted) {
          w.nextProbeAt = now + FLEET_CHECK_PAUSE_SECONDS;
          switch (fleet_sighting(probe, run_.units()[w.unit]->record, w.found)) {
            case FLEET_SAME_UNIT: w.seenAt = now; break;
            case FLEET_NO_EVIDENCE: break;
            // Nothing answers: the next one to answer is a new unit.
            case FLEET_UNIT_GONE: w.unit = -1; break;
            case FLEET_NEW_UNIT:
              w.unit = -1;
              if (adding) found(w);
              break;
          }
        }
      } else if (!w.interrupted && now - w.probeStartedAt > FLEET_PROBE_SECONDS_LIMIT) {
        toolError_print("%s: the probe did not end, stopped", portDescription_of(probe.port).name.c_str());
        w.interrupted = true;
        subprocess_interrupt(probe.child);
      } else if (w.interrupted &&
                 now - w.probeStartedAt > FLEET_PROBE_SECONDS_LIMIT + FLEET_PROBE_STOP_GRACE_SECONDS) {
        subprocess_kill(probe.child);
      }
      continue;
    }
    // A port is probed when no unit of it is being updated: free, or holding
    // a unit already handled (checked at its rate, to learn when it goes or
    // another takes its place).
    const FleetUnit *handled = w.unit >= 0 ? run_.units()[w.unit] : NULL;
    if (stopped_ || (handled != NULL && !handled->finished) || now < w.nextProbeAt) continue;
    const int port = probe.port;
    probe = FleetProbe();  // what the previous probe told is gone
    probe.port = port;
    probe.identify = true;
    w.interrupted = false;
    w.probeStartedAt = now;
    // A handled unit (or one waiting for its label) is checked at its rate; a
    // socket:// line is asked at its own.
    int baud = portDescription_of(port).serverRate ? run_.baud() : 0;
    if (handled != NULL && handled->record.baud > 0) baud = handled->record.baud;
    if (w.needsLabel && w.waiting.baud > 0) baud = w.waiting.baud;
    if (!fleet_startProbe(self_, baud, &probe)) {
      w.nextProbeAt = now + interval_;
      continue;
    }
    changed = true;
  }
  if (!stopped_ && run_.watching()) {
    const size_t queued = labels_ != NULL ? labels_->size() : 0;
    giveLabels();
    changed = changed || (labels_ != NULL && labels_->size() != queued);
  }
  return changed;
}

bool FleetWatch::stop(double now) {
  if (stopped_) return false;
  stopped_ = true;
  bool handedOver = false;
  for (auto &watched : ports_) {
    if (watched->needsLabel) {
      watched->needsLabel = false;
      run_.addNotStarted(watched->waiting);
      watched->unit = (int)run_.units().size() - 1;
      handedOver = true;
    }
    if (watched->probe.child == NULL) continue;
    // Interrupted rather than killed: a probe then closes its port, which
    // releases the port's lock file. Killed only if it does not end soon.
    watched->interrupted = true;
    watched->probeStartedAt = now - FLEET_PROBE_SECONDS_LIMIT;
    subprocess_interrupt(watched->probe.child);
  }
  return handedOver;
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
    port.seenAt = watched->unit >= 0 ? watched->seenAt : 0;
    port.needsLabel = watched->needsLabel;
    if (watched->needsLabel) port.waiting = watched->waiting;
    all.push_back(port);
  }
  return all;
}
