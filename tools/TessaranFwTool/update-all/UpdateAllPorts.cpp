// update-all's --ports: the list of COM numbers, network ports and USB slots.
#include <ctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ToolCommands.h"
#include "platform/PortList.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"
#include "serial/PortAddress.h"

// A port list with the COM prefixes taken away ("COM1-COM4,com9" -> "1-4,9"):
// the list's own parser takes numbers only.
static std::string withoutComPrefixes(const std::string &list) {
  std::string plain;
  for (size_t i = 0; i < list.size(); i++) {
    const bool itemStart = i == 0 || list[i - 1] == ',' || list[i - 1] == '-';
    if (itemStart && i + 3 < list.size() && portAddress_comNumber(list.substr(i, 3) + "1") == 1 &&
        isdigit((unsigned char)list[i + 3])) {
      i += 2;
      continue;
    }
    plain += list[i];
  }
  return plain;
}

// --ports: COM numbers and ranges as the port list writes them, device paths
// and network addresses, each registered for a port number of its own: the
// COM ports first, then the others in the order given, a port named twice
// kept once. usb:LOCATION items become the slots plugged there now (their
// locations go to *slotLocations); under watch, a location with nothing
// plugged in yet is taken, to be watched for adapters to come.
// FALSE after saying what is wrong.
bool parseUpdateAllPorts(const std::string &list, bool watch, std::vector<int> *ports,
                         std::vector<std::string> *slotLocations) {
  std::string comItems;
  std::vector<int> namedPorts;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma == std::string::npos ? comma : comma - start);
    if (item.empty()) {
      comItems += ",,";  // an empty item: the port list's own parser refuses it
    } else if (item.compare(0, 4, PORT_ADDRESS_USB_PREFIX) == 0) {
      PortAddress slot;
      std::string reason;
      if (!portAddress_parse(item, &slot, &reason)) {
        toolError_print("bad port list \"%s\": %s", list.c_str(), reason.c_str());
        return false;
      }
      const std::vector<int> at = portRegistry_slotsAt(slot.location);
      if (at.empty() && !watch) {
        toolError_print("bad port list \"%s\": no serial port at %s (ports shows each adapter's "
                        "location)", list.c_str(), item.c_str());
        return false;
      }
      namedPorts.insert(namedPorts.end(), at.begin(), at.end());
      slotLocations->push_back(slot.location);
    } else if (item.find("://") == std::string::npos && item[0] != '/' &&
               item.compare(0, 4, "\\\\.\\") != 0) {
      comItems += (comItems.empty() ? "" : ",") + item;
    } else {
      PortAddress address;
      std::string reason;
      if (!portAddress_parse(item, &address, &reason)) {
        toolError_print("bad port list \"%s\": %s", list.c_str(), reason.c_str());
        return false;
      }
      const int port = portRegistry_register(address);
      if (port == 0) {
        toolError_print("bad port list \"%s\": more than %d ports named", list.c_str(),
                        PORT_REGISTRY_SIZE);
        return false;
      }
      namedPorts.push_back(port);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if ((!comItems.empty() || (namedPorts.empty() && slotLocations->empty())) &&
      !portList_parse(withoutComPrefixes(comItems), ports)) {
    toolError_print("bad port list \"%s\" (COM numbers 1 to %d, e.g. 1-8,12 or COM3)",
                    list.c_str(), PORT_ADDRESS_LAST_COM);
    return false;
  }
  for (int port : namedPorts)
    if (std::find(ports->begin(), ports->end(), port) == ports->end()) ports->push_back(port);
  return true;
}
