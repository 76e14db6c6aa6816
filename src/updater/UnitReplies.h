// The unit's answers to the tool's read-only queries, parsed from the bytes
// as they came off the line. Kept apart from the port so that any byte
// sequence can be thrown at them (fuzz/unit_replies.cpp).
#ifndef UNITREPLIES_H
#define UNITREPLIES_H

#include <stddef.h>

#include <string>

// What a unit told about itself. Empty texts: the reply did not say.
struct UnitInfo {
  int port = 0;
  int baud = 0;
  std::string device;       // the device behind COMn
  std::string type;         // "TX" or "RX"
  std::string firmware;     // "1.0.3"
  std::string fpgaFamily;   // "XC7A35"
  std::string fpgaVersion;  // "1.3"
  std::string fpgaDevice;   // "1"
};

// The reply to "%fw -v": "<v>.<r>.<s> <family> <fv>.<fr> <device>", e.g.
// "1.0.3 XC7A35 1.3 1\r\n>>". On success fills firmware, fpgaFamily (as
// received, up to 31 bytes), fpgaVersion and fpgaDevice and returns true;
// otherwise leaves info as it was and returns false.
bool parseVersionReply(const std::string &reply, UnitInfo *info);

// The reply to "%fw -p": exactly one of the two product identifications.
// Sets type to "TX" or "RX" and returns true; false (info untouched) otherwise.
bool parseTypeReply(const std::string &reply, UnitInfo *info);

#endif  // UNITREPLIES_H
