// Detection over a chosen range of ports and rates, for the tool's commands
// (the updater always scans the whole range through detectComPortAndBaudrate).
#ifndef DETECTION_H
#define DETECTION_H

#include "platform/Platform.h"

#define DETECTION_FIRST_PORT 1
#define DETECTION_LAST_PORT 32
#define DETECTION_RATE_COUNT 6

// The rates the unit's console may run at, the most common first.
extern const int kDetectionBaudRates[DETECTION_RATE_COUNT];

// Detection's scan over COMfirstPort..COMlastPort and the given rates, in that
// order; on success the port stays open at the rate, with gComPortNumber and
// gBaudRate set.
BOOL detectUnitOn(int firstPort, int lastPort, const int *rates, int rateCount);

#endif  // DETECTION_H
