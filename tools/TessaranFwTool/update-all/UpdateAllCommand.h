// update-all's command line, and the internal command its probes run as: the
// probe of one port, in a child of update-all's own (`update-all --probe-port
// N --progress-fd X`, FleetProbe.h).
#ifndef UPDATEALLCOMMAND_H
#define UPDATEALLCOMMAND_H

#include <string>
#include <vector>

#include "fleet/FleetRun.h"

namespace CLI {
class App;
}  // namespace CLI

// The probe of one port, run by update-all in a child of its own.
struct ProbeChildOptions {
  int port = 0;          // --probe-port; 0: not a probe
  std::string channel;   // its --progress-fd
  int baud = 0;          // its only rate (--probe-baud); 0: detection's rates
  std::string trace;     // its wire trace, appended to its parent's at its end
  unsigned long long traceLimit = 0;  // that trace's bound (its share of the parent's)
  bool identify = false;  // it also asks the unit found its type and versions
};

struct UpdateAllCommandLine {
  FleetOptions fleet;
  std::string ports;       // --ports as written
  bool portGiven = false;  // update's --port, a frequent slip
  ProbeChildOptions probe;
};

// The probe child's options, hidden among update-all's (addUpdateAllOptions).
void addProbeChildOptions(CLI::App &command, ProbeChildOptions &probe);

// The probe of one port: its exit status (FleetProbe.h tells what it sends).
int runProbeChild(const ProbeChildOptions &probe);

// update-all's --ports: COM numbers and ranges (with or without "COM"),
// network ports and usb:LOCATION slots. FALSE after saying what is wrong.
bool parseUpdateAllPorts(const std::string &list, bool watch, std::vector<int> *ports,
                         std::vector<std::string> *slotLocations);

#endif  // UPDATEALLCOMMAND_H
