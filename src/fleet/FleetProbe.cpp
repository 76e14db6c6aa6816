// One port probed for a unit, in a child process of its own: the serial
// driver keeps one port and one set of buffers per process, so ports are
// probed side by side by one child each. Read-only: the detection command is
// the only text sent. A port that cannot be opened is reported with its reason
// (fact "open_failure").
#include <stdio.h>

#include "fleet/Fleet.h"
#include "fleet/ProgressChannel.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/ToolError.h"
#include "serial/ComPortAPI.h"
#include "serial/NetworkPort.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitRun.h"

static void sendFound(int port, int rate) {
  char name[16];
  snprintf(name, sizeof name, "\\\\.\\COM%d", port);
  // A network port's device is the server it is reached through.
  const std::string device = networkPort_address(port) != NULL ? networkPort_portName(port)
                                                               : portList_deviceOfOpen(port, name);
  progressChannel_send(progressChannel_factLine("port", std::to_string(port).c_str()));
  progressChannel_send(progressChannel_factLine("baud", std::to_string(rate).c_str()));
  progressChannel_send(progressChannel_factLine("device", device.c_str()));
}

int fleet_probePort(int port, int baud, const char *channel) {
  if (!progressChannel_attach(channel)) {
    toolError_print("no progress channel %s", channel);
    return EXIT_USAGE;
  }
  // Detection's own scan, narrowed to this port: the existence check (a port
  // that does not exist or that another program holds is no unit), then the
  // probe at each rate in the updater's order (or at the one rate the user
  // gave), without the CTS handshake.
  // update-all stops a probe with an interrupt: the port is then closed,
  // which removes its lock file.
  const UnitRun run = {NULL, NULL, FALSE, NULL};
  if (!beginUnitRun(&run)) return EXIT_UPDATE_FAILED;
  ComPortAPI_SetHardwareFlowControl(FALSE);
  if (detectUnitOn(port, port, baud > 0 ? baud : 0)) {
    ComPortAPI_CloseCOM();
    sendFound(port, gBaudRate);
    return endUnitRun(EXIT_UPDATE_DONE);
  }
  // Why the port gave no unit, when it could not even be opened: the parent
  // tells the user if no port had a unit.
  const std::string unopened =
      networkPort_address(port) != NULL ? networkPort_failure(port) : openFailures_text(port);
  if (!unopened.empty()) progressChannel_send(progressChannel_factLine("open_failure", unopened.c_str()));
  return endUnitRun(EXIT_NO_UNIT);
}
