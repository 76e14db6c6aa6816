// ports: the serial ports the system has, each with its state and slot.
#ifndef PORTSCOMMAND_H
#define PORTSCOMMAND_H

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

#endif  // PORTSCOMMAND_H
