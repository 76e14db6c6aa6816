// Fuzzes the parsing of the unit's replies to "%fw -v" and "%fw -p" on
// arbitrary bytes, as they would come off the line.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "updater/UnitReplies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string reply((const char *)data, size);
  UnitInfo info;
  if (parseVersionReply(reply, &info)) {
    // Every field is filled, and only the family carries bytes as received.
    if (info.firmware.empty() || info.fpgaFamily.empty() || info.fpgaVersion.empty() ||
        info.fpgaDevice.empty() || info.fpgaFamily.size() > 31)
      abort();
  } else if (!info.firmware.empty() || !info.fpgaFamily.empty()) {
    abort();  // a reply that does not parse leaves the unit's data alone
  }
  UnitInfo type;
  if (parseTypeReply(reply, &type) != (type.type == "TX" || type.type == "RX")) abort();
  return 0;
}
