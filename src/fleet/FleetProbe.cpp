// The parent's side of one port's probe: its child started, what it tells
// read, its trace taken into the run's; and what a check of a port tells
// about the unit handled there.
#include "fleet/FleetProbe.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fleet/FleetFacts.h"
#include "image/ImageAssembly.h"
#include "platform/Files.h"
#include "platform/PortList.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"

// Where a probe's trace file is made: beside the run's trace, in a folder the
// user chose to write to; but a trace sent to a device or a pipe
// (FWUPGRADE_TRACE=/dev/stderr) has no such folder, and the probe's file then
// goes to the system's folder for temporary files.
static std::string probeTraceBeside(const char *tracePath) {
  struct stat st;
  if (stat(tracePath, &st) != 0 || (st.st_mode & S_IFMT) == S_IFREG) return tracePath;
  return files_tempFolder() + "fwupgrade-probe-trace";
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
    if (files_newBeside(probeTraceBeside(serialTrace_path()), &probe->traceFile, &error))
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
      if (line.key == UPDATE_FACT_PORT) probe->answered = true;
      if (line.key == UPDATE_FACT_BAUD) probe->baud = atoi(line.value.c_str());
      if (line.key == UPDATE_FACT_DEVICE) probe->device = line.value;
      if (line.key == UPDATE_FACT_OPEN_FAILURE) probe->openFailure = line.value;
      if (line.key == UPDATE_FACT_TYPE) probe->identity.type = line.value;
      if (line.key == UPDATE_FACT_FIRMWARE) probe->identity.firmware = line.value;
      if (line.key == UPDATE_FACT_FPGA_VERSION) probe->identity.fpgaVersion = line.value;
      if (line.key == UPDATE_FACT_FPGA_FAMILY) probe->identity.fpgaFamily = line.value;
    }
  }
  return n < 0 && subprocess_finished(probe->child, NULL);
}

// SEEN differs from every value KNOWN allows; an empty SEEN (not said) or a
// KNOWN without a value (not known) is no difference.
static bool differs(const std::string &seen, std::vector<std::string> known) {
  known.erase(std::remove(known.begin(), known.end(), std::string()), known.end());
  return !seen.empty() && !known.empty() &&
         std::find(known.begin(), known.end(), seen) == known.end();
}

static const std::string &either(const std::string &first, const std::string &second) {
  return first.empty() ? second : first;
}

FleetSighting fleet_sighting(const FleetProbe &check, const FleetRecord &handled,
                             const FleetIdentity &found) {
  if (!check.answered) {
    // A port another program holds says nothing of the unit; a port that is
    // no longer there (its adapter pulled out) has lost it.
    const bool opened = check.openFailure.empty() || openFailures_isAbsent(check.openFailure);
    return opened ? FLEET_UNIT_GONE : FLEET_NO_EVIDENCE;
  }
  const FleetIdentity &seen = check.identity;
  const std::string firmwareBefore = either(handled.firmwareBefore, found.firmware);
  const std::string fpgaBefore = either(handled.fpgaBefore, found.fpgaVersion);
  std::vector<std::string> firmware, fpga;
  if (handled.result == FLEET_RESULT_UPDATED) {
    firmware = {either(handled.firmwareAfter, FIRMWARE_VERSION_TO_UPLOAD)};
    fpga = {handled.fpgaAfter};  // the release's logic version is read back, or not known
  } else if (handled.result == FLEET_RESULT_CURRENT || handled.result == FLEET_RESULT_NONE) {
    // Nothing was written to it (or not yet: it waits for a label).
    firmware = {firmwareBefore};
    fpga = {fpgaBefore};
  } else {
    // Failed or interrupted part way: either image may have been taken.
    firmware = {firmwareBefore, handled.firmwareAfter, FIRMWARE_VERSION_TO_UPLOAD};
    if (!handled.fpgaAfter.empty()) fpga = {fpgaBefore, handled.fpgaAfter};
  }
  const bool other = differs(seen.type, {either(handled.type, found.type)}) ||
                     differs(seen.fpgaFamily, {found.fpgaFamily}) ||
                     differs(seen.firmware, firmware) || differs(seen.fpgaVersion, fpga);
  return other ? FLEET_NEW_UNIT : FLEET_SAME_UNIT;
}
