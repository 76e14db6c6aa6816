// Looking for units: every port probed at once, by a child each (FleetProbe.h).
#include "fleet/FleetSearch.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fleet/FleetProbe.h"
#include "platform/PortList.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"

struct Probe : FleetProbe {
  bool closed = false;
  bool stopped = false;  // still running when the probes were stopped
};

// Whether the search can end before every probe has: with lowestOnly, once
// the lowest port whose probe has not ended silent has a unit and its probe
// has ended (its port closed again). The ports are in the caller's order.
static bool lowestSettled(const std::vector<Probe> &probes) {
  for (const Probe &probe : probes) {
    if (probe.closed && !probe.answered) continue;  // no unit there
    return probe.closed && probe.answered;          // the first with one, or still asking
  }
  return false;
}

// Every port's probe started, at the socket:// lines' rate where one is
// given; CHILDREN gets the probes that started.
static std::vector<Probe> startProbes(const std::string &self, const std::vector<int> &ports,
                                      const FleetSearch &search,
                                      std::vector<Subprocess *> *children) {
  std::vector<Probe> probes(ports.size());
  // Each probe's trace may take its share of what this run's may still take.
  const unsigned long long traceShare = ports.empty() ? 0 : serialTrace_room() / ports.size();
  for (size_t i = 0; i < ports.size(); i++) {
    probes[i].port = ports[i];
    probes[i].traceBytes = traceShare;
    const bool raw = portDescription_of(ports[i]).serverRate && search.socketBaud > 0;
    const int baud = raw ? search.socketBaud : search.baud;
    if (fleet_startProbe(self, baud, &probes[i])) children->push_back(probes[i].child);
    else probes[i].closed = true;
  }
  return probes;
}

// What the probes told since the last look; TRUE while any has not ended.
// A probe whose port did not open says why in UNOPENED.
static bool readProbes(std::vector<Probe> &probes, std::vector<std::pair<int, std::string>> *unopened) {
  bool pending = false;
  for (Probe &probe : probes) {
    if (probe.closed) continue;
    if (!fleet_readProbe(&probe)) {
      pending = true;
      continue;
    }
    probe.closed = true;
    if (!probe.openFailure.empty()) unopened->emplace_back(probe.port, probe.openFailure);
  }
  return pending;
}

// Interrupted rather than killed: a probe then closes its port, which
// releases the port's lock file. Killed only if it does not end soon.
static void stopProbes(std::vector<Probe> &probes) {
  for (Probe &probe : probes) {
    if (probe.closed) continue;
    probe.stopped = true;
    subprocess_interrupt(probe.child);
  }
}

// Why the probes still running were stopped.
struct SearchEnd {
  bool interrupted = false;
  bool settled = false;  // the lowest unit was known
};

// The probes ended: each one's trace, and the units found, in port order.
static void collectProbes(std::vector<Probe> &probes, const SearchEnd &end, bool lowestOnly,
                          std::vector<FleetRecord> *found) {
  for (Probe &probe : probes) {
    if (probe.stopped && !end.interrupted && !end.settled)
      toolError_print("%s: the probe did not end, stopped", portDescription_of(probe.port).name.c_str());
    subprocess_free(probe.child);  // kills a probe still running
    // Its records whole, in port order, a stopped probe's as far as they go.
    fleet_endProbeTrace(&probe);
    if (probe.stopped)
      serialTrace_note("[%s] probe stopped: %s", portDescription_of(probe.port).name.c_str(),
                       end.interrupted ? "interrupted"
                       : end.settled   ? "a unit answered on an earlier port"
                                       : "it did not end in time");
    // A probe stopped once the lowest unit was known may have answered too:
    // only the lowest is wanted then.
    if (!probe.answered || end.interrupted || (end.settled && probe.stopped)) continue;
    if (lowestOnly && !found->empty()) continue;
    FleetRecord unit;
    unit.port = probe.port;
    unit.baud = probe.baud;
    unit.device = probe.device;
    found->push_back(unit);
  }
}

bool fleet_searchUnits(const std::string &self, const std::vector<int> &ports,
                       FleetSearch *search, std::vector<FleetRecord> *found) {
  std::vector<Subprocess *> children;
  std::vector<Probe> probes = startProbes(self, ports, *search, &children);
  const double giveUpAt = fleet_nowSeconds() + FLEET_SEARCH_SECONDS_LIMIT;
  SearchEnd end;
  bool stopping = false;
  double killAt = 0;
  for (;;) {
    const bool pending = readProbes(probes, &search->unopened);
    const double now = fleet_nowSeconds();
    end.interrupted = end.interrupted || subprocess_interruptCount() > 0;
    if (!pending || (stopping && now >= killAt)) break;
    end.settled = end.settled || (search->lowestOnly && !end.interrupted && lowestSettled(probes));
    if (!stopping && (end.interrupted || end.settled || now >= giveUpAt)) {
      stopping = true;
      killAt = now + FLEET_PROBE_STOP_GRACE_SECONDS;
      stopProbes(probes);
    }
    subprocess_waitAny(children, 200);
  }
  collectProbes(probes, end, search->lowestOnly, found);
  std::sort(search->unopened.begin(), search->unopened.end());
  return !end.interrupted;
}

void fleet_printUnopened(std::vector<std::pair<int, std::string>> unopened) {
  std::sort(unopened.begin(), unopened.end());
  // Ports without a COM number (numbered past the COM ports, so last) say
  // their name.
  while (!unopened.empty() && portDescription_of(unopened.back().first).comNumber == 0) {
    toolError_print("%s: %s", portDescription_of(unopened.back().first).name.c_str(),
                    unopened.back().second.c_str());
    unopened.pop_back();
  }
  openFailures_print(unopened);
}

bool fleet_findUnits(const std::string &self, const std::vector<int> &ports, int socketBaud,
                     std::vector<FleetRecord> *found) {
  FleetSearch search;
  search.socketBaud = socketBaud;
  const bool completed = fleet_searchUnits(self, ports, &search, found);
  if (found->empty() && completed) fleet_printUnopened(search.unopened);
  return completed;
}
