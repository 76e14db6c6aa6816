// The registered ports and the description of every port number.
#include <algorithm>
#include <string>

#include "platform/PortList.h"
#include "platform/SystemPorts.h"
#include "serial/PortDescription.h"
#include "serial/PortInterface.h"

static PortAddress gAddresses[PORT_REGISTRY_SIZE];
static int gCount = 0;

int portRegistry_register(const PortAddress &address) {
  if (address.kind == PORT_ADDRESS_COM) return address.comNumber;
  const std::string text = portAddress_text(address);
  for (int i = 0; i < gCount; i++)
    if (portAddress_text(gAddresses[i]) == text) return PORT_REGISTRY_FIRST + i;
  if (gCount == PORT_REGISTRY_SIZE) return 0;
  gAddresses[gCount] = address;
  return PORT_REGISTRY_FIRST + gCount++;
}

int portRegistry_registerDevice(const std::string &path) {
  PortAddress address;
  std::string reason;
  if (path.empty() || path[0] != '/' || !portAddress_parse(path, &address, &reason)) return 0;
  return portRegistry_register(address);
}

const SystemPort *portRegistry_atSlot(const std::vector<SystemPort> &ports,
                                      const std::string &location) {
  const SystemPort *below = NULL;
  int belowCount = 0;
  for (const SystemPort &port : ports) {
    if (port.location == location) return &port;
    if (systemPorts_locationMatches(port.location, location)) {
      below = &port;
      belowCount++;
    }
  }
  return belowCount == 1 ? below : NULL;
}

std::vector<int> portRegistry_slotsAt(const std::string &location) {
  std::vector<int> slots;
  for (const SystemPort &port : systemPorts_atLocation(systemPorts_list(), location)) {
    PortAddress slot;
    slot.kind = PORT_ADDRESS_USB;
    slot.location = port.location;
    const int number = portRegistry_register(slot);
    if (number > 0 && std::find(slots.begin(), slots.end(), number) == slots.end())
      slots.push_back(number);
  }
  return slots;
}

const PortAddress *portRegistry_address(int port) {
  const int index = port - PORT_REGISTRY_FIRST;
  return index >= 0 && index < gCount ? &gAddresses[index] : NULL;
}

PortDescription portDescription_of(int port) {
  PortDescription d;
  d.number = port;
  const PortAddress *address = portRegistry_address(port);
  if (address == NULL) {
    const bool com = port >= 1 && port <= PORT_ADDRESS_LAST_COM;
    d.comNumber = com ? port : 0;
    // Any other number is named as the driver names what it opens.
    d.name = "COM" + std::to_string(port);
    d.fileName = d.name;
    d.device = com ? portList_device(port) : "";
    d.registered = com;
    return d;
  }
  d.kind_ = address->kind == PORT_ADDRESS_RFC2217  ? PORT_KIND_RFC2217
            : address->kind == PORT_ADDRESS_SOCKET ? PORT_KIND_SOCKET
                                                   : PORT_KIND_LOCAL;
  d.systemDevice = d.kind_ == PORT_KIND_LOCAL;
  d.name = portAddress_text(*address);
  d.fileName = portAddress_fileName(*address);
  d.device = d.name;  // a device path, or the server's URL
  if (address->kind == PORT_ADDRESS_USB) {
    // A slot is what is plugged there now: asked of the system each time,
    // since an adapter plugged back comes back under another device.
    d.location = address->location;
    const std::vector<SystemPort> ports = systemPorts_list();
    const SystemPort *now = portRegistry_atSlot(ports, d.location);
    d.device = now != NULL ? now->device : "";
    d.comNumberNow = now != NULL ? now->comNumber : 0;
  }
  d.serverRate = d.kind_ == PORT_KIND_SOCKET;
  d.registered = true;
  return d;
}

const PortInterface *portInterface_of(const PortDescription &port) {
  return port.kind_ == PORT_KIND_LOCAL ? localPort_interface() : networkPort_interface(port.kind_);
}

std::string portDescription_deviceOfOpen(int port) {
  const PortDescription description = portDescription_of(port);
  if (description.comNumber == 0) return description.device;
  const std::string name = "\\\\.\\COM" + std::to_string(description.comNumber);
  return portList_deviceOfOpen(port, name.c_str());
}

std::string portDescription_openFailure(int port) {
  return portInterface_of(portDescription_of(port))->openFailure(port);
}
