// The probe of one port, which update-all runs in a child of its own for
// each port it looks for units on (FleetProbe.h): an internal command, given
// as update-all's hidden --probe-port.
#include "fleet/FleetProbe.h"
#include "platform/ToolName.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"
#include "update-all/UpdateAllCommand.h"
#include "updater/TessaranFwUpgrade.h"

int runProbeChild(const ProbeChildOptions &probe) {
  // The probe's trace, for its parent to append to its own: each record
  // names the port, since the parent's trace holds every port's.
  if (!probe.trace.empty()) {
    serialTrace_setLabel(portDescription_of(probe.port).name.c_str());
    if (probe.traceLimit > 0) serialTrace_setLimit(probe.traceLimit);
    serialTrace_start(TOOL_NAME " probe", FIRMWARE_VERSION_TO_UPLOAD, probe.trace.c_str());
  }
  return fleet_probePort(probe.port, probe.baud, probe.identify, probe.channel.c_str());
}
