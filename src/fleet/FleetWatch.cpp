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
  const FleetUnit *unit = NULL;  // the port's unit, as the run has it; null: none
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
  w.unit = run_.add(w.waiting);
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

// Adapters plugged in since at the named locations: their slots join. One
// pulled out stays watched (its slot is then absent: its unit gone). TRUE
// when a port joined.
bool FleetWatch::lookUpSlots(double now) {
  if (slotLocations_.empty() || stopped_ || now < nextSlotLookupAt_) return false;
  const size_t before = ports_.size();
  for (const std::string &location : slotLocations_)
    for (int port : portRegistry_slotsAt(location)) watch(port);
  nextSlotLookupAt_ = now + interval_;
  return ports_.size() != before;
}

// The check of a unit already on the port (SEEN: as it is known): when the
// same unit answers, it was seen now. The next check is due shortly.
FleetSighting FleetWatch::checkUnit(Watched &w, const FleetRecord &seen, double now) {
  w.nextProbeAt = now + FLEET_CHECK_PAUSE_SECONDS;
  const FleetSighting sighting = fleet_sighting(w.probe, seen, w.found);
  if (sighting == FLEET_SAME_UNIT) w.seenAt = now;
  return sighting;
}

// The port's probe has ended: what it found. A unit gone frees the port (the
// next one to answer is a new unit); one swapped for another is found anew.
void FleetWatch::probeEnded(Watched &w, double now) {
  FleetProbe &probe = w.probe;
  subprocess_free(probe.child);
  probe.child = NULL;
  const bool adding = !stopped_ && run_.watching();
  if (!w.needsLabel && w.unit == NULL) {
    w.nextProbeAt = now + interval_;
    if (probe.answered && !w.interrupted && adding) found(w);
    return;
  }
  if (w.interrupted) return;
  // The unit waiting for its label, or the one handled there.
  const FleetSighting sighting = checkUnit(w, w.needsLabel ? w.waiting : w.unit->record, now);
  if (sighting != FLEET_UNIT_GONE && sighting != FLEET_NEW_UNIT) return;
  if (w.needsLabel) {
    w.needsLabel = false;
  } else {
    run_.release(w.unit);  // handled and gone: the run keeps it no longer than its record needs
    w.unit = NULL;
  }
  if (sighting == FLEET_NEW_UNIT && adding) found(w);
}

// A port's running probe: its end taken, or its bound applied. TRUE when it ended.
bool FleetWatch::followProbe(Watched &w, double now) {
  FleetProbe &probe = w.probe;
  if (fleet_readProbe(&probe)) {
    probeEnded(w, now);
    return true;
  }
  if (!w.interrupted && now - w.probeStartedAt > FLEET_PROBE_SECONDS_LIMIT) {
    toolError_print("%s: the probe did not end, stopped", portDescription_of(probe.port).name.c_str());
    w.interrupted = true;
    subprocess_interrupt(probe.child);
  } else if (w.interrupted &&
             now - w.probeStartedAt > FLEET_PROBE_SECONDS_LIMIT + FLEET_PROBE_STOP_GRACE_SECONDS) {
    subprocess_kill(probe.child);
  }
  return false;
}

// A port is probed when no unit of it is being updated: free, or holding a
// unit already handled (checked at its rate, to learn when it goes or
// another takes its place). TRUE when a probe started.
bool FleetWatch::startProbeDue(Watched &w, double now) {
  FleetProbe &probe = w.probe;
  const FleetUnit *handled = w.unit;
  if (stopped_ || (handled != NULL && !handled->finished) || now < w.nextProbeAt) return false;
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
    return false;
  }
  return true;
}

bool FleetWatch::round(double now) {
  bool changed = lookUpSlots(now);
  for (auto &owned : ports_) {
    Watched &w = *owned;
    if (w.probe.child != NULL) changed = followProbe(w, now) || changed;
    else changed = startProbeDue(w, now) || changed;
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
      watched->unit = run_.addNotStarted(watched->waiting);
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
  std::vector<Port> all;
  for (const auto &watched : ports_) {
    Port port;
    port.port = watched->probe.port;
    port.probing = watched->probe.child != NULL;
    port.unit = watched->unit;
    port.seenAt = watched->unit != NULL ? watched->seenAt : 0;
    port.needsLabel = watched->needsLabel;
    if (watched->needsLabel) port.waiting = watched->waiting;
    all.push_back(port);
  }
  return all;
}
