// The port argument's parser: COM numbers, device paths and the two network
// URL schemes.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "serial/PortAddress.h"

static const struct {
  const char *name;
  PortAddressKind kind;
} kSchemes[] = {{"rfc2217", PORT_ADDRESS_RFC2217}, {"socket", PORT_ADDRESS_SOCKET}};

static std::string lowerCase(std::string text) {
  for (char &c : text) c = (char)tolower((unsigned char)c);
  return text;
}

static bool allOf(const std::string &text, int (*test)(int)) {
  for (char c : text)
    if (!test((unsigned char)c)) return false;
  return true;
}

// The Windows device namespace's prefix of a COM port's name.
#define DEVICE_NAMESPACE "\\\\.\\"

int portAddress_comNumber(const std::string &text) {
  const size_t prefix = text.compare(0, 4, DEVICE_NAMESPACE) == 0 ? 4 : 0;
  const size_t com = text.size() > prefix + 3 && lowerCase(text.substr(prefix, 3)) == "com" ? 3 : 0;
  if (prefix > 0 && com == 0) return 0;
  const size_t at = prefix + com;
  const size_t maxDigits = std::to_string(PORT_ADDRESS_LAST_COM).size();
  if (at >= text.size() || text.size() - at > maxDigits) return 0;
  if (!allOf(text.substr(at), isdigit)) return 0;
  const int number = atoi(text.c_str() + at);
  return number >= 1 && number <= PORT_ADDRESS_LAST_COM ? number : 0;
}

