// The command line of update-all.
#include <ctype.h>

#include <string>

#include "ToolCommands.h"
#include "fleet/Fleet.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/ToolError.h"
#include "serial/PortAddress.h"

// A port list with the COM prefixes taken away ("COM1-COM4,com9" -> "1-4,9"):
// the list's own parser takes numbers only.
static std::string withoutComPrefixes(const std::string &list) {
  std::string plain;
  for (size_t i = 0; i < list.size(); i++) {
    const bool itemStart = i == 0 || list[i - 1] == ',' || list[i - 1] == '-';
    if (itemStart && i + 3 < list.size() && portAddress_comNumber(list.substr(i, 3) + "1") == 1 &&
        isdigit((unsigned char)list[i + 3])) {
      i += 2;
      continue;
    }
    plain += list[i];
  }
  return plain;
}

int runUpdateAllCommand(const ToolOptions &options) {
  const UpdateAllCommandLine &all = options.updateAll;
  if (all.probePort > 0) return fleet_probePort(all.probePort, all.probeChannel.c_str());
  if (all.portGiven) {
    toolError_print(
        "update-all looks for units on --ports, not --port (e.g. --ports 3 or --ports 1-8,12)");
    return EXIT_USAGE;
  }
  FleetOptions fleet = all.fleet;
  if (!all.ports.empty() &&
      !portList_parse(withoutComPrefixes(all.ports), &fleet.ports)) {
    toolError_print("bad port list \"%s\" (COM numbers 1 to 255, e.g. 1-8,12 or COM3)",
              all.ports.c_str());
    return EXIT_USAGE;
  }
  return runUpdateAll(fleet, options.program);
}
