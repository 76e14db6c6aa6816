// Every serial port the system has, with what the system tells about the
// adapter behind it: one file per platform (posix/SystemPortsLinux.cpp,
// posix/SystemPortsMacOS.cpp, win32/SystemPortsWin32.cpp) fills the list;
// SystemPorts.cpp holds the order and the text rules they share.
//
// Order of the list: first the ports of the updater's table (COM1 to COM32),
// in COM order, so that the first unit found is the one the updater would
// find; then the others by kind (usb-serial, cdc-acm, uart, any other) and,
// within a kind, by device name in natural order (ttyUSB2 before ttyUSB10,
// COM40 before COM257).
//
// Sources:
//   Linux    /sys/class/tty/*/device (no udev needed); ttys without a device
//            (virtual consoles, pseudo-terminals) and serial8250 placeholders
//            (`type` 0: no UART behind them) are left out. The sysfs root is
//            FWUPGRADE_SYSFS_ROOT when set (tests build a fake tree).
//   macOS    the call-out devices /dev/cu.* (no adapter details).
//   Windows  the registry's HARDWARE\DEVICEMAP\SERIALCOMM (the COM ports
//            present) and SetupAPI's ports class for the adapter details.
// With FWUPGRADE_COM_DIR set (POSIX tests), the list is that folder's COMn
// entries whose device is there, in COM order; the machine's own ports are
// not listed, so a test never reaches them.
#ifndef SYSTEMPORTS_H
#define SYSTEMPORTS_H

#include <stddef.h>

#include <string>
#include <vector>

#define SYSFS_ROOT_ENV "FWUPGRADE_SYSFS_ROOT"

struct SystemPort {
  std::string device;  // the path that opens it: /dev/ttyUSB0, \\.\COM40, a COM_DIR entry
  int comNumber = 0;   // COMn: the updater's table (POSIX), the system's (Windows); 0: none
  std::string driver;  // usb-serial, cdc-acm, uart, ...; "" when the system does not say
  // Where the adapter is plugged: the USB device's path of hub ports
  // ("1-1.4.2"; "1-1.4.2:1.0" on adapters with several ports), or Windows'
  // location path.
  std::string location;
  std::string serialNumber, manufacturer, product;
  std::string description;  // the kernel driver's name, Windows' friendly name
  int vid = -1, pid = -1;   // USB vendor and product IDs; -1 when not USB
};

// Every port the system has, in the order above.
std::vector<SystemPort> systemPorts_list(void);

// Sorts into the order above.
void systemPorts_sort(std::vector<SystemPort> *ports);

// True when `location` is the slot `pattern` names: the same location, or one
// below it (a hub's port, an adapter's interface). Whole components only:
// "1-1.4" holds "1-1.4.2" and "1-1.4:1.0" but not "1-1.40".
bool systemPorts_locationMatches(const std::string &location, const std::string &pattern);
// The ports of `ports` at the slot `pattern` names, in list order.
std::vector<SystemPort> systemPorts_atLocation(const std::vector<SystemPort> &ports,
                                               const std::string &pattern);

// The first line of a system attribute's bytes (a sysfs file, a registry
// string), at most SYSTEM_TEXT_MAX bytes, trailing blanks removed, control
// bytes as '?'.
#define SYSTEM_TEXT_MAX 255
std::string systemPorts_attributeText(const char *bytes, size_t size);
// Four hex digits ("0403") as a number; -1 for anything else.
int systemPorts_hexId(const std::string &text);
// VID_xxxx and PID_xxxx from a Windows device ID ("USB\VID_0403&PID_6001\A5X",
// "FTDIBUS\VID_0403+PID_6001+A5XA\0000") and the serial number its USB
// form carries (the last part, when the system did not make it up: an
// instance of a device without a serial number contains '&').
void systemPorts_parseDeviceId(const std::string &id, int *vid, int *pid, std::string *serial);

#endif  // SYSTEMPORTS_H
