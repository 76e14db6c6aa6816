// The serial devices a POSIX system has, from its own source (Linux: sysfs;
// macOS: /dev/cu.*), in any order; SystemPortsPosix.cpp adds the updater's
// COM numbers, the FWUPGRADE_COM_DIR folder for tests, and the order.
#ifndef SYSTEMPORTDEVICES_H
#define SYSTEMPORTDEVICES_H

#include <vector>

#include "platform/SystemPorts.h"

std::vector<SystemPort> systemPorts_devices(void);

#endif  // SYSTEMPORTDEVICES_H
