// ports [--probe] [--json] [--all | PORT...]: the serial ports the system has
// (SystemPorts.h: its order, and the adapter's slot: USB location, serial
// number, VID:PID, manufacturer, product); with --all COM1 to COM32 (and on
// Windows every other COM port present) as the updater's table has them,
// absent ones included; or the ports given; each with its device and state; with
// --probe, each free port is probed at detection's six rates (a raw socket at
// its server's rate) and a unit's data is shown. A network port is free when
// its server takes the connection; its device is its URL.
#include <stdio.h>

#include <nlohmann/json.hpp>

#include "JsonText.h"
#include "ToolCommands.h"
#include "UnitView.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/PrintableText.h"
#include "platform/SystemPorts.h"
#include "platform/ToolName.h"
#include "serial/ComPortAPI.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitQueries.h"
#include "updater/UnitRun.h"

using nlohmann::json;

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
  if (!description.systemDevice) {  // unreachable: why, in the busy port's key
    entry->reason = error->text;
    return;
  }
  entry->state = portList_stateOfFailedOpen(error->code);
  if (entry->state == PORT_BUSY || entry->state == PORT_DENIED) entry->reason = error->text;
  else entry->reason = portList_notSerialText(error->code);  // a file or folder there
  if (entry->state == PORT_BUSY) portList_findHolder(entry);
}

// The slot in the text table: what --ports would name it by, and the adapter.
static void printSlot(const SystemPort &port) {
  if (!port.driver.empty()) printf("  %s", port.driver.c_str());
  if (!port.location.empty())
    printf("  %s%s", port.vid >= 0 || port.driver == "usb-serial" || port.driver == "cdc-acm" ? "usb:" : "at ",
           printableText_escape(port.location).c_str());
  if (port.vid >= 0) printf("  %04x:%04x", port.vid, port.pid);
  if (!port.serialNumber.empty())
    printf("  serial \"%s\"", printableText_escape(port.serialNumber).c_str());
  std::string maker = port.manufacturer;
  if (!port.product.empty()) maker += (maker.empty() ? "" : " ") + port.product;
  if (!maker.empty()) printf("  \"%s\"", printableText_escape(maker).c_str());
}

// One row of the list: the port, its state, and the unit that answered on it.
struct PortRow {
  SystemPort slot;  // the system's port (its slot), when the list is the system's
  int number = 0;   // the port number; 0: a device the registry has no room for
  int comNumber = 0;
  PortEntry entry;
  bool answered = false;
  UnitInfo info;
};

// The rows: the ports given, the updater's table, or the system's ports (a
// device without a COM number registered by its path; 0 when the table of
// registered ports is full).
static std::vector<PortRow> listedPorts(const PortsOptions &options, bool system) {
  std::vector<SystemPort> slots;
  std::vector<int> numbers;
  if (system) slots = systemPorts_list();
  for (const SystemPort &slot : slots)
    numbers.push_back(slot.comNumber > 0 ? slot.comNumber : portRegistry_registerDevice(slot.device));
  if (!system) numbers = options.ports.empty() ? portList_ports() : options.ports;
  slots.resize(numbers.size());
  std::vector<PortRow> rows(numbers.size());
  for (size_t i = 0; i < numbers.size(); i++) {
    rows[i].slot = slots[i];
    rows[i].number = numbers[i];
    rows[i].comNumber = numbers[i] > 0 ? portDescription_of(numbers[i]).comNumber : 0;
  }
  return rows;
}

// The row's state, and with --probe the unit on a free port.
static void checkRow(PortRow *row, bool probe) {
  row->entry.number = row->number;
  if (row->number > 0) {
    checkPort(&row->entry);
  } else {
    row->entry.device = row->slot.device;
    portList_checkDevice(&row->entry);
  }
  if (probe && row->entry.state == PORT_FREE && row->number > 0 && findUnit(row->number, 0)) {
    row->answered = TRUE;
    queryUnit(&row->info);
    ComPortAPI_CloseCOM();
  }
}

static json rowJson(const PortRow &row, bool probe, bool system) {
  const PortEntry &entry = row.entry;
  json item{{"port", row.comNumber > 0 ? json(row.comNumber) : json()},
            {"name", row.number > 0 ? portDescription_of(row.number).name : row.slot.device},
            {"device", textOrNull(entry.device)},
            {"state", portList_stateName(entry.state)}};
  if (!entry.friendlyName.empty()) item["friendly_name"] = systemTextAsUtf8(entry.friendlyName);
  if (!entry.reason.empty()) item["reason"] = entry.reason;
  if (entry.state == PORT_BUSY || entry.state == PORT_DENIED) {  // the keys a busy port had
    item["reason"] = systemTextAsUtf8(entry.reason);
    item["holder_pid"] = entry.holderPid > 0 ? json(entry.holderPid) : json();
    item["holder_name"] = textOrNull(systemTextAsUtf8(entry.holderName));
  }
  if (probe && entry.state == PORT_FREE) item["unit"] = row.answered ? unitJson(row.info) : json();
  if (system) addSlotJson(&item, row.slot);
  return item;
}

static void printPortRow(const PortRow &row, bool probe, bool system) {
  const PortEntry &entry = row.entry;
  const bool held = entry.state == PORT_BUSY || entry.state == PORT_DENIED;
  if (row.comNumber == 0) {  // a device without a COM number: its path is its name
    printf("%-6s %-6s %s", "-", portList_stateName(entry.state), entry.device.c_str());
    if (!entry.reason.empty() && !held) printf(" (%s)", entry.reason.c_str());
  } else {
    printf("COM%-3d %-6s %s", entry.number, portList_stateName(entry.state),
           entry.device.empty() ? "(no device)" : entry.device.c_str());
    if (!entry.reason.empty() && !held) printf(" (%s)", entry.reason.c_str());
  }
  if (!entry.friendlyName.empty()) printf("  \"%s\"", entry.friendlyName.c_str());
  if (held) {
    printf("  (%s", entry.reason.c_str());
    // A process names itself: its name is escaped like a unit's bytes.
    if (entry.holderPid > 0)
      printf("; held by %ld %s", entry.holderPid, printableText_escape(entry.holderName).c_str());
    else if (!entry.holderName.empty()) printf("; held by the %s", entry.holderName.c_str());
    printf(")");
  }
  if (system) printSlot(row.slot);
  printf("\n");
  if (probe && entry.state == PORT_FREE) {
    if (row.answered) printUnit(row.info, "       ");
    else printf("       no unit answered\n");
  }
}

int runPorts(const ToolOptions &tool) {
  const PortsOptions &options = tool.ports;
  const UnitRun run = {TOOL_NAME " ports", options.tracePath.c_str(), TRUE, NULL};
  if (!beginUnitRun(&run)) return EXIT_UPDATE_FAILED;
  ComPortAPI_PrintFailures(FALSE);  // a probed port that takes no setting stays "no unit answered"
  json list = json::array();
  const bool system = options.ports.empty() && !options.all;
  std::vector<PortRow> rows = listedPorts(options, system);
  if (!options.json && !rows.empty()) printf("PORT   STATE  DEVICE\n");
  for (PortRow &row : rows) {
    checkRow(&row, options.probe);
    if (options.json) list.push_back(rowJson(row, options.probe, system));
    else printPortRow(row, options.probe, system);
  }
  if (options.json) printf("%s\n", jsonText(list).c_str());
  return endUnitRun(EXIT_UPDATE_DONE);
}
