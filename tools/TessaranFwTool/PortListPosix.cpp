#include <errno.h>

#include "PortList.h"
#include "UnitQueries.h"
#include "platform/posix/ComPortNames.h"
#include "platform/posix/PortHolders.h"

std::vector<int> portsToList(void) {
  std::vector<int> ports;
  for (int port = 1; port <= 32; port++) ports.push_back(port);
  return ports;
}

std::string portDevice(int port) {
  char name[32];
  char path[4096];
  snprintf(name, sizeof name, "COM%d", port);
  if (!ComPortNames_resolve(name, path, sizeof path)) return std::string();
  return path;
}

void describePort(PortEntry *entry) { entry->device = portDevice(entry->number); }

PortState stateOfFailedOpen(long systemError) {
  switch (systemError) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTTY:
    case ENOTDIR:
    case 0:  // a name that does not fit
      return PORT_ABSENT;
    default:  // EBUSY (held), EACCES, EIO, ...: there, but not ours to use
      return PORT_BUSY;
  }
}

// The holder from the other programs' lock files and open descriptors, as far
// as the system lets this user see them.
void findPortHolder(PortEntry *entry) {
  PortHolder holder;
  if (entry->device.empty() || !PortHolders_find(entry->device.c_str(), &holder)) return;
  entry->holderPid = holder.pid;
  entry->holderName = holder.name;
}
