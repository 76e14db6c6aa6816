// The port argument's parser: COM ports and network addresses, their text and
// their file-name form.
#include <gtest/gtest.h>

#include <string>

#include "serial/PortAddress.h"
#include "serial/PortDescription.h"

namespace {

struct ParseCase {
  const char *text;
  bool parses;
  const char *result;  // the normalised address, or the reason when parsing fails
  PortAddressKind kind = PORT_ADDRESS_COM;
  int comNumber = 0;
  const char *host = "";
  int tcpPort = 0;
};

const PortAddressKind COM = PORT_ADDRESS_COM, RFC = PORT_ADDRESS_RFC2217, RAW = PORT_ADDRESS_SOCKET,
                      DEV = PORT_ADDRESS_DEVICE, USB = PORT_ADDRESS_USB;

#define WRITE_FOUR "; write four decimal numbers 0-255 without leading zeros"

TEST(PortAddress, ParsesComPortsAndNetworkAddresses) {
  const ParseCase cases[] = {
      {"3", true, "COM3", COM, 3, "", 0},
      {"cOm255", true, "COM255", COM, 255, "", 0},
      {"COM007", true, "COM7", COM, 7, "", 0},
      {"rfc2217://127.0.0.1:3001", true, "rfc2217://127.0.0.1:3001", RFC, 0, "127.0.0.1", 3001},
      {"RFC2217://Term-1.Lab:03001", true, "rfc2217://term-1.lab:3001", RFC, 0, "term-1.lab", 3001},
      {"socket://[::1]:4001", true, "socket://[::1]:4001", RAW, 0, "::1", 4001},
      {"socket://[FE80::A:1]:65535", true, "socket://[fe80::a:1]:65535", RAW, 0, "fe80::a:1",
       65535},
      {"socket://[::ffff:192.0.2.1]:1", true, "socket://[::ffff:192.0.2.1]:1", RAW, 0,
       "::ffff:192.0.2.1", 1},
      {"socket://[1:2:3:4:5:6:7:8]:9", true, "socket://[1:2:3:4:5:6:7:8]:9", RAW, 0,
       "1:2:3:4:5:6:7:8", 9},
      {"\\\\.\\com7", true, "COM7", COM, 7},
      {"", false, "no port given"},
#ifdef _WIN32
      {"COM4096", true, "COM4096", COM, 4096},
      {"\\\\.\\COM257", true, "COM257", COM, 257},
      {"0", false, "0: not a COM number 1-4096"},
      {"COM4097", false, "COM4097: not a COM number 1-4096"},
      {"/dev/ttyUSB0", false,
       "/dev/ttyUSB0: device paths are for POSIX systems; give the port as COMn"},
      {"ttyUSB0", false, "ttyUSB0: expects 3, COM3, rfc2217://HOST:PORT or socket://HOST:PORT"},
#else
      {"/dev/ttyUSB0", true, "/dev/ttyUSB0", DEV},
      {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", true,
       "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", DEV},
      {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.4:1.0-port0", true,
       "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.4:1.0-port0", DEV},
      {"/dev/cu.usbserial-A50285BI", true, "/dev/cu.usbserial-A50285BI", DEV},
      {"//dev/./pts//3", true, "/dev/pts/3", DEV},
      {"/dev/../tmp/x", false, "/dev/../tmp/x: \"..\" in a device path"},
      {"/dev/", false, "/dev/: a folder, not a device"},
      {"/dev/ttyUSB0/.", false, "/dev/ttyUSB0/.: a folder, not a device"},
      {"/", false, "/: a folder, not a device"},
      {"/tmp", false, "/tmp: a folder, not a device"},  // as the file system finds it
      {"//dev//pts", false, "//dev//pts: a folder, not a device"},
      {"/dev/tty\x1b[2J", false, "/dev/tty?[2J: control character in the device path"},
      {"0", false, "0: not a COM number 1-255"},
      {"COM256", false, "COM256: not a COM number 1-255"},
      {"com0003", false, "com0003: not a COM number 1-255"},
      {"ttyUSB0", false,
       "ttyUSB0: expects 3, COM3, a device path (/dev/ttyUSB0), rfc2217://HOST:PORT or "
       "socket://HOST:PORT"},
#endif
      {"host:3001", false, "host:3001: expects " PORT_ADDRESS_FORMS},
      {"ftp://host:21", false, "ftp://host:21: unknown scheme ftp (rfc2217 or socket)"},
      {"://host:21", false, "://host:21: no scheme (rfc2217 or socket)"},
      {"\x1b[2J://h:1", false, "?[2J://h:1: unknown scheme ?[2J (rfc2217 or socket)"},
      {"rfc2217://host", false, "rfc2217://host: no port"},
      {"rfc2217://host:", false, "rfc2217://host:: no port"},
      {"socket://:3001", false, "socket://:3001: no host"},
      {"rfc2217://host:70000", false, "rfc2217://host:70000: port 70000 out of range 1-65535"},
      {"rfc2217://host:000", false, "rfc2217://host:000: port 0 out of range 1-65535"},
      {"rfc2217://host:4294970297", false,
       "rfc2217://host:4294970297: port 4294970297 out of range 1-65535"},
      {"rfc2217://host:3001/", false, "rfc2217://host:3001/: port 3001/ is not a number"},
      {"rfc2217://::1:3001", false, "rfc2217://::1:3001: an IPv6 address goes in brackets: [::1]"},
      {"rfc2217://[::1:3001", false, "rfc2217://[::1:3001: no ']' after the IPv6 address"},
      {"rfc2217://[::1]3001", false, "rfc2217://[::1]3001: expects :PORT after [::1]"},
      {"rfc2217://[1::2::3]:1", false, "rfc2217://[1::2::3]:1: bad IPv6 address [1::2::3]"},
      {"rfc2217://[1:2:3:4:5:6:7:8:9]:1", false,
       "rfc2217://[1:2:3:4:5:6:7:8:9]:1: bad IPv6 address [1:2:3:4:5:6:7:8:9]"},
      {"rfc2217://[1::2:3:4:5:6:7:8]:1", false,
       "rfc2217://[1::2:3:4:5:6:7:8]:1: bad IPv6 address [1::2:3:4:5:6:7:8]"},
      {"rfc2217://[1:]:1", false, "rfc2217://[1:]:1: bad IPv6 address [1:]"},
      {"rfc2217://[]:1", false, "rfc2217://[]:1: bad IPv6 address []"},
      {"rfc2217://under_score:1", false, "rfc2217://under_score:1: bad host name under_score"},
      {"rfc2217://-a.lab:1", false, "rfc2217://-a.lab:1: bad host name -a.lab"},
      {"rfc2217://a..lab:1", false, "rfc2217://a..lab:1: bad host name a..lab"},
      {"rfc2217://0x10.lab:1", true, "rfc2217://0x10.lab:1", RFC, 0, "0x10.lab", 1},
      // Numeric hosts that systems read apart, 127.0.0.8 for the first.
      {"socket://127.0.0.010:47010", false,
       "socket://127.0.0.010:47010: address 127.0.0.010: 010 "
       "has a leading zero (octal to some systems)" WRITE_FOUR},
      {"rfc2217://0X7f000001:1", false,
       "rfc2217://0X7f000001:1: address 0x7f000001: 0x7f000001 "
       "is hexadecimal" WRITE_FOUR},
      {"rfc2217://127.1:1", false, "rfc2217://127.1:1: address 127.1: 2 parts" WRITE_FOUR},
      {"rfc2217://1.2.3.4.5:1", false,
       "rfc2217://1.2.3.4.5:1: address 1.2.3.4.5: 5 parts" WRITE_FOUR},
      {"rfc2217://300.1.1.1:1", false,
       "rfc2217://300.1.1.1:1: address 300.1.1.1: 300 is above 255" WRITE_FOUR},
      {"rfc2217://[::ffff:10.0.0.08]:1", false,
       "rfc2217://[::ffff:10.0.0.08]:1: bad IPv6 address [::ffff:10.0.0.08]"},
      {"rfc2217://user@host:1", false, "rfc2217://user@host:1: bad host name user@host"},
      {"usb:1-1.4.2:1.0", true, "usb:1-1.4.2:1.0", USB},
      {"usb:", false, "usb:: no USB location after usb: (ports shows each adapter's location)"},
      {"usb:1-1/../x", false, "usb:1-1/../x: character / in a USB location"},
      {"usb:1-1\x1b[2J", false, "usb:1-1?[2J: character ? in a USB location"},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(c.text);
    PortAddress address;
    address.host = "untouched";
    std::string reason;
    const bool parsed = portAddress_parse(c.text, &address, &reason);
    EXPECT_EQ(parsed, c.parses);
    if (!parsed) {
      EXPECT_EQ(reason, c.result);
      EXPECT_EQ(address.host, "untouched");
      continue;
    }
    EXPECT_EQ(portAddress_text(address), c.result);
    EXPECT_EQ(address.kind, c.kind);
    EXPECT_EQ(address.comNumber, c.comNumber);
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.tcpPort, c.tcpPort);
    PortAddress again;  // the text given back parses to the same address
    ASSERT_TRUE(portAddress_parse(portAddress_text(address), &again, &reason));
    EXPECT_EQ(portAddress_text(again), c.result);
  }
}

