// The system's ports: slot matching, Windows device IDs, and (POSIX) the list
// read from a fake sysfs tree.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/SystemPorts.h"
#include "serial/PortInterface.h"

TEST(SystemPorts, LocationMatchesWholeComponents) {
  struct Row {
    const char *location, *pattern;
    bool matches;
  } rows[] = {
      {"1-1.4.2", "1-1.4.2", true},
      {"1-1.4.2", "1-1.4", true},
      {"1-1.4.2:1.0", "1-1.4.2", true},
      {"1-1.40", "1-1.4", false},
      {"1-1.4", "1-1.4.2", false},
      {"1-1.4", "", false},
      {"11-1", "1", false},
      {"1-1", "1", true},
      {"PCIROOT(0)#USB(1)#USB(4)", "PCIROOT(0)#USB(1)", true},
      {"PCIROOT(0)#USB(14)", "PCIROOT(0)#USB(1", false},
  };
  for (const Row &row : rows)
    EXPECT_EQ(systemPorts_locationMatches(row.location, row.pattern), row.matches)
        << row.location << " / " << row.pattern;
}

TEST(SystemPorts, WindowsDeviceIds) {
  struct Row {
    const char *id;
    int vid, pid;
    const char *serial;
  } rows[] = {
      {"USB\\VID_0403&PID_6001\\A50285BI", 0x403, 0x6001, "A50285BI"},
      {"usb\\vid_2341&pid_0043\\7523031383335", 0x2341, 0x43, "7523031383335"},
      {"USB\\VID_067B&PID_2303\\5&2A1B3C&0&2", 0x67b, 0x2303, ""},  // the system's, not a serial
      {"FTDIBUS\\VID_0403+PID_6015+DN05ABCDA\\0000", 0x403, 0x6015, "DN05ABCD"},
      {"USB\\VID_10C4&PID_EA60&MI_00\\6&1F&0&0000", 0x10c4, 0xea60, ""},
      {"ACPI\\PNP0501\\0", -1, -1, ""},
      {"USB\\VID_04G3&PID_60\\X", -1, -1, "X"},
  };
  for (const Row &row : rows) {
    int vid = 0, pid = 0;
    std::string serial = "?";
    systemPorts_parseDeviceId(row.id, &vid, &pid, &serial);
    EXPECT_EQ(vid, row.vid) << row.id;
    EXPECT_EQ(pid, row.pid) << row.id;
    EXPECT_EQ(serial, row.serial) << row.id;
  }
}

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

// One tty of the fake tree: the bus its device is on ("": a tty without a
// device), the USB device and interface above it, its serial core `type`.
struct FakeTty {
  const char *name, *bus, *usbDevice, *interface, *type, *serial;
};

static void write(const std::string &path, const std::string &text) {
  FILE *file = fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr) << path;
  fputs(text.c_str(), file);
  fclose(file);
}

