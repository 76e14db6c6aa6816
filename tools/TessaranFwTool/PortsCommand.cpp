// ports [--probe] [--json] [PORT...]: COM1 to COM32 (and on Windows every other
// COM port present), or the ports given, with their device and state; with
// --probe, each free port is probed at detection's six rates (a raw socket at
// its server's rate) and a unit's data is shown. A network port is free when
// its server takes the connection; its device is its URL.
#include <stdio.h>

#include <nlohmann/json.hpp>

#include "JsonText.h"
#include "PortCommands.h"
#include "ToolCommands.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/PrintableText.h"
#include "platform/ToolName.h"
#include "serial/ComPortAPI.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitQueries.h"
#include "updater/UnitRun.h"

using nlohmann::json;

const char *portList_stateName(PortState state) {
  switch (state) {
    case PORT_FREE: return "free";
    case PORT_BUSY: return "busy";
    case PORT_DENIED: return "denied";
    default: return "absent";
  }
}

// The port's state from an open that is closed again at once.
static void checkPort(PortEntry *entry) {
  const PortDescription description = portDescription_of(entry->number);
  if (description.comNumber > 0) portList_describe(entry);
  else entry->device = description.device;
  HANDLE handle = ComPortAPI_OpenDevice(entry->number);
  if (handle != INVALID_HANDLE_VALUE) {
    ComPortAPI_CloseDevice(handle, entry->number);
    entry->state = PORT_FREE;
    return;
  }
  const SystemError *error = ComPortAPI_LastOpenError();
  if (description.kind != PORT_KIND_LOCAL) {  // unreachable: why, in the busy port's key
    entry->reason = error->text;
    return;
  }
  entry->state = portList_stateOfFailedOpen(error->code);
  if (entry->state == PORT_BUSY || entry->state == PORT_DENIED) entry->reason = error->text;
  if (entry->state == PORT_BUSY) portList_findHolder(entry);
}

int runPortsCommand(const PortsOptions &options) {
  const UnitRun run = {TOOL_NAME " ports", options.tracePath.c_str(), TRUE, NULL};
  if (!beginUnitRun(&run)) return EXIT_UPDATE_FAILED;
  json list = json::array();
  for (int number : options.ports.empty() ? portList_ports() : options.ports) {
    const int comNumber = portDescription_of(number).comNumber;
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
      json item{{"port", comNumber > 0 ? json(comNumber) : json()},
                {"name", portDescription_of(entry.number).name},
                {"device", textOrNull(entry.device)},
                {"state", portList_stateName(entry.state)}};
      if (!entry.friendlyName.empty()) item["friendly_name"] = systemTextAsUtf8(entry.friendlyName);
      if (comNumber == 0 && !entry.reason.empty()) item["reason"] = entry.reason;
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

    if (comNumber == 0) {
      printf("%s %s", entry.device.c_str(), portList_stateName(entry.state));
      if (!entry.reason.empty()) printf(" (%s)", entry.reason.c_str());
    } else {
      printf("COM%-3d %-6s %s", entry.number, portList_stateName(entry.state),
             entry.device.empty() ? "(no device)" : entry.device.c_str());
    }
    if (!entry.friendlyName.empty()) printf("  \"%s\"", entry.friendlyName.c_str());
    if (entry.state == PORT_BUSY || entry.state == PORT_DENIED) {
      printf("  (%s", entry.reason.c_str());
      // A process names itself: its name is escaped like a unit's bytes.
      if (entry.holderPid > 0)
        printf("; held by %ld %s", entry.holderPid, printableText_escape(entry.holderName).c_str());
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
  return endUnitRun(EXIT_UPDATE_DONE);
}
