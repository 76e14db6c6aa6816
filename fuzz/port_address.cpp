// Fuzzes the port argument's parser: an accepted address is written back to
// a text that parses to the same address, its file name holds no character
// that a file name on POSIX or Windows may not, and a refusal's reason holds
// no control character.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "serial/PortAddress.h"

static bool sameAddress(const PortAddress &a, const PortAddress &b) {
  return a.kind == b.kind && a.comNumber == b.comNumber && a.host == b.host &&
         a.tcpPort == b.tcpPort && a.device == b.device && a.location == b.location;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text((const char *)data, size);
  PortAddress address;
  std::string reason;
  if (!portAddress_parse(text, &address, &reason)) {
    if (reason.empty()) abort();
    for (char c : reason)  // the reason is printed: no control character in it
      if ((unsigned char)c < 0x20 || c == 0x7f) abort();
    return 0;
  }
  PortAddress again;
  if (!portAddress_parse(portAddress_text(address), &again, &reason) || !sameAddress(address, again))
    abort();
  for (char c : portAddress_fileName(address))
    if (c == ':' || c == '/' || c == '\\' || c == '*' || c == '?' || c == '"' || c == '<' ||
        c == '>' || c == '|' || (unsigned char)c < 0x20)
      abort();
  return 0;
}
