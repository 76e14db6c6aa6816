// Linux: the serial ports from sysfs, as the kernel describes them; no udev
// needed. A tty with hardware behind it has a `device` link in
// /sys/class/tty/NAME; where that device sits tells the kind:
//   usb-serial  the device is the port of a USB serial driver; its parent is
//               the USB interface, whose parent is the USB device
//   usb         a CDC-ACM port: the device is the USB interface itself
//   anything else (serial-base, pnp, platform, amba, pci): a UART
// The USB device's folder holds idVendor, idProduct, serial, manufacturer and
// product, and its name is the location (bus-hub port.hub port...). A serial
// core port whose `type` is 0 has no UART behind it (the 8250 driver's
// placeholders ttyS1-ttyS31): left out.
//
// Every file read here is bounded; a missing file leaves its field empty.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>

#include "platform/posix/SystemPortDevices.h"

// More ttys than any system has: a folder beyond it is not listed further.
#define MAX_TTYS 4096

static std::string readAttribute(const std::string &path) {
  char bytes[SYSTEM_TEXT_MAX + 1];
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string();
  ssize_t count = read(fd, bytes, sizeof bytes);
  close(fd);
  return count > 0 ? systemPorts_attributeText(bytes, (size_t)count) : std::string();
}

static std::string resolved(const std::string &path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) != NULL ? std::string(real) : std::string();
}

static std::string parentOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

static std::string baseName(const std::string &path) {
  return path.substr(path.rfind('/') + 1);
}

// The port NAME of /sys/class/tty; false for a tty without hardware.
static bool describeTty(const std::string &ttyDir, const std::string &name, SystemPort *port) {
  const std::string device = resolved(ttyDir + "/device");
  if (device.empty()) return false;
  const std::string type = readAttribute(ttyDir + "/type");
  if (type == "0") return false;
  port->device = "/dev/" + name;
  port->description = baseName(resolved(device + "/driver"));
  const std::string subsystem = baseName(resolved(device + "/subsystem"));
  std::string usbInterface;
  if (subsystem == "usb-serial") {
    port->driver = "usb-serial";
    usbInterface = parentOf(device);
  } else if (subsystem == "usb") {
    port->driver = "cdc-acm";
    usbInterface = device;
  } else {
    port->driver = "uart";
    return true;
  }
  const std::string usbDevice = parentOf(usbInterface);
  if (usbDevice.empty()) return true;
  port->vid = systemPorts_hexId(readAttribute(usbDevice + "/idVendor"));
  port->pid = systemPorts_hexId(readAttribute(usbDevice + "/idProduct"));
  port->serialNumber = readAttribute(usbDevice + "/serial");
  port->manufacturer = readAttribute(usbDevice + "/manufacturer");
  port->product = readAttribute(usbDevice + "/product");
  port->location = baseName(usbInterface);  // narrowed to the device below
  return true;
}

std::vector<SystemPort> systemPorts_devices(void) {
  const char *root = getenv(SYSFS_ROOT_ENV);
  const std::string classDir = std::string(root != NULL && root[0] != '\0' ? root : "/sys") +
                               "/class/tty";
  std::vector<SystemPort> ports;
  DIR *folder = opendir(classDir.c_str());
  if (folder == NULL) return ports;
  struct dirent *entry;
  for (int seen = 0; (entry = readdir(folder)) != NULL && seen < MAX_TTYS; seen++) {
    const std::string name = entry->d_name;
    if (name[0] == '.' || name.size() > NAME_MAX) continue;
    SystemPort port;
    if (describeTty(classDir + "/" + name, name, &port)) ports.push_back(port);
  }
  closedir(folder);
  // The location is the USB device's ("1-1.4.2"), and its interface's
  // ("1-1.4.2:1.0") only where the device has more than one port.
  std::map<std::string, int> portsOfDevice;
  auto deviceOf = [](const std::string &location) { return location.substr(0, location.find(':')); };
  for (const SystemPort &port : ports)
    if (!port.location.empty()) portsOfDevice[deviceOf(port.location)]++;
  for (SystemPort &port : ports)
    if (!port.location.empty() && portsOfDevice[deviceOf(port.location)] == 1)
      port.location = deviceOf(port.location);
  return ports;
}
