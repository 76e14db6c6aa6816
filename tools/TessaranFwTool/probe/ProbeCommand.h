// probe: the unit found as the updater finds it, and what it says of itself.
#ifndef PROBECOMMAND_H
#define PROBECOMMAND_H

#include <string>

struct ProbeOptions {
  int port = 0;  // 0: detection's scan
  int baud = 0;  // 0: detection's rates
  bool json = false;
  std::string tracePath;
};
// runProbe: exit status 0 when a unit answered, 3 when none did, 1 when the
// tool could not start.

#endif  // PROBECOMMAND_H
