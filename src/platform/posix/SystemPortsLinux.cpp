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

static std::string baseName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// How many of the USB device's interfaces hold a tty (a ttyUSBn folder, or
// CDC-ACM's tty folder): an adapter with several ports has one per port.
static int portsOfUsbDevice(const std::string &usbDevice) {
  int count = 0;
  DIR *folder = opendir(usbDevice.c_str());
  if (folder == NULL) return 0;
  struct dirent *entry;
  for (int seen = 0; (entry = readdir(folder)) != NULL && seen < MAX_TTYS; seen++) {
    if (strchr(entry->d_name, ':') == NULL) continue;
    DIR *interface = opendir((usbDevice + "/" + entry->d_name).c_str());
    if (interface == NULL) continue;
    struct dirent *child;
    for (int inside = 0; (child = readdir(interface)) != NULL && inside < MAX_TTYS; inside++)
      if (strncmp(child->d_name, "tty", 3) == 0) {
        count++;
        break;
      }
    closedir(interface);
  }
  closedir(folder);
  return count;
}

// The port NAME of /sys/class/tty; false for a tty without hardware.
static bool describeTty(const std::string &ttyDir, const std::string &name, SystemPort *port) {
  const std::string device = resolved(ttyDir + "/device");
  if (device.empty()) return false;
  const std::string type = readAttribute(ttyDir + "/type");
  if (type == "0") return false;
  port->device = "/dev/" + name;  // "pts!5" is /dev/pts/5
  for (char &c : port->device)
    if (c == '!') c = '/';
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
  // The USB device's location ("1-1.4.2"), its interface's ("1-1.4.2:1.0")
  // where the device has more than one port.
  port->location = baseName(portsOfUsbDevice(usbDevice) > 1 ? usbInterface : usbDevice);
  return true;
}

static std::string ttyClassDir(void) {
  const char *root = getenv(SYSFS_ROOT_ENV);
  return std::string(root != NULL && root[0] != '\0' ? root : "/sys") + "/class/tty";
}

bool systemPorts_describeDevice(const std::string &path, SystemPort *port) {
  const std::string device = resolved(path);
  if (device.compare(0, 5, "/dev/") != 0) return false;
  // The kernel names a device of a folder below /dev with '!' for '/' ("pts!5").
  std::string name = device.substr(5);
  for (char &c : name)
    if (c == '/') c = '!';
  SystemPort described;
  if (name.size() > NAME_MAX || !describeTty(ttyClassDir() + "/" + name, name, &described))
    return false;
  described.device = port->device;
  described.comNumber = port->comNumber;
  *port = described;
  return true;
}

std::vector<SystemPort> systemPorts_devices(void) {
  const std::string classDir = ttyClassDir();
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
  return ports;
}
