// The serial devices a POSIX system has, from its own source (Linux: sysfs;
// macOS: /dev/cu.*), in any order; SystemPortsPosix.cpp adds the updater's
// COM numbers, the FWUPGRADE_COM_DIR folder for tests, and the order.
#ifndef SYSTEMPORTDEVICES_H
#define SYSTEMPORTDEVICES_H

#include <vector>

#include "platform/SystemPorts.h"

std::vector<SystemPort> systemPorts_devices(void);
// What the system tells of the device at `path` (after links: /dev/ttyUSB3,
// /dev/pts/5): driver, location, serial number, ...; false when it tells
// nothing. `port`'s device and COM number are left as they are.
bool systemPorts_describeDevice(const std::string &path, SystemPort *port);

#endif  // SYSTEMPORTDEVICES_H
