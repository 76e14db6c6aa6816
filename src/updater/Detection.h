// Detection over a chosen range of ports and rates, for the tool's commands
// (the updater always scans the whole range through detectComPortAndBaudrate).
#ifndef DETECTION_H
#define DETECTION_H

#include "platform/Platform.h"

#define DETECTION_FIRST_PORT 1
#define DETECTION_LAST_PORT 32

// Detection's scan over COMfirstPort..COMlastPort, at onlyRate or (0) at each
// of the six rates the unit's console may run at, the most common first; on
// success the port stays open at the rate, with gComPortNumber and gBaudRate set.
BOOL detectUnitOn(int firstPort, int lastPort, int onlyRate);

#endif  // DETECTION_H
