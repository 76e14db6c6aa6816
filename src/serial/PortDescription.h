// What the layers above the serial calls know of a port: one description per
// port number, whatever kind of port it is. The driver opens a number; a COM
// number (1 to PORT_ADDRESS_LAST_COM) stands for itself, and every other port
// (a device path, a terminal server's address) is registered here for a
// number past the COM range. Code above the serial calls reads what it needs
// from the description (the name to show, the name for a file, the COM number
// for a report, whether the line's rate is the server's) and never asks which
// kind of port it has.
#ifndef PORTDESCRIPTION_H
#define PORTDESCRIPTION_H

#include <string>
#include <vector>

#include "serial/PortAddress.h"

// Registered ports are numbered from here on, past every COM number.
#define PORT_REGISTRY_FIRST 10001
#define PORT_REGISTRY_SIZE 256

enum PortKind { PORT_KIND_LOCAL, PORT_KIND_RFC2217, PORT_KIND_SOCKET };

struct PortInterface;

struct PortDescription {
  int number = 0;  // the number the driver opens
  int comNumber = 0;        // COMn, 0 for a port that has none
  std::string name;         // for the user and as the argument that names it again:
                            // "COM3", "/dev/ttyUSB0", "rfc2217://host:3001"
  std::string fileName;     // as part of a file name: "COM3", "dev-ttyUSB0", "rfc2217-host-3001"
  std::string device;       // the device opened (COMn: the system's, "" when none), or the URL;
                            // a USB slot's: the one plugged there now, "" when none
  std::string location;     // a USB slot's location, looked up again at each open; else ""
  int comNumberNow = 0;     // a USB slot: the COM number of the device plugged there now
                            // (0: none); it is not the number the driver opens
  bool serverRate = false;  // the line's rate is the server's: no call can change it (socket://)
  bool registered = false;  // known to this process (a COM number always is)
  bool systemDevice = true; // a device of this system (COMn, a path, a USB slot): a failed
                            // open's system error tells absent, busy or denied; false for
                            // a terminal server's port, whose failure is its connection's

 private:
  // Which interface opens the port: asked by the serial calls alone.
  PortKind kind_ = PORT_KIND_LOCAL;
  friend PortDescription portDescription_of(int port);
  friend const PortInterface *portInterface_of(const PortDescription &port);
};

// The number of an address (the same number each time the same address is
// registered; a COM address's number is its COM number), 0 when the table is
// full.
int portRegistry_register(const PortAddress &address);
// The number of a local device by its path; 0 when the table is full or the
// path is no device's.
int portRegistry_registerDevice(const std::string &path);
// The device at a USB slot now: the port whose location is the slot's, else
// the one port below it (an adapter's only interface); NULL when there is
// none or several.
struct SystemPort;
const SystemPort *portRegistry_atSlot(const std::vector<SystemPort> &ports,
                                      const std::string &location);

// The slots at `location` now: each port of the system there, registered as
// the slot of its own location ("usb:1-1.4" names a hub: the slots
// usb:1-1.4.1, usb:1-1.4.2, ... of the adapters plugged behind it), in list
// order; none when nothing is plugged there or the table is full.
std::vector<int> portRegistry_slotsAt(const std::string &location);

// The tool's port arguments (PortArguments.cpp), each registered for the
// number the driver opens; "" or the reason, naming the text.
// One port: a COM number (3, COM3, \\.\COM3), a device's path, a network
// URL, or usb:LOCATION (the one port plugged there; with `slotMayBeEmpty` a
// slot with nothing in it now is taken, found absent at the open).
std::string portArgument_one(const std::string &text, bool slotMayBeEmpty, int *port);
// A comma-separated list: COM numbers and ranges as the port list writes them
// ("1-4", "COM3"), device paths and URLs, then usb:LOCATION items as the slots
// plugged there now (their locations added to *slotLocations; under `watch`
// a location with nothing plugged in yet is taken). The COM ports come
// first, then the others in the order given, a port named twice kept once.
std::string portArgument_list(const std::string &list, bool watch, std::vector<int> *ports,
                              std::vector<std::string> *slotLocations);

// The address registered under `port`, NULL for a COM number or any other.
const PortAddress *portRegistry_address(int port);

// The description of any port number. A number neither COM nor registered
// is named "COMn" as the driver names it, with no COM number and nothing to
// open.
PortDescription portDescription_of(int port);
// The device an open of `port` reaches, as the wire trace names it: a COM
// port's as the system resolves "\\.\COMn" (portList_deviceOfOpen), "" when it
// has none; any other port's description's device.
std::string portDescription_deviceOfOpen(int port);
// Why the last open of `port` failed, as the text after its name ("absent",
// "held by PID 1234 (minicom)", "connection refused"), "" when it did not
// fail or was never tried.
std::string portDescription_openFailure(int port);

#endif  // PORTDESCRIPTION_H
