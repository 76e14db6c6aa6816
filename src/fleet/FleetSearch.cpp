// Looking for units: every port probed at once, by a child each (FleetProbe.cpp).
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fleet/FleetRun.h"
#include "fleet/ProgressChannel.h"
#include "platform/PortList.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"

#define PROBE_SECONDS_LIMIT 120.0
#define PROBE_STOP_GRACE_SECONDS 3.0  // for an interrupted probe to close its port and lock

// Where a probe's trace file is made: beside the run's trace, in a folder the
// user chose to write to; but a trace sent to a device or a pipe
// (FWUPGRADE_TRACE=/dev/stderr) has no such folder, and the probe's file then
// goes to the system's folder for temporary files.
static std::string probeTraceBeside(const char *tracePath) {
  struct stat st;
  if (stat(tracePath, &st) != 0 || (st.st_mode & S_IFMT) == S_IFREG) return tracePath;
#ifdef _WIN32
  char folder[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof folder, folder);  // ends in a backslash
  const std::string temp = length > 0 && length < sizeof folder ? folder : ".\\";
#else
  const char *tmpdir = getenv("TMPDIR");
  const std::string temp = std::string(tmpdir != NULL && *tmpdir != '\0' ? tmpdir : "/tmp") + "/";
#endif
  return temp + "fwupgrade-probe-trace";
}

bool fleet_startProbe(const std::string &self, int baud, FleetProbe *probe) {
  std::vector<std::string> argv = {self, "update-all", "--probe-port", fleet_portArgument(probe->port),
                                   "--progress-fd", SUBPROCESS_CHANNEL_ARG};
  if (baud > 0) {
    argv.push_back("--probe-baud");
    argv.push_back(std::to_string(baud));
  }
  if (probe->identify) argv.push_back("--probe-identify");
  std::string error;
  const std::string name = portDescription_of(probe->port).name;
  // The child traces to a file of its own (children cannot share one), in
  // the folder of this run's trace: a folder the user chose to write to.
  if (probe->traceBytes > 0 && serialTrace_enabled()) {
    if (fleet_newFileBeside(probeTraceBeside(serialTrace_path()), &probe->traceFile, &error))
      argv.insert(argv.end(), {"--probe-trace", probe->traceFile, "--probe-trace-limit",
                               std::to_string(probe->traceBytes)});
    else
      serialTrace_note("[%s] no trace of the probe: %s", name.c_str(), error.c_str());
  }
  probe->child = subprocess_start(argv, "", &error);
  if (probe->child != NULL) return true;
  fleet_endProbeTrace(probe);
  toolError_print("%s cannot be probed: %s", name.c_str(), error.c_str());
  return false;
}

void fleet_endProbeTrace(FleetProbe *probe) {
  if (probe->traceFile.empty()) return;
  serialTrace_append(probe->traceFile.c_str());
  remove(probe->traceFile.c_str());
  probe->traceFile.clear();
}

bool fleet_readProbe(FleetProbe *probe) {
  char buffer[1024];
  int n;
  while ((n = subprocess_readChannel(probe->child, buffer, sizeof buffer)) > 0) {
    for (const ProgressLine &line : probe->reader.feed(buffer, (size_t)n)) {
      if (line.kind != ProgressLine::FACT) continue;
      if (line.key == "port") probe->answered = true;
      if (line.key == "baud") probe->baud = atoi(line.value.c_str());
      if (line.key == "device") probe->device = line.value;
      if (line.key == "open_failure") probe->openFailure = line.value;
      if (line.key == "type") probe->identity.type = line.value;
      if (line.key == "firmware") probe->identity.firmware = line.value;
      if (line.key == "fpga_version") probe->identity.fpgaVersion = line.value;
      if (line.key == "fpga_family") probe->identity.fpgaFamily = line.value;
    }
  }
  return n < 0 && subprocess_finished(probe->child, NULL);
}

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

bool fleet_searchUnits(const std::string &self, const std::vector<int> &ports,
                       FleetSearch *search, std::vector<FleetRecord> *found) {
  std::vector<Probe> probes(ports.size());
  std::vector<Subprocess *> children;
  // Each probe's trace may take its share of what this run's may still take.
  const unsigned long long traceShare = ports.empty() ? 0 : serialTrace_room() / ports.size();
  for (size_t i = 0; i < ports.size(); i++) {
    probes[i].port = ports[i];
    probes[i].traceBytes = traceShare;
    const bool raw = portDescription_of(ports[i]).serverRate && search->socketBaud > 0;
    const int baud = raw ? search->socketBaud : search->baud;
    if (fleet_startProbe(self, baud, &probes[i]))
      children.push_back(probes[i].child);
    else probes[i].closed = true;
  }
  const double giveUpAt = fleet_nowSeconds() + PROBE_SECONDS_LIMIT;
  bool interrupted = false, stopping = false, settled = false;
  double killAt = 0;
  std::vector<std::pair<int, std::string>> &unopened = search->unopened;
  for (;;) {
    bool pending = false;
    for (Probe &probe : probes) {
      if (probe.closed) continue;
      if (!fleet_readProbe(&probe)) {
        pending = true;
        continue;
      }
      probe.closed = true;
      if (!probe.openFailure.empty()) unopened.emplace_back(probe.port, probe.openFailure);
    }
    const double now = fleet_nowSeconds();
    interrupted = interrupted || subprocess_interruptCount() > 0;
    if (!pending || (stopping && now >= killAt)) break;
    settled = settled || (search->lowestOnly && !interrupted && lowestSettled(probes));
    if (!stopping && (interrupted || settled || now >= giveUpAt)) {
      // Interrupted rather than killed: a probe then closes its port, which
      // releases the port's lock file. Killed only if it does not end soon.
      stopping = true;
      killAt = now + PROBE_STOP_GRACE_SECONDS;
      for (Probe &probe : probes) {
        if (probe.closed) continue;
        probe.stopped = true;
        subprocess_interrupt(probe.child);
      }
    }
    subprocess_waitAny(children, 200);
  }
  for (Probe &probe : probes) {
    if (probe.stopped && !interrupted && !settled)
      toolError_print("%s: the probe did not end, stopped", portDescription_of(probe.port).name.c_str());
    subprocess_free(probe.child);  // kills a probe still running
    // Its records whole, in port order, a stopped probe's as far as they go.
    fleet_endProbeTrace(&probe);
    if (probe.stopped)
      serialTrace_note("[%s] probe stopped: %s", portDescription_of(probe.port).name.c_str(),
                       interrupted ? "interrupted"
                       : settled   ? "a unit answered on an earlier port"
                                   : "it did not end in time");
    // A probe stopped once the lowest unit was known may have answered too:
    // only the lowest is wanted then.
    if (!probe.answered || interrupted || (settled && probe.stopped)) continue;
    if (search->lowestOnly && !found->empty()) continue;
    FleetRecord unit;
    unit.port = probe.port;
    unit.baud = probe.baud;
    unit.device = probe.device;
    found->push_back(unit);
  }
  std::sort(unopened.begin(), unopened.end());
  return !interrupted;
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
