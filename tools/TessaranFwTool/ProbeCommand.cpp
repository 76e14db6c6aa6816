// probe [--port N] [--baud B] [--json]: finds the unit as the updater does and
// shows what it says about itself. Read-only: "%help -c version" (detection),
// "%fw -v" and "%fw -p" are all it sends.
//
// ports [--probe] [--json]: COM1 to COM32 (and on Windows every other COM port
// present) with their device and state; with --probe, each free port is
// probed at detection's six rates and a unit's data is shown.
#include <stdio.h>

#include <nlohmann/json.hpp>

#include "JsonText.h"
#include "LookingStatus.h"
#include "PortCommands.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/PrintableText.h"
#include "serial/ComPortAPI.h"
#include "serial/SerialTrace.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitQueries.h"
#include "updater/UnitRun.h"

using nlohmann::json;

// A missing field is null in JSON: the unit did not say.
static json textOrNull(const std::string &text) { return text.empty() ? json() : json(text); }

static json unitJson(const UnitInfo &info) {
  return json{{"port", info.port},
              {"device", info.device},
              {"baud", info.baud},
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
  return text.empty() ? "(no answer)" : printableText(text);
}

static void printUnit(const UnitInfo &info, const char *indent) {
  printf("%sPort         : COM%d (%s)\n", indent, info.port, info.device.c_str());
  printf("%sBaud rate    : %d\n", indent, info.baud);
  printf("%sType         : %s\n", indent, orUnknown(info.type).c_str());
  printf("%sFirmware     : %s\n", indent, orUnknown(info.firmware).c_str());
  printf("%sFPGA         : %s %s device %s\n", indent, orUnknown(info.fpgaFamily).c_str(),
         orUnknown(info.fpgaVersion).c_str(), orUnknown(info.fpgaDevice).c_str());
  printf("%sRelease %s : %s\n", indent, FIRMWARE_VERSION_TO_UPLOAD,
         info.firmware == FIRMWARE_VERSION_TO_UPLOAD ? "already installed" : "not installed");
}

// A stop closes the port (and removes its lock), prints one line on stderr
// and exits with 130, as in an update.
static BOOL startPortCommand(const char *program, const std::string &tracePath) {
  const UnitRun run = {program, tracePath.c_str(), TRUE, NULL};
  return unitRun_begin(&run);
}

int runProbeCommand(const ProbeOptions &options) {
  if (!startPortCommand("TessaranFwTool probe", options.tracePath)) return EXIT_UPDATE_FAILED;
  lookingStatus_start();
  const BOOL found = findUnit(options.port, options.baud);
  lookingStatus_end();
  if (!found) {
    fprintf(stderr, "TessaranFwTool: no unit answered\n");
    printOpenFailuresOf(options.port > 0 ? options.port : DETECTION_FIRST_PORT,
                        options.port > 0 ? options.port : DETECTION_LAST_PORT);
    if (options.json) printf("null\n");
    return unitRun_end(EXIT_NO_UNIT);
  }
  UnitInfo info;
  queryUnit(&info);
  ComPortAPI_CloseCOM();
  if (options.json) printf("%s\n", jsonText(unitJson(info)).c_str());
  else printUnit(info, "");
  return unitRun_end(EXIT_UPDATE_DONE);
}

const char *portStateName(PortState state) {
  switch (state) {
    case PORT_FREE: return "free";
    case PORT_BUSY: return "busy";
    case PORT_DENIED: return "denied";
    default: return "absent";
  }
}

// The port's state from an open that is closed again at once.
static void checkPort(PortEntry *entry) {
  describePort(entry);
  HANDLE handle = ComPortAPI_OpenDevice(entry->number);
  if (handle != INVALID_HANDLE_VALUE) {
    ComPortAPI_CloseDevice(handle, entry->number);
    entry->state = PORT_FREE;
    return;
  }
  const SystemError *error = ComPortAPI_LastOpenError();
  entry->state = stateOfFailedOpen(error->code);
  if (entry->state == PORT_BUSY || entry->state == PORT_DENIED) entry->reason = error->text;
  if (entry->state == PORT_BUSY) findPortHolder(entry);
}

int runPortsCommand(const PortsOptions &options) {
  if (!startPortCommand("TessaranFwTool ports", options.tracePath)) return EXIT_UPDATE_FAILED;
  json list = json::array();
  for (int number : portsToList()) {
    PortEntry entry;
    entry.number = number;
    checkPort(&entry);

    UnitInfo info;
    BOOL answered = FALSE;
    if (options.probe && entry.state == PORT_FREE && findUnit(number, 0)) {
      answered = TRUE;
      queryUnit(&info);
      ComPortAPI_CloseCOM();
    }

    if (options.json) {
      json item{{"port", entry.number},
                {"name", "COM" + std::to_string(entry.number)},
                {"device", textOrNull(entry.device)},
                {"state", portStateName(entry.state)}};
      if (!entry.friendlyName.empty()) item["friendly_name"] = systemTextAsUtf8(entry.friendlyName);
      if (entry.state == PORT_BUSY || entry.state == PORT_DENIED) {  // the keys a busy port had
        item["reason"] = systemTextAsUtf8(entry.reason);
        item["holder_pid"] = entry.holderPid > 0 ? json(entry.holderPid) : json();
        item["holder_name"] = textOrNull(systemTextAsUtf8(entry.holderName));
      }
      if (options.probe && entry.state == PORT_FREE)
        item["unit"] = answered ? unitJson(info) : json();
      list.push_back(item);
      continue;
    }

    printf("COM%-3d %-6s %s", entry.number, portStateName(entry.state),
           entry.device.empty() ? "(no device)" : entry.device.c_str());
    if (!entry.friendlyName.empty()) printf("  \"%s\"", entry.friendlyName.c_str());
    if (entry.state == PORT_BUSY || entry.state == PORT_DENIED) {
      printf("  (%s", entry.reason.c_str());
      // A process names itself: its name is escaped like a unit's bytes.
      if (entry.holderPid > 0)
        printf("; held by %ld %s", entry.holderPid, printableText(entry.holderName).c_str());
      else if (!entry.holderName.empty()) printf("; held by the %s", entry.holderName.c_str());
      printf(")");
    }
    printf("\n");
    if (options.probe && entry.state == PORT_FREE) {
      if (answered) printUnit(info, "       ");
      else printf("       no unit answered\n");
    }
  }
  if (options.json) printf("%s\n", jsonText(list).c_str());
  return unitRun_end(EXIT_UPDATE_DONE);
}
