// Fuzzes the texts the system's port list reads from outside: a sysfs
// attribute's bytes (held in a buffer of exactly their size, so a read past
// the end is caught), a Windows device ID, and a slot pattern against a
// location (the input split at its first newline).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/SystemPorts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *bytes = (char *)malloc(size ? size : 1);
  if (size) memcpy(bytes, data, size);
  const std::string text = systemPorts_attributeText(bytes, size);
  free(bytes);
  // One line, bounded, no control byte that could drive a terminal.
  if (text.size() > SYSTEM_TEXT_MAX) abort();
  for (char c : text)
    if ((unsigned char)c < 0x20 || c == 0x7f) abort();
  const int id = systemPorts_hexId(text);
  if (id < -1 || id > 0xffff) abort();

  const std::string input((const char *)data, size);
  int vid = 0, pid = 0;
  std::string serial;
  systemPorts_parseDeviceId(input, &vid, &pid, &serial);
  if (vid < -1 || vid > 0xffff || pid < -1 || pid > 0xffff || serial.size() > SYSTEM_TEXT_MAX)
    abort();

  const size_t split = input.find('\n');
  if (split != std::string::npos) {
    const std::string location = input.substr(0, split), pattern = input.substr(split + 1);
    // A slot holds itself; a match is never longer than what it matches.
    if (!pattern.empty() && !systemPorts_locationMatches(pattern, pattern)) abort();
    if (systemPorts_locationMatches(location, pattern) && pattern.size() > location.size()) abort();
  }
  return 0;
}
