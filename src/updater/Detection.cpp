// Finds the COM port and the baud rate at which the unit's console answers.
//
// Every port from COM1 to COM32 is first probed with a plain open of its device
// path, so that ports that do not exist (or that another program holds) cost
// nothing and print nothing. A port that exists is then opened through the
// driver at each baud rate in turn and asked for the help text of its
// "version" command; the first exact answer wins and its port stays open.
#include <stdio.h>
#include <string.h>

#include <string>

#include "serial/ComPortAPI.h"
#include "serial/PortDescription.h"
#include "serial/UpdateProgress.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"

int gComPortNumber = 0;
int gBaudRate = 0;

#define DETECTION_ATTEMPTS_PER_RATE 2

#define DETECTION_RATE_COUNT 6

// The rates the unit's console may run at, the most common first.
static const int kDetectionBaudRates[DETECTION_RATE_COUNT] = {115200, 9600, 57600, 4800, 2400,
                                                              1200};

// Tells the progress listeners where the unit answered.
static void reportUnitFound(int port, int rate) {
  char text[16];
  snprintf(text, sizeof text, "%d", port);
  updateProgress_fact(UPDATE_FACT_PORT, text);
  snprintf(text, sizeof text, "%d", rate);
  updateProgress_fact(UPDATE_FACT_BAUD, text);
}

BOOL detectComPortAndBaudrate(void) {
  return detectUnitOn(DETECTION_FIRST_PORT, DETECTION_LAST_PORT, 0);
}

BOOL detectUnitOn(int firstPort, int lastPort, int onlyRate) {
  char ResponseExpected[100];

  snprintf(ResponseExpected, sizeof ResponseExpected, "%s", DETECTION_EXPECTED_RESPONSE);
  updateProgress_setStep(UPDATE_STEP_DETECTING);

  for (int port = firstPort; port <= lastPort; port++) {
    // A raw socket cannot change the server's rate: one rate is asked at,
    // the one the user gave for the server's line or 0, "unknown".
    const bool oneRate = onlyRate > 0 || portDescription_of(port).serverRate;
    const int *rates = oneRate ? &onlyRate : kDetectionBaudRates;
    const int rateCount = oneRate ? 1 : DETECTION_RATE_COUNT;
    // 1. Probe: does the device exist and is it free? The driver's own open,
    //    so the answer is the one the driver would get.
    //    A terminal server's port is a connection that costs round trips
    //    to make and that the server may be slow to free: the probe's is
    //    kept for the first rate rather than closed and made again.
    const bool keepProbe = !portDescription_of(port).systemDevice;
    if (keepProbe) ComPortAPI_SetBaudRate(rates[0]);
    g_hCOM = ComPortAPI_OpenDevice(port);
    if (g_hCOM == INVALID_HANDLE_VALUE) {
      gComPortNumber = 0;
      gBaudRate = 0;
      continue;
    }
    gComPortNumber = port;
    HANDLE probe = g_hCOM;
    if (!keepProbe) ComPortAPI_CloseDevice(g_hCOM, port);

    // 2. Ask at every rate, twice each: the first probe after an open can
    //    meet a unit that still holds half a line from earlier traffic.
    for (int r = 0; r < rateCount; r++) {
      const int rate = rates[r];
      // For listeners that show what is being asked (the tool, on a terminal);
      // the updater's console stays as it is.
      const std::string asking = portDescription_of(port).name + " " + std::to_string(rate);
      updateProgress_fact(UPDATE_FACT_ASKING, asking.c_str());
      // No port is open here: this only stores the rate for the next open.
      ComPortAPI_SetBaudRate(rate);
      const BOOL opened = keepProbe && r == 0 ? ComPortAPI_ConfigureOpened(probe, port)
                                              : ComPortAPI_OpenCOM(port);
      if (!opened) continue;  // the driver has printed why
      gBaudRate = rate;

      for (int attempt = 0; attempt < DETECTION_ATTEMPTS_PER_RATE; attempt++) {
        if (sendCommand(DETECTION_PROBE_COMMAND, FALSE, TRUE, ResponseExpected)) {
          reportUnitFound(port, rate);
          return TRUE;  // the port stays open at this rate
        }
      }
      ComPortAPI_CloseCOM();
    }
  }
  return FALSE;
}
