// The system's ports on POSIX: the devices the platform's source lists, each
// with the COM number the updater's table gives it; or, for tests, the
// entries of the FWUPGRADE_COM_DIR folder.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>

#include "platform/PortList.h"
#include "platform/posix/ComPortNames.h"
#include "platform/posix/SystemPortDevices.h"

#define TABLE_PORTS 32
// More entries than any station has: a folder beyond it is not listed further.
#define MAX_ENTRIES 4096

// COMn entries of the folder whose device is there (stat follows the link),
// each with what the system tells of the device its link names.
static std::vector<SystemPort> comDirPorts(const char *dir) {
  std::vector<SystemPort> ports;
  DIR *folder = opendir(dir);
  if (folder == NULL) return ports;
  struct dirent *entry;
  for (int seen = 0; (entry = readdir(folder)) != NULL && seen < MAX_ENTRIES; seen++) {
    SystemPort port;
    port.comNumber = comPortNames_portNumber(entry->d_name);
    if (port.comNumber == 0 || strncmp(entry->d_name, "COM", 3) != 0) continue;
    // Past the table's last COM number, a port the tool names by its path.
    if (port.comNumber > PORT_LIST_LAST_COM) port.comNumber = 0;
    port.device = std::string(dir) + "/" + entry->d_name;
    struct stat info;
    if (stat(port.device.c_str(), &info) != 0) continue;
    systemPorts_describeDevice(port.device, &port);
    ports.push_back(port);
  }
  closedir(folder);
  return ports;
}

std::vector<SystemPort> systemPorts_list(void) {
  const char *dir = getenv(COM_DIR_ENV);
  std::vector<SystemPort> ports;
  if (dir != NULL && dir[0] != '\0') {
    ports = comDirPorts(dir);
  } else {
    std::map<std::string, int> table;  // device -> COMn
    for (int number = TABLE_PORTS; number >= 1; number--) {
      char name[16], path[4096];
      snprintf(name, sizeof name, "COM%d", number);
      if (comPortNames_resolve(name, path, sizeof path)) table[path] = number;
    }
    ports = systemPorts_devices();
    for (SystemPort &port : ports) {
      auto found = table.find(port.device);
      if (found != table.end()) port.comNumber = found->second;
    }
  }
  systemPorts_sort(&ports);
  return ports;
}