TEST(PortAddress, FileNamesAreSafeOnEverySystem) {
  const struct {
    const char *text;
    const char *fileName;
  } cases[] = {
      {"com3", "COM3"},
      {"rfc2217://127.0.0.1:3001", "rfc2217-127.0.0.1-3001"},
      {"Socket://Term-1.LAB:0100", "socket-term-1.lab-100"},
      {"rfc2217://[::1]:3001", "rfc2217-__1-3001"},
      {"socket://[fe80::a:1]:2", "socket-fe80__a_1-2"},
      {"usb:1-1.4.2", "usb-1-1.4.2"},
      {"usb:1-1.4.2:1.0", "usb-1-1.4.2_1.0"},
      {"usb:PCIROOT(0)#USB(4)", "usb-PCIROOT_0__USB_4_"},
#ifndef _WIN32
      {"/dev/ttyUSB0", "dev-ttyUSB0"},
      {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.4:1.0-port0",
       "dev-serial-by-path-pci-0000_00_14.0-usb-0_1.4_1.0-port0"},
#endif
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    PortAddress address;
    std::string reason;
    ASSERT_TRUE(portAddress_parse(c.text, &address, &reason)) << reason;
    const std::string name = portAddress_fileName(address);
    EXPECT_EQ(name, c.fileName);
    EXPECT_EQ(name.find_first_of(":/\\[]*?\"<>|"), std::string::npos);
  }
}

}  // namespace

