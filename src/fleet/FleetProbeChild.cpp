// One port probed for a unit, in a child process of its own: the serial
// driver keeps one port and one set of buffers per process, so ports are
// probed side by side by one child each. Read-only: the detection command is
// the only text sent. A port that cannot be opened is reported with its reason
// (fact "open_failure"). Asked to identify (update-all --watch, to tell a unit
// from the one handled on the port before), the probe also asks the unit found
// its type and versions ("%fw -v", "%fw -p"), read-only, and sends them as the
// facts the update sends them under (type, firmware, fpga_version) and
// fpga_family.
#include <stdio.h>

#include <utility>

#include "fleet/FleetFacts.h"
#include "fleet/FleetProbe.h"
#include "platform/ExitStatus.h"
#include "platform/ToolError.h"
#include "serial/ComPortAPI.h"
#include "serial/PortDescription.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitQueries.h"
#include "updater/UnitRun.h"

static void sendFound(int port, int rate) {
  // A COM port's device is the one its name reaches; a network port's, the
  // server it is reached through.
  const std::string device = portDescription_deviceOfOpen(port);
  progressChannel_send(progressChannel_factLine(UPDATE_FACT_PORT, std::to_string(port).c_str()));
  progressChannel_send(progressChannel_factLine(UPDATE_FACT_BAUD, std::to_string(rate).c_str()));
  progressChannel_send(progressChannel_factLine(UPDATE_FACT_DEVICE, device.c_str()));
}

// A watched port is checked every second or so: a reply is taken as soon as
// it ends in the prompt, and a read waits this long for the next bytes.
#define IDENTIFY_READ_TIMEOUT_MS 100

// Asks the unit on the open port its type and versions and sends what it
// told. FALSE when neither reply parsed.
static bool sendIdentity(void) {
  UnitInfo info;
  setQuickQueries(IDENTIFY_READ_TIMEOUT_MS);
  queryVersions(&info);
  queryType(&info);
  const std::pair<const char *, const std::string *> facts[] = {
      {UPDATE_FACT_TYPE, &info.type},
      {UPDATE_FACT_FIRMWARE, &info.firmware},
      {UPDATE_FACT_FPGA_VERSION, &info.fpgaVersion},
      {UPDATE_FACT_FPGA_FAMILY, &info.fpgaFamily}};
  for (const auto &fact : facts)
    if (!fact.second->empty())
      progressChannel_send(progressChannel_factLine(fact.first, fact.second->c_str()));
  return !info.type.empty() || !info.firmware.empty();
}

int fleet_probePort(int port, int baud, bool identify, const char *channel) {
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
  // A unit checked again at its known rate is asked its versions first: one
  // that answers them is there, without detection's exchange (a second of
  // the port's time); one that does not is looked for as any other.
  if (identify && baud > 0) {
    // No port is open here: this only stores the rate for the open.
    ComPortAPI_SetBaudRate(baud);
    if (ComPortAPI_OpenCOM(port)) {
      gComPortNumber = port;
      gBaudRate = baud;
      const bool told = sendIdentity();
      ComPortAPI_SetReadingTimeoutInMs(MAX_WAIT_READ);  // detection's, should it follow
      ComPortAPI_CloseCOM();
      if (told) {
        sendFound(port, baud);
        return endUnitRun(EXIT_UPDATE_DONE);
      }
    }
  }
  if (detectUnitOn(port, port, baud > 0 ? baud : 0)) {
    const int rate = gBaudRate;
    if (identify) sendIdentity();
    ComPortAPI_CloseCOM();
    sendFound(port, rate);
    return endUnitRun(EXIT_UPDATE_DONE);
  }
  // Why the port gave no unit, when it could not even be opened: the parent
  // tells the user if no port had a unit.
  const std::string unopened = portDescription_openFailure(port);
  if (!unopened.empty()) progressChannel_send(progressChannel_factLine(UPDATE_FACT_OPEN_FAILURE, unopened.c_str()));
  return endUnitRun(EXIT_NO_UNIT);
}
