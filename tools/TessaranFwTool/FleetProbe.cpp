// One port probed for a unit, in a child process of its own: the serial
// driver keeps one port and one set of buffers per process, so ports are
// probed side by side by one child each. Read-only: the detection command is
// the only text sent.
#include <stdio.h>

#include "ComPortAPI.h"
#include "ExitStatus.h"
#include "Fleet.h"
#include "ProgressChannel.h"
#include "TessaranFwUpgrade.h"
#ifndef _WIN32
#include "platform/posix/ComPortNames.h"
#endif

// The updater's detection rates in its order (Detection.cpp), two probes each.
static const int kProbeRates[] = {115200, 9600, 57600, 4800, 2400, 1200};
#define PROBE_ATTEMPTS_PER_RATE 2

static void sendFound(int port, int rate, const char *name) {
  std::string device = name;
#ifndef _WIN32
  char path[4096];
  if (ComPortNames_resolve(name, path, sizeof path)) device = path;
#endif
  progressChannel_send(progressChannel_factLine("port", std::to_string(port).c_str()));
  progressChannel_send(progressChannel_factLine("baud", std::to_string(rate).c_str()));
  progressChannel_send(progressChannel_factLine("device", device.c_str()));
}

int runFleetProbe(int port, const char *channel) {
  if (!progressChannel_attach(channel)) {
    fprintf(stderr, "TessaranFwTool: no progress channel %s\n", channel);
    return EXIT_USAGE;
  }
  // 1. A port that does not exist, or that another program holds, is no unit.
  char name[16];
  snprintf(name, sizeof name, "\\\\.\\COM%d", port);
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_SYSTEM, NULL);
  if (handle == INVALID_HANDLE_VALUE) return EXIT_NO_UNIT;
  CloseHandle(handle);

  // 2. The detection probe at each rate, through the driver the update uses,
  //    opened as detection opens (no CTS handshake).
  if (!allocateWorkingBuffers()) return EXIT_UPDATE_FAILED;
  ComPortAPI_SetHardwareFlowControl(FALSE);
  for (int rate : kProbeRates) {
    ComPortAPI_SetBaudRate(rate);
    if (!ComPortAPI_OpenCOM(port)) continue;
    for (int attempt = 0; attempt < PROBE_ATTEMPTS_PER_RATE; attempt++) {
      if (sendCommand(DETECTION_PROBE_COMMAND, FALSE, TRUE, DETECTION_EXPECTED_RESPONSE)) {
        ComPortAPI_CloseCOM();
        sendFound(port, rate, name);
        releaseWorkingBuffers();
        return EXIT_UPDATE_DONE;
      }
    }
    ComPortAPI_CloseCOM();
  }
  releaseWorkingBuffers();
  return EXIT_NO_UNIT;
}
