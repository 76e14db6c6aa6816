// The serial ports the updater would scan, as the system shows them: one file
// per platform (PortListPosix.cpp, PortListWin32.cpp), chosen by CMake.
#ifndef PORTLIST_H
#define PORTLIST_H

#include <string>
#include <vector>

enum PortState { PORT_ABSENT, PORT_FREE, PORT_BUSY };

struct PortEntry {
  int number = 0;            // COMn
  std::string device;        // the device behind it
  std::string friendlyName;  // the system's description, where it gives one
  PortState state = PORT_ABSENT;
  std::string reason;        // the system's error text of a failed open
  long holderPid = 0;        // the process holding a busy port, 0 when unknown
  std::string holderName;
};

// COM1 to COM32, plus (Windows) every other COM port present in the system.
std::vector<int> portsToList(void);
// The device and friendly name of COMn.
void describePort(PortEntry *entry);
// Sorts a failed open into absent or busy from the system's error code.
PortState stateOfFailedOpen(long systemError);
// Fills holderPid / holderName of a busy port where the system shows them.
void findPortHolder(PortEntry *entry);

const char *portStateName(PortState state);

#endif  // PORTLIST_H
