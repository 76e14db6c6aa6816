// What ports and probe both show of a unit and of a port's slot.
#include "UnitView.h"

#include <stdio.h>

#include "JsonText.h"
#include "platform/PrintableText.h"
#include "platform/SystemPorts.h"
#include "serial/PortDescription.h"
#include "updater/TessaranFwUpgrade.h"

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

void addSlotJson(json *item, const SystemPort &port) {
  (*item)["driver"] = textOrNull(port.driver);
  (*item)["location"] = textOrNull(systemTextAsUtf8(port.location));
  (*item)["serial_number"] = textOrNull(systemTextAsUtf8(port.serialNumber));
  auto hexId = [](int id) {
    char text[8];
    snprintf(text, sizeof text, "%04x", id & 0xffff);
    return id >= 0 ? json(text) : json();
  };
  (*item)["vid"] = hexId(port.vid);
  (*item)["pid"] = hexId(port.pid);
  (*item)["manufacturer"] = textOrNull(systemTextAsUtf8(port.manufacturer));
  (*item)["product"] = textOrNull(systemTextAsUtf8(port.product));
}
