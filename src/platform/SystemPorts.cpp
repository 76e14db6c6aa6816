// The order of the system's ports and the text rules the platform files share.
#include <ctype.h>
#include <string.h>

#include <algorithm>

#include "platform/SystemPorts.h"

// The updater's table: COM1 to COM32.
#define TABLE_PORTS 32

static int kindRank(const std::string &driver) {
  static const char *const kinds[] = {"usb-serial", "cdc-acm", "uart"};
  for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; i++)
    if (driver == kinds[i]) return (int)i;
  return 3;
}

// Natural order: runs of digits compare by value, the rest byte-wise.
static bool naturalLess(const std::string &a, const std::string &b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isdigit((unsigned char)a[i]) && isdigit((unsigned char)b[j])) {
      while (i < a.size() && a[i] == '0') i++;
      while (j < b.size() && b[j] == '0') j++;
      size_t ei = i, ej = j;
      while (ei < a.size() && isdigit((unsigned char)a[ei])) ei++;
      while (ej < b.size() && isdigit((unsigned char)b[ej])) ej++;
      if (ei - i != ej - j) return ei - i < ej - j;
      int order = a.compare(i, ei - i, b, j, ej - j);
      if (order != 0) return order < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return (unsigned char)a[i] < (unsigned char)b[j];
      i++;
      j++;
    }
  }
  return a.size() - i < b.size() - j;
}

void systemPorts_sort(std::vector<SystemPort> *ports) {
  auto tableNumber = [](const SystemPort &port) {
    return port.comNumber >= 1 && port.comNumber <= TABLE_PORTS ? port.comNumber : TABLE_PORTS + 1;
  };
  std::stable_sort(ports->begin(), ports->end(), [&](const SystemPort &a, const SystemPort &b) {
    if (tableNumber(a) != tableNumber(b)) return tableNumber(a) < tableNumber(b);
    if (kindRank(a.driver) != kindRank(b.driver)) return kindRank(a.driver) < kindRank(b.driver);
    return naturalLess(a.device, b.device);
  });
}

bool systemPorts_locationMatches(const std::string &location, const std::string &pattern) {
  if (pattern.empty() || location.compare(0, pattern.size(), pattern) != 0) return false;
  // Linux: bus-port.port.port:config.interface; Windows: PCIROOT(0)#USB(1)#USB(4).
  return location.size() == pattern.size() || strchr(".:-#", location[pattern.size()]) != NULL;
}

std::vector<SystemPort> systemPorts_atLocation(const std::vector<SystemPort> &ports,
                                               const std::string &pattern) {
  std::vector<SystemPort> found;
  for (const SystemPort &port : ports)
    if (systemPorts_locationMatches(port.location, pattern)) found.push_back(port);
  return found;
}

std::string systemPorts_attributeText(const char *bytes, size_t size) {
  size_t end = 0;
  while (end < size && end < SYSTEM_TEXT_MAX && bytes[end] != '\n' && bytes[end] != '\0') end++;
  while (end > 0 && strchr(" \t\r", bytes[end - 1]) != NULL) end--;
  std::string text(bytes, end);
  for (char &c : text)
    if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
  return text;
}

int systemPorts_hexId(const std::string &text) {
  if (text.size() != 4) return -1;
  int value = 0;
  for (char c : text) {
    if (!isxdigit((unsigned char)c)) return -1;
    value =
        value * 16 + (isdigit((unsigned char)c) ? c - '0' : tolower((unsigned char)c) - 'a' + 10);
  }
  return value;
}

// The four hex digits after `key` ("VID_"), ended by a separator or the end.
static int idAfter(const std::string &id, const char *key) {
  for (size_t at = 0; (at = id.find(key, at)) != std::string::npos; at++) {
    const size_t start = at + strlen(key);
    if (start + 4 <= id.size() && (start + 4 == id.size() || strchr("&+\\", id[start + 4])))
      return systemPorts_hexId(id.substr(start, 4));
  }
  return -1;
}

void systemPorts_parseDeviceId(const std::string &id, int *vid, int *pid, std::string *serial) {
  std::string upper = id.substr(0, 1024);
  for (char &c : upper) c = (char)toupper((unsigned char)c);
  *vid = idAfter(upper, "VID_");
  *pid = idAfter(upper, "PID_");
  serial->clear();
  if (upper.compare(0, 4, "USB\\") == 0) {
    const size_t last = id.rfind('\\');
    if (last > 3 && id.find('&', last) == std::string::npos && last + 1 < id.size() &&
        id.find('\\', 4) == last)
      *serial = systemPorts_attributeText(id.data() + last + 1, id.size() - last - 1);
  } else if (upper.compare(0, 8, "FTDIBUS\\") == 0) {
    // VID_xxxx+PID_xxxx+SERIAL<port letter>\0000
    const size_t plus = id.find('+', id.find('+') + 1);
    const size_t end = id.find('\\', 8);
    if (plus != std::string::npos && end != std::string::npos && end > plus + 2)
      *serial = systemPorts_attributeText(id.data() + plus + 1, end - plus - 2);
  }
}
