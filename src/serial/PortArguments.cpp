// The tool's port arguments made into the port numbers the driver opens: one
// port (--port) or a list of them (--ports). Which form an argument has is
// told here and nowhere above.
#include <ctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/PortList.h"
#include "serial/PortDescription.h"

// A path or a URL: an address parsed whole and registered for a number.
static bool isNamedAddress(const std::string &text) {
  return text.find("://") != std::string::npos || (!text.empty() && text[0] == '/');
}

static bool isSlot(const std::string &text) {
  return text.compare(0, 4, PORT_ADDRESS_USB_PREFIX) == 0;
}

static std::string tooManyNamed(void) {
  return "more than " + std::to_string(PORT_REGISTRY_SIZE) + " ports named";
}

// A named address parsed and registered: its number in *port, else the reason.
static std::string registerNamed(const std::string &text, int *port) {
  PortAddress address;
  std::string reason;
  if (!portAddress_parse(text, &address, &reason)) return reason;
  *port = portRegistry_register(address);
  return *port == 0 ? tooManyNamed() : "";
}

// usb:LOCATION parsed: the slots plugged there now in *slots, its location in
// *location; else the reason.
static std::string slotsOf(const std::string &text, std::vector<int> *slots,
                           std::string *location) {
  PortAddress slot;
  std::string reason;
  if (!portAddress_parse(text, &slot, &reason)) return reason;
  *slots = portRegistry_slotsAt(slot.location);
  *location = slot.location;
  return "";
}

static std::string noPortAt(const std::string &text) {
  return "no serial port at " + text + " (ports shows each adapter's location)";
}

std::string portArgument_one(const std::string &text, bool slotMayBeEmpty, int *port) {
  if (isSlot(text)) {
    std::vector<int> slots;
    std::string location;
    const std::string reason = slotsOf(text, &slots, &location);
    if (!reason.empty()) return reason;
    if (slots.size() > 1)
      return text + " holds " + std::to_string(slots.size()) + " ports: name one (ports shows them)";
    if (slots.empty() && !slotMayBeEmpty) return noPortAt(text);
    if (!slots.empty()) {
      *port = slots[0];
      return "";
    }
    // Nothing plugged in now: the slot itself, found absent at the open.
    PortAddress slot;
    slot.kind = PORT_ADDRESS_USB;
    slot.location = location;
    *port = portRegistry_register(slot);
    return *port == 0 ? tooManyNamed() : "";
  }
  *port = portAddress_comNumber(text);
  if (*port == 0 && isNamedAddress(text)) return registerNamed(text, port);
  if (*port == 0)
    return "expects a COM number 1-" + std::to_string(PORT_ADDRESS_LAST_COM) +
           " (3 or COM3), not \"" + text + "\"";
  return "";
}

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

// One item of a list: a slot's ports or a named address's number added to
// *named, a COM item (a number or a range) to *comItems. "" or the reason.
static std::string takeListItem(const std::string &item, bool watch, std::string *comItems,
                                std::vector<int> *named, std::vector<std::string> *slotLocations) {
  if (item.empty()) {
    *comItems += ",,";  // an empty item: the port list's own parser refuses it
  } else if (isSlot(item)) {
    std::vector<int> slots;
    std::string location;
    const std::string reason = slotsOf(item, &slots, &location);
    if (!reason.empty()) return reason;
    if (slots.empty() && !watch) return noPortAt(item);
    named->insert(named->end(), slots.begin(), slots.end());
    slotLocations->push_back(location);
  } else if (isNamedAddress(item) || item.compare(0, 4, "\\\\.\\") == 0) {
    int port = 0;
    const std::string reason = registerNamed(item, &port);
    if (!reason.empty()) return reason;
    named->push_back(port);
  } else {
    *comItems += (comItems->empty() ? "" : ",") + item;
  }
  return "";
}

std::string portArgument_list(const std::string &list, bool watch, std::vector<int> *ports,
                              std::vector<std::string> *slotLocations) {
  std::string comItems;
  std::vector<int> named;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma == std::string::npos ? comma : comma - start);
    const std::string reason = takeListItem(item, watch, &comItems, &named, slotLocations);
    if (!reason.empty()) return "bad port list \"" + list + "\": " + reason;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if ((!comItems.empty() || (named.empty() && slotLocations->empty())) &&
      !portList_parse(withoutComPrefixes(comItems), ports))
    return "bad port list \"" + list + "\" (COM numbers 1 to " +
           std::to_string(PORT_ADDRESS_LAST_COM) + ", e.g. 1-8,12 or COM3)";
  for (int port : named)
    if (std::find(ports->begin(), ports->end(), port) == ports->end()) ports->push_back(port);
  return "";
}
