// Where a unit is reached: a local COM port ("3", "COM3",
// "\\.\COM257"), a local device by its path on POSIX systems ("/dev/ttyUSB0",
// "/dev/serial/by-id/..."), or a terminal
// server's TCP port, with the serial line's settings carried over RFC 2217
// ("rfc2217://HOST:PORT") or raw bytes only ("socket://HOST:PORT"). HOST is a
// host name, an IPv4 address or an IPv6 address in brackets ("[::1]"). An
// IPv4 address is four decimal numbers 0-255 without leading zeros: forms that
// systems read apart ("127.0.0.010" octal, "0x7f000001", "127.1") are refused.
#ifndef PORTADDRESS_H
#define PORTADDRESS_H

#include <string>

#include "platform/PortList.h"

#define PORT_ADDRESS_LAST_COM PORT_LIST_LAST_COM
#define PORT_ADDRESS_DEVICE_MAX 1024  // characters of a device path
#define PORT_ADDRESS_LAST_TCP 65535

// The forms a port argument takes, for the messages that list them.
#ifdef _WIN32
#define PORT_ADDRESS_FORMS "3, COM3, rfc2217://HOST:PORT or socket://HOST:PORT"
#else
#define PORT_ADDRESS_FORMS \
  "3, COM3, a device path (/dev/ttyUSB0), rfc2217://HOST:PORT or socket://HOST:PORT"
#endif

// PORT_ADDRESS_USB: a USB slot ("usb:1-1.4.2"), the adapter plugged at that
// location whatever device the system gives it; looked up at each open.
enum PortAddressKind {
  PORT_ADDRESS_COM,
  PORT_ADDRESS_RFC2217,
  PORT_ADDRESS_SOCKET,
  PORT_ADDRESS_DEVICE,
  PORT_ADDRESS_USB
};
#define PORT_ADDRESS_USB_PREFIX "usb:"
#define PORT_ADDRESS_LOCATION_MAX 255  // characters of a USB location

struct PortAddress {
  PortAddressKind kind = PORT_ADDRESS_COM;
  int comNumber = 0;   // 1 to PORT_ADDRESS_LAST_COM for a COM port, else 0
  std::string device;  // a device's path, "//" and "/./" folded, else ""
  std::string location;  // a USB slot's location ("1-1.4.2", a Windows location path), else ""
  std::string host;   // lower case, an IPv6 address without its brackets
  int tcpPort = 0;    // 1 to 65535 for a network port, else 0
};

// "3", "COM3" or "\\.\COM3" (letters in any case, at most as many digits as
// PORT_ADDRESS_LAST_COM has) -> 3; 0 for any other text or a number outside
// 1-PORT_ADDRESS_LAST_COM.
int portAddress_comNumber(const std::string &text);

// A device path naming a folder (as the file system finds it now: "/tmp" as
// well as "/tmp/") is no address.
// FALSE for a text that is no address, with the reason in *reason, naming the
// text ("rfc2217://host: no port"); *address is then left as it was.
bool portAddress_parse(const std::string &text, PortAddress *address, std::string *reason);

// "COM3", the device path, "usb:LOCATION", or the URL with the scheme and host in lower case and
// the port without leading zeros ("rfc2217://[::1]:3001").
std::string portAddress_text(const PortAddress &address);

// The address as part of a file name, the same on POSIX and Windows:
// "COM3", "rfc2217-127.0.0.1-3001", "socket-__1-4001" for [::1]:4001,
// "dev-ttyUSB0" for /dev/ttyUSB0, "usb-1-1.4.2" for usb:1-1.4.2 (unbounded: a caller that needs a
// bound applies it).
std::string portAddress_fileName(const PortAddress &address);

#endif  // PORTADDRESS_H
