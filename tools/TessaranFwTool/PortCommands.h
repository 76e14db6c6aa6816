// The tool's read-only port commands: ports and probe.
#ifndef PORTCOMMANDS_H
#define PORTCOMMANDS_H

#include <string>
#include <vector>

struct PortsOptions {
  bool probe = false;     // probe each free port for a unit
  bool json = false;
  bool all = false;       // the updater's table (COM1 to COM32, on Windows every COM port present)
  std::string tracePath;  // wire trace file; empty: FWUPGRADE_TRACE
  std::vector<int> ports; // the ports given (network ones registered); empty: the system's
};
// runPorts: exit status 0 (the list was printed).

struct ProbeOptions {
  int port = 0;  // 0: detection's scan
  int baud = 0;  // 0: detection's rates
  bool json = false;
  std::string tracePath;
};
// runProbe: exit status 0 when a unit answered, 3 when none did, 1 when the
// tool could not start.

#endif  // PORTCOMMANDS_H
