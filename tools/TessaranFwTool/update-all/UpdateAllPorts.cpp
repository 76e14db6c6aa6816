// update-all's --ports: the list of COM numbers, network ports and USB slots.
#include <string>
#include <vector>

#include "ToolCommands.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"

// --ports: COM numbers and ranges, device paths, network addresses and USB
// slots (portArgument_list); under watch, a slot with nothing plugged in yet
// is taken, to be watched for adapters to come. FALSE after saying what is
// wrong.
bool parseUpdateAllPorts(const std::string &list, bool watch, std::vector<int> *ports,
                         std::vector<std::string> *slotLocations) {
  const std::string reason = portArgument_list(list, watch, ports, slotLocations);
  if (!reason.empty()) toolError_print("%s", reason.c_str());
  return reason.empty();
}