// Lists the ports of a fake /sys with the updater's table in place: the
// table's ports first, the others by kind, then in natural order; no ttys
// without hardware; a location per USB device, its interface's on a
// two-port adapter.
TEST(SystemPorts, ListFromSysfs) {
  const FakeTty ttys[] = {
      {"ttyUSB100", "usb-serial", "1-2", "1-2:1.0", "", "B2\n"},
      {"ttyS4", "pnp", "", "00:05", "4", ""},
      {"ttyACM12", "usb", "1-1.4", "1-1.4:1.0", "", "\x01\x1b[2J CDC  \n"},
      {"ttyUSB16", "usb-serial", "1-1.3", "1-1.3:1.1", "", "A3"},
      {"ttyS1", "platform", "", "serial8250", "0", ""},
      {"tty0", "", "", "", "", ""},
      {"ttyUSB0", "usb-serial", "1-1.40", "1-1.40:1.0", "", "A1"},
      {"ttyS0", "pnp", "", "00:01", "4", ""},
      {"ttyUSB1", "usb-serial", "1-1.3", "1-1.3:1.0", "", "A3"},
  };
  char pattern[] = "/tmp/sysfs-XXXXXX";
  const std::string root = mkdtemp(pattern);
  for (const char *dir : {"/class", "/class/tty", "/bus", "/devices"})
    ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
  for (const char *bus : {"usb-serial", "usb", "pnp", "platform"})
    mkdir((root + "/bus/" + bus).c_str(), 0755);
  for (const FakeTty &tty : ttys) {
    const std::string ttyDir = root + "/class/tty/" + tty.name;
    mkdir(ttyDir.c_str(), 0755);
    if (tty.type[0]) write(ttyDir + "/type", tty.type);
    if (!tty.bus[0]) continue;
    std::string device = root + "/devices/" + tty.usbDevice;
    mkdir(device.c_str(), 0755);
    if (tty.usbDevice[0]) {
      write(device + "/idVendor", "0403\n");
      write(device + "/idProduct", "6001\n");
      write(device + "/serial", tty.serial);
      write(device + "/product", "FT232R USB UART\n");
    }
    device += std::string("/") + tty.interface;
    mkdir(device.c_str(), 0755);
    if (std::string(tty.bus) == "usb-serial")
      mkdir((device += std::string("/") + tty.name).c_str(), 0755);
    ASSERT_EQ(symlink((root + "/bus/" + tty.bus).c_str(), (device + "/subsystem").c_str()), 0);
    ASSERT_EQ(symlink(device.c_str(), (ttyDir + "/device").c_str()), 0);
  }
  setenv(SYSFS_ROOT_ENV, root.c_str(), 1);
  unsetenv("FWUPGRADE_COM_DIR");
  const std::vector<SystemPort> list = systemPorts_list();
  unsetenv(SYSFS_ROOT_ENV);
  std::string got;
  for (const SystemPort &port : list)
    got += port.device + " COM" + std::to_string(port.comNumber) + " " + port.driver + " " +
           port.location + " " + port.serialNumber + " " + std::to_string(port.vid) + ":" +
           std::to_string(port.pid) + " " + port.product + "\n";
  EXPECT_EQ(got,
            "/dev/ttyS0 COM1 uart   -1:-1 \n"
            "/dev/ttyUSB0 COM5 usb-serial 1-1.40 A1 1027:24577 FT232R USB UART\n"
            "/dev/ttyUSB1 COM6 usb-serial 1-1.3:1.0 A3 1027:24577 FT232R USB UART\n"
            "/dev/ttyUSB16 COM0 usb-serial 1-1.3:1.1 A3 1027:24577 FT232R USB UART\n"
            "/dev/ttyUSB100 COM0 usb-serial 1-2 B2 1027:24577 FT232R USB UART\n"
            "/dev/ttyACM12 COM0 cdc-acm 1-1.4 ??[2J CDC 1027:24577 FT232R USB UART\n"
            "/dev/ttyS4 COM0 uart   -1:-1 \n");
  // A slot names the ports below it, whatever their ttyUSBn.
  got.clear();
  for (const char *slot : {"1-1.3", "1-1.4", "1-1", "3"}) {
    std::string found;
    for (const SystemPort &port : systemPorts_atLocation(list, slot)) found += port.device + " ";
    got += std::string(slot) + ": " + found + "\n";
  }
  EXPECT_EQ(
      got,
      "1-1.3: /dev/ttyUSB1 /dev/ttyUSB16 \n"
      "1-1.4: /dev/ttyACM12 \n1-1: /dev/ttyUSB0 /dev/ttyUSB1 /dev/ttyUSB16 /dev/ttyACM12 \n3: \n");

  // A slot is looked up at each use: a hub's location names each adapter's
  // slot; one plugged back as another tty is the same slot; an empty one is absent.
  setenv(SYSFS_ROOT_ENV, root.c_str(), 1);
  got.clear();
  for (int port : portRegistry_slotsAt("1-1.3")) got += portDescription_of(port).name + " ";
  const int slot = portRegistry_slotsAt("1-2").at(0);
  std::string tty = "ttyUSB100";
  for (const char *next : {"ttyUSB7", "../gone", ""}) {
    got += portDescription_of(slot).fileName + "=" + portDescription_of(slot).device + " ";
    const std::string from = root + "/class/tty/" + tty;
    if (*next) rename(from.c_str(), (root + "/class/tty/" + (tty = next)).c_str());
  }
  EXPECT_EQ(got,
            "usb:1-1.3:1.0 usb:1-1.3:1.1 usb-1-2=/dev/ttyUSB100 usb-1-2=/dev/ttyUSB7 usb-1-2= ");
  SystemError error;
  EXPECT_EQ(localPort_interface()->open(portDescription_of(slot), {"COM10001", 0, 0, 0, 0}, &error),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(portDescription_openFailure(slot), "absent");
  unsetenv(SYSFS_ROOT_ENV);
  system(("rm -rf " + root).c_str());
}
#endif
