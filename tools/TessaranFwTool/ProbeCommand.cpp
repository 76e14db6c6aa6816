// probe [--port N] [--baud B] [--json]: finds the unit as the updater does and
// shows what it says about itself. Read-only: "%help -c version" (detection),
// "%fw -v" and "%fw -p" are all it sends.
#include <stdio.h>

#include <nlohmann/json.hpp>

#include "JsonText.h"
#include "LookingStatus.h"
#include "PortCommands.h"
#include "ToolCommands.h"
#include "UnitSearch.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/PrintableText.h"
#include "platform/Subprocess.h"
#include "platform/SystemPorts.h"
#include "platform/ToolError.h"
#include "serial/ComPortAPI.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitQueries.h"
#include "updater/UnitRun.h"

using nlohmann::json;

// A missing field is null in JSON: the unit did not say.
json textOrNull(const std::string &text) { return text.empty() ? json() : json(text); }

// "port" is the COM number, null for a port without one, which "address" names;
// "baud" is null over a raw socket whose rate the user did not give.
json unitJson(const UnitInfo &info) {
  const PortDescription port = portDescription_of(info.port);
  const int com = port.comNumber > 0 ? port.comNumber : port.comNumberNow;  // a slot's: now
  return json{{"port", com > 0 ? json(com) : json()},
              {"address", portDescription_of(info.port).name},
              {"device", info.device},
              {"baud", info.baud > 0 ? json(info.baud) : json()},
              {"type", textOrNull(info.type)},
              {"firmware", textOrNull(info.firmware)},
              {"fpga_family", textOrNull(info.fpgaFamily)},
              {"fpga_version", textOrNull(info.fpgaVersion)},
              {"fpga_device", textOrNull(info.fpgaDevice)},
              {"release", FIRMWARE_VERSION_TO_UPLOAD},
              {"up_to_date", info.firmware == FIRMWARE_VERSION_TO_UPLOAD}};
}

// A field as the unit sent it, escaped: its bytes never drive the terminal.
static std::string orUnknown(const std::string &text) {
  return text.empty() ? "(no answer)" : printableText_escape(text);
}

void printUnit(const UnitInfo &info, const char *indent) {
  if (portDescription_of(info.port).comNumber == 0)
    printf("%sPort         : %s\n", indent, info.device.c_str());
  else
    printf("%sPort         : COM%d (%s)\n", indent, info.port, info.device.c_str());
  if (info.baud > 0)
    printf("%sBaud rate    : %d\n", indent, info.baud);
  else
    printf("%sBaud rate    : the server's (not known)\n", indent);
  printf("%sType         : %s\n", indent, orUnknown(info.type).c_str());
  printf("%sFirmware     : %s\n", indent, orUnknown(info.firmware).c_str());
  printf("%sFPGA         : %s %s device %s\n", indent, orUnknown(info.fpgaFamily).c_str(),
         orUnknown(info.fpgaVersion).c_str(), orUnknown(info.fpgaDevice).c_str());
  const std::string release = std::string("Release ") + FIRMWARE_VERSION_TO_UPLOAD;
  printf("%s%-13s: %s\n", indent, release.c_str(),
         info.firmware == FIRMWARE_VERSION_TO_UPLOAD ? "already installed" : "not installed");
}

int runProbe(const ToolOptions &tool) {
  const ProbeOptions &options = tool.probe;
  const UnitRun run = {TOOL_NAME " probe", options.tracePath.c_str(), TRUE, NULL};
  if (!beginUnitRun(&run)) return EXIT_UPDATE_FAILED;
  UnitSearch search;
  search.program = subprocess_selfPath(tool.program);
  search.port = options.port;
  search.baud = options.baud;
  // A port that opens but takes no setting (a server that runs its line at
  // another rate) is told once below with its reason, not at every rate.
  ComPortAPI_PrintFailures(FALSE);
  lookingStatus_start();
  const UnitSearchOutcome outcome = unitSearch_find(&search);
  lookingStatus_end();
  if (outcome == UNIT_SEARCH_INTERRUPTED) return endUnitRun(EXIT_INTERRUPTED);
  if (outcome != UNIT_SEARCH_FOUND) {
    toolError_print("no unit answered");
    unitSearch_printWhyNone(search);
    if (options.json) printf("null\n");
    return endUnitRun(EXIT_NO_UNIT);
  }
  UnitInfo info;
  queryUnit(&info);
  ComPortAPI_CloseCOM();
  if (options.json) {
    json unit = unitJson(info);
    // The adapter's slot, where the system tells one for the unit's port.
    for (const SystemPort &port : systemPorts_list())
      if (port.device == info.device && (port.vid >= 0 || !port.location.empty()))
        addSlotJson(&unit, port);
    printf("%s\n", jsonText(unit).c_str());
  } else {
    printUnit(info, "");
  }
  return endUnitRun(EXIT_UPDATE_DONE);
}
