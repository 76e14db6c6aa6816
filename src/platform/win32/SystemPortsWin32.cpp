// Windows: the COM ports present are the values of the registry key
// HARDWARE\DEVICEMAP\SERIALCOMM (what Device Manager's ports show, virtual
// ports included); SetupAPI's ports class adds, per port, its friendly name,
// manufacturer, location path and the VID, PID and serial number of its
// device ID (or of its parent's: an FTDI port's own ID is the FTDI bus's).
//
// Windows calls here return non-zero upon success, 0 upon failure, except the
// registry's (ERROR_SUCCESS) and the configuration manager's (CR_SUCCESS).
// windows.h comes first: the other Windows headers build on its types.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>

#include "platform/SystemPorts.h"

// The ports class: {4D36E978-E325-11CE-BFC1-08002BE10318}.
static const GUID kSerialPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// "COMn" -> n; 0 for other names.
static int comNumber(const std::string &name) {
  if (_strnicmp(name.c_str(), "COM", 3) != 0 || name.size() < 4 || name[3] < '1' || name[3] > '9')
    return 0;
  char *end = NULL;
  long n = strtol(name.c_str() + 3, &end, 10);
  return *end == '\0' && n > 0 && n < 100000 ? (int)n : 0;
}

static std::string property(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD which) {
  char text[1024];
  DWORD size = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, which, NULL, (BYTE *)text, sizeof text - 2,
                                         &size))
    return std::string();
  // A REG_MULTI_SZ (location paths, hardware IDs): its first string.
  return systemPorts_attributeText(text, size < sizeof text - 2 ? size : sizeof text - 2);
}

static std::string instanceId(DEVINST instance) {
  char id[MAX_DEVICE_ID_LEN + 1] = "";
  if (CM_Get_Device_IDA(instance, id, sizeof id - 1, 0) != CR_SUCCESS) return std::string();
  return systemPorts_attributeText(id, strlen(id));
}

// The ports class's devices with a PortName, by COM number.
static std::map<int, SystemPort> portsClass(void) {
  std::map<int, SystemPort> ports;
  HDEVINFO set = SetupDiGetClassDevsA(&kSerialPortsClass, NULL, NULL, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD i = 0; i < 4096 && SetupDiEnumDeviceInfo(set, i, &device); i++) {
    char portName[64] = "";
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    DWORD size = sizeof portName - 1;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, "PortName", NULL, &type, (BYTE *)portName, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) continue;
    SystemPort port;
    port.comNumber = comNumber(systemPorts_attributeText(portName, size));
    if (port.comNumber == 0) continue;
    port.description = property(set, &device, SPDRP_FRIENDLYNAME);
    port.manufacturer = property(set, &device, SPDRP_MFG);
    port.product = property(set, &device, SPDRP_DEVICEDESC);
    port.location = property(set, &device, SPDRP_LOCATION_PATHS);
    if (port.location.empty()) port.location = property(set, &device, SPDRP_LOCATION_INFORMATION);
    std::string id = instanceId(device.DevInst);
    systemPorts_parseDeviceId(id, &port.vid, &port.pid, &port.serialNumber);
    DEVINST parent;
    if (port.serialNumber.empty() && CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
      int vid, pid;
      std::string serial;
      systemPorts_parseDeviceId(instanceId(parent), &vid, &pid, &serial);
      if (vid >= 0 && port.vid < 0) port.vid = vid, port.pid = pid;
      port.serialNumber = serial;
    }
    port.driver = port.vid >= 0                             ? "usb-serial"
                  : _strnicmp(id.c_str(), "ACPI\\", 5) == 0 ? "uart"
                                                            : "";
    ports[port.comNumber] = port;
  }
  SetupDiDestroyDeviceInfoList(set);
  return ports;
}

std::vector<SystemPort> systemPorts_list(void) {
  std::map<int, SystemPort> details = portsClass();
  std::map<int, SystemPort> present;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    for (DWORD i = 0; i < 4096; i++) {
      char name[256], data[64];
      DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
      if (RegEnumValueA(key, i, name, &nameSize, NULL, &type, (BYTE *)data, &dataSize) !=
          ERROR_SUCCESS)
        break;
      int number = type == REG_SZ ? comNumber(systemPorts_attributeText(data, dataSize)) : 0;
      if (number == 0) continue;
      auto found = details.find(number);
      present[number] = found != details.end() ? found->second : SystemPort();
      present[number].comNumber = number;
    }
    RegCloseKey(key);
  }
  for (const auto &port : details) present.insert(port);  // a port the key left out
  std::vector<SystemPort> ports;
  for (auto &port : present) {
    char device[32];
    snprintf(device, sizeof device, "\\\\.\\COM%d", port.first);
    port.second.device = device;
    ports.push_back(port.second);
  }
  systemPorts_sort(&ports);
  return ports;
}