// The tool's --port and --ports arguments, as the names of the ports they
// name or the reason they are refused.
TEST(PortArguments, OnePortAndLists) {
  const std::string last = std::to_string(PORT_ADDRESS_LAST_COM);
  const std::string slotHelp = " (ports shows each adapter's location)";
  struct Case {
    bool list;
    const char *text;
    bool mayBeEmpty;  // a slot with nothing plugged in: --port's slotMayBeEmpty, --ports' watch
    std::string result;
  } cases[] = {
      {false, "3", false, "COM3"},
      {false, "\\\\.\\com7", false, "COM7"},
      {false, "COM0", false, "expects a COM number 1-" + last + " (3 or COM3), not \"COM0\""},
      {false, "rfc2217://Host:0300", false, "rfc2217://host:300"},
      {false, "socket://h", false, "socket://h: no port"},
      {false, "usb:9-9.9", false, "no serial port at usb:9-9.9" + slotHelp},
      {false, "usb:9-9.9", true, "usb:9-9.9"},
      {true, "COM2-COM3,rfc2217://h:1,1,COM2", false, "COM2,COM3,COM1,rfc2217://h:1"},
      {true, "\\\\.\\COM4,socket://h:2", false, "COM4,socket://h:2"},
      {true, "1,,2", false, "bad port list \"1,,2\" (COM numbers 1 to " + last + ", e.g. 1-8,12 or COM3)"},
      {true, "2,socket://h", false, "bad port list \"2,socket://h\": socket://h: no port"},
      {true, "usb:9-9.9", false, "bad port list \"usb:9-9.9\": no serial port at usb:9-9.9" + slotHelp},
      {true, "usb:9-9.9", true, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<int> ports(1, 0);
    std::vector<std::string> slots;
    const std::string reason = c.list ? portArgument_list(c.text, c.mayBeEmpty, &(ports = {}), &slots)
                                      : portArgument_one(c.text, c.mayBeEmpty, &ports[0]);
    std::string result = reason;
    for (size_t i = 0; reason.empty() && i < ports.size(); i++)
      result += (i > 0 ? "," : "") + portDescription_of(ports[i]).name;
    EXPECT_EQ(result, c.result);
  }
}
