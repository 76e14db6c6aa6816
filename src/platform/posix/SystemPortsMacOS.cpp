// macOS: the call-out devices /dev/cu.*, which open without waiting for
// carrier. The adapter's USB details live in the I/O Registry, not read here:
// their fields stay empty.
#include <dirent.h>
#include <string.h>

#include "platform/posix/SystemPortDevices.h"

#define MAX_DEVICES 4096

std::vector<SystemPort> systemPorts_devices(void) {
  std::vector<SystemPort> ports;
  DIR *dir = opendir("/dev");
  if (dir == NULL) return ports;
  struct dirent *entry;
  for (int seen = 0; (entry = readdir(dir)) != NULL && seen < MAX_DEVICES * 16; seen++) {
    if (strncmp(entry->d_name, "cu.", 3) != 0 || ports.size() >= MAX_DEVICES) continue;
    SystemPort port;
    port.device = std::string("/dev/") + entry->d_name;
    port.driver = strstr(entry->d_name, "usb") != NULL ? "usb-serial" : "";
    ports.push_back(port);
  }
  closedir(dir);
  return ports;
}

bool systemPorts_describeDevice(const std::string &path, SystemPort *port) {
  (void)path;
  (void)port;
  return false;
}
