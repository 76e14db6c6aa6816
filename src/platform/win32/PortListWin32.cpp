// Windows: the COM ports present are the DOS devices named COMn; SetupAPI's
// ports class gives their friendly names ("USB Serial Port (COM7)").
//
// Windows calls here return non-zero upon success, 0 upon failure.
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "platform/OpenFailures.h"
#include "platform/Platform.h"
#include "platform/PortList.h"

// The ports class: {4D36E978-E325-11CE-BFC1-08002BE10318}.
static const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE,
                                 {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// "COMn" -> n; 0 for other names.
static int comNumber(const char *name) {
  if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
  char *end = NULL;
  long n = strtol(name + 3, &end, 10);
  return *end == '\0' && n > 0 && n <= PORT_LIST_LAST_COM ? (int)n : 0;
}

std::vector<int> portList_ports(void) {
  std::vector<int> ports;
  for (int port = 1; port <= 32; port++) ports.push_back(port);
  // All DOS device names, NUL-separated; ERROR_INSUFFICIENT_BUFFER: try a
  // larger buffer.
  std::vector<char> names(64 * 1024);
  DWORD length = 0;
  while ((length = QueryDosDeviceA(NULL, names.data(), (DWORD)names.size())) == 0 &&
         GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < 16u * 1024 * 1024)
    names.resize(names.size() * 2);
  for (const char *name = names.data(); length > 0 && *name != '\0'; name += strlen(name) + 1) {
    int n = comNumber(name);
    if (n > 32) ports.push_back(n);
  }
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

std::string portList_device(int port) {
  char name[32];
  char target[1024];
  snprintf(name, sizeof name, "COM%d", port);
  if (QueryDosDeviceA(name, target, sizeof target) == 0) return std::string();
  return target;
}

std::string portList_deviceOfOpen(int port, const char *name) {
  (void)port;
  return name;
}

// Friendly names of the ports class devices, by port number.
static const std::map<int, std::string> &friendlyNames(void) {
  static std::map<int, std::string> names;
  static bool loaded = false;
  if (loaded) return names;
  loaded = true;
  // Returns INVALID_HANDLE_VALUE upon failure.
  HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, NULL, NULL, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
    char portName[64] = "";
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    DWORD size = sizeof portName - 1;
    DWORD type = 0;
    // Returns ERROR_SUCCESS upon success, an error number upon failure.
    LONG status = RegQueryValueExA(key, "PortName", NULL, &type, (BYTE *)portName, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) continue;
    int n = comNumber(portName);
    if (n == 0) continue;
    char friendly[256] = "";
    if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, NULL, (BYTE *)friendly,
                                          sizeof friendly - 1, NULL))
      names[n] = friendly;
  }
  SetupDiDestroyDeviceInfoList(set);
  return names;
}

void portList_describe(PortEntry *entry) {
  entry->device = portList_device(entry->number);
  auto found = friendlyNames().find(entry->number);
  if (found != friendlyNames().end()) entry->friendlyName = found->second;
}

void portList_checkDevice(PortEntry *entry) {
  HANDLE handle = CreateFileA(entry->device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
  if (handle == INVALID_HANDLE_VALUE) {
    entry->state = portList_stateOfFailedOpen((long)GetLastError());
    return;
  }
  CloseHandle(handle);
  entry->state = PORT_FREE;
}

PortState portList_stateOfFailedOpen(long systemError) {
  switch (systemError) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PORT_BUSY;
    default:  // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, a name that does not fit
      return PORT_ABSENT;
  }
}

// Windows does not tell which process holds a COM port without a driver-level
// handle scan; a busy port is shown without its holder.
void portList_findHolder(PortEntry *entry) { (void)entry; }

// A COM name reaches a port or nothing: no file or folder stands behind one.
std::string portList_notSerialText(long) { return ""; }

std::string openFailures_text(int port) {
  PortOpenFailure failure;
  if (!openFailures_find(port, &failure)) return std::string();
  switch (failure.code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return "in use by another program: close it and try again";
    default:
      break;
  }
  if (portList_stateOfFailedOpen(failure.code) == PORT_ABSENT) return "absent";
  char text[64];
  snprintf(text, sizeof text, "cannot be opened: system error %ld", failure.code);
  return text;
}