// A device path folded ("//" and "/./" taken out) into *device; the problem's
// text when the path is no device's. Parent folders ("..") are refused rather
// than folded: through a symbolic link they lead elsewhere than the text says.
static std::string parseDevicePath(const std::string &text, std::string *device) {
#ifdef _WIN32
  (void)text, (void)device;
  return "device paths are for POSIX systems; give the port as COMn";
#else
  if (text.size() > PORT_ADDRESS_DEVICE_MAX)
    return "device path longer than " + std::to_string(PORT_ADDRESS_DEVICE_MAX) + " characters";
  for (char c : text)
    if ((unsigned char)c < 0x20 || c == 0x7f) return "control character in the device path";
  std::string folded;
  size_t at = 1;
  while (at <= text.size()) {
    size_t end = text.find('/', at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    if (part == "..") return "\"..\" in a device path";
    if (!part.empty() && part != ".") folded += "/" + part;
    at = end + 1;
  }
  // A folder however it is written: "/tmp", "/tmp/", "//tmp/.", or a link to one.
  struct stat st;
  if (folded.empty() || text.back() == '/' ||
      (text.size() > 1 && text.compare(text.size() - 2, 2, "/.") == 0) ||
      (stat(folded.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
    return "a folder, not a device";
  *device = folded;
  return "";
#endif
}

// A USB location: the system's path of hub ports ("1-1.4.2", "1-1.4.2:1.0")
// or a Windows location path ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"):
// letters, digits and . : - _ # ( ) only, so that it names no file and
// drives no terminal.
static std::string parseLocation(const std::string &text, std::string *location) {
  if (text.empty()) return "no USB location after usb: (ports shows each adapter's location)";
  if (text.size() > PORT_ADDRESS_LOCATION_MAX)
    return "USB location longer than " + std::to_string(PORT_ADDRESS_LOCATION_MAX) + " characters";
  for (char c : text)
    if (!isalnum((unsigned char)c) && strchr(".:-_#()", c) == NULL)
      return std::string("character ") + ((unsigned char)c < 0x20 || c == 0x7f ? '?' : c) +
             " in a USB location";
  *location = text;
  return "";
}

// Four decimal numbers 0-255 joined by dots, none with a leading zero.
static bool isIpv4(const std::string &text) {
  size_t at = 0;
  for (int part = 0; part < 4; part++) {
    const size_t end = part < 3 ? text.find('.', at) : text.size();
    if (end == std::string::npos) return false;
    const std::string number = text.substr(at, end - at);
    if (number.empty() || number.size() > 3 || !allOf(number, isdigit) ||
        (number.size() > 1 && number[0] == '0') || atoi(number.c_str()) > 255)
      return false;
    at = end + 1;
  }
  return true;
}

// Whether a host is one that resolvers take for a number: parts of decimal
// digits, or of "0x" and hex digits, joined by dots ("127.0.0.010",
// "0x7f000001", "127.1"). Systems read such parts apart (a leading zero as
// octal, "127.1" as 127.0.0.1), so only the plain IPv4 form is taken: *problem
// says what is wrong with any other, and stays empty for a plain one.
static bool isNumericHost(const std::string &text, std::string *problem) {
  int parts = 0;
  size_t at = 0;
  for (;;) {
    size_t end = text.find('.', at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    const bool leadingZero = part.size() > 1 && part[0] == '0';
    const bool hex = leadingZero && tolower((unsigned char)part[1]) == 'x';
    if (part.empty() || !(hex ? allOf(part.substr(2), isxdigit) : allOf(part, isdigit)))
      return false;  // a name
    if (problem->empty() && hex) *problem = part + " is hexadecimal";
    if (problem->empty() && leadingZero)
      *problem = part + " has a leading zero (octal to some systems)";
    if (problem->empty() && (part.size() > 3 || atoi(part.c_str()) > 255))
      *problem = part + " is above 255";
    parts++;
    if (end == text.size()) break;
    at = end + 1;
  }
  if (problem->empty() && parts != 4)
    *problem = std::to_string(parts) + (parts == 1 ? " part" : " parts");
  if (!problem->empty())
    *problem = "address " + text + ": " + *problem +
               "; write four decimal numbers 0-255 without leading zeros";
  return true;
}

// Eight groups of 1-4 hex digits joined by ':', one "::" standing for one or
// more zero groups, the last two groups possibly written as IPv4.
static bool isIpv6(const std::string &text) {
  int groups = 0;
  bool gap = text.compare(0, 2, "::") == 0;
  size_t at = gap ? 2 : 0;
  while (at < text.size()) {
    const size_t end = text.find(':', at);
    const std::string group = text.substr(at, end == std::string::npos ? end : end - at);
    if (end == std::string::npos && group.find('.') != std::string::npos) {
      if (!isIpv4(group)) return false;
      groups += 2;
      break;
    }
    if (group.empty() || group.size() > 4 || !allOf(group, isxdigit)) return false;
    groups++;
    if (end == std::string::npos) break;
    at = end + 1;
    if (at == text.size()) return false;  // a single ':' at the end
    if (text[at] == ':') {
      if (gap) return false;
      gap = true;
      at++;
    }
  }
  return gap ? groups < 8 : groups == 8;
}

// Labels of letters, digits and inner hyphens, 1-63 characters each, at most
// 253 in all; the last label not a number.
static bool isHostName(const std::string &text) {
  if (text.empty() || text.size() > 253) return false;
  size_t at = 0;
  std::string label;
  while (at <= text.size()) {
    size_t end = text.find('.', at);
    if (end == std::string::npos) end = text.size();
    label = text.substr(at, end - at);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    for (char c : label)
      if (!isalnum((unsigned char)c) && c != '-') return false;
    at = end + 1;
  }
  return !allOf(label, isdigit);
}

// The host and port after "scheme://"; the problem's text when there is one.
static std::string parseHostAndPort(const std::string &rest, std::string *host, int *port) {
  std::string portText;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return "no ']' after the IPv6 address";
    *host = lowerCase(rest.substr(1, close - 1));
    if (!isIpv6(*host)) return "bad IPv6 address [" + *host + "]";
    if (close + 1 == rest.size()) return "no port";
    if (rest[close + 1] != ':') return "expects :PORT after [" + *host + "]";
    portText = rest.substr(close + 2);
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == 0 || rest.empty()) return "no host";
    if (colon == std::string::npos) return "no port";
    *host = lowerCase(rest.substr(0, colon));
    if (host->find(':') != std::string::npos)
      return "an IPv6 address goes in brackets: [" + *host + "]";
    std::string problem;
    if (isNumericHost(*host, &problem)) {
      if (!problem.empty()) return problem;
    } else if (!isHostName(*host)) {
      return "bad host name " + *host;
    }
    portText = rest.substr(colon + 1);
  }
  if (portText.empty()) return "no port";
  if (!allOf(portText, isdigit)) return "port " + portText + " is not a number";
  const size_t first = portText.find_first_not_of('0');
  portText = first == std::string::npos ? "0" : portText.substr(first);
  *port = portText.size() <= 5 ? atoi(portText.c_str()) : 0;
  if (*port < 1 || *port > PORT_ADDRESS_LAST_TCP)
    return "port " + portText + " out of range 1-" + std::to_string(PORT_ADDRESS_LAST_TCP);
  return "";
}

// Digits, possibly after "COM": a COM port meant, whatever its number.
static bool looksLikeComNumber(const std::string &text) {
  const size_t digits = text.find_first_of("0123456789");
  return digits != std::string::npos && allOf(text.substr(digits), isdigit) &&
         (digits == 0 || lowerCase(text.substr(0, digits)) == "com");
}

bool portAddress_parse(const std::string &text, PortAddress *address, std::string *reason) {
  PortAddress parsed;
  std::string problem;
  const size_t separator = text.find("://");
  if (text.empty()) {
    problem = "no port given";
  } else if (text.compare(0, 4, PORT_ADDRESS_USB_PREFIX) == 0) {
    parsed.kind = PORT_ADDRESS_USB;
    problem = parseLocation(text.substr(4), &parsed.location);
  } else if (text[0] == '/') {
    parsed.kind = PORT_ADDRESS_DEVICE;
    problem = parseDevicePath(text, &parsed.device);
  } else if (separator == std::string::npos) {
    parsed.comNumber = portAddress_comNumber(text);
    if (parsed.comNumber == 0)
      problem = looksLikeComNumber(text)
                    ? "not a COM number 1-" + std::to_string(PORT_ADDRESS_LAST_COM)
                    : "expects " PORT_ADDRESS_FORMS;
  } else {
    const std::string scheme = lowerCase(text.substr(0, separator));
    problem = separator == 0
                  ? "no scheme (rfc2217 or socket)"
                  : "unknown scheme " + text.substr(0, separator) + " (rfc2217 or socket)";
    for (const auto &known : kSchemes)
      if (scheme == known.name) {
        parsed.kind = known.kind;
        problem = parseHostAndPort(text.substr(separator + 3), &parsed.host, &parsed.tcpPort);
      }
  }
  if (!problem.empty()) {
    // The text comes back in a message, and parts of it in the problem: a
    // control character in either would drive the terminal.
    *reason = text.empty() ? problem : text + ": " + problem;
    for (char &c : *reason)
      if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
    return false;
  }
  *address = parsed;
  return true;
}

static const char *schemeName(PortAddressKind kind) {
  for (const auto &known : kSchemes)
    if (known.kind == kind) return known.name;
  return "";
}

std::string portAddress_text(const PortAddress &address) {
  if (address.kind == PORT_ADDRESS_COM) return "COM" + std::to_string(address.comNumber);
  if (address.kind == PORT_ADDRESS_DEVICE) return address.device;
  if (address.kind == PORT_ADDRESS_USB) return PORT_ADDRESS_USB_PREFIX + address.location;
  const bool ipv6 = address.host.find(':') != std::string::npos;
  return std::string(schemeName(address.kind)) + "://" + (ipv6 ? "[" : "") + address.host +
         (ipv6 ? "]" : "") + ":" + std::to_string(address.tcpPort);
}

std::string portAddress_fileName(const PortAddress &address) {
  if (address.kind == PORT_ADDRESS_COM) return "COM" + std::to_string(address.comNumber);
  if (address.kind == PORT_ADDRESS_DEVICE) {
    // Folders become dashes; what a file name on some system cannot hold, '_'.
    std::string name = address.device.substr(1);
    for (char &c : name)
      if (c == '/') c = '-';
      else if (!isalnum((unsigned char)c) && c != '.' && c != '-' && c != '_') c = '_';
    return name;
  }
  if (address.kind == PORT_ADDRESS_USB) {
    // ':' and the brackets and '#' of Windows location paths are no file's.
    std::string name = "usb-" + address.location;
    for (char &c : name)
      if (!isalnum((unsigned char)c) && c != '.' && c != '-' && c != '_') c = '_';
    return name;
  }
  std::string host = address.host;
  for (char &c : host)
    if (c == ':') c = '_';
  return std::string(schemeName(address.kind)) + "-" + host + "-" + std::to_string(address.tcpPort);
}
