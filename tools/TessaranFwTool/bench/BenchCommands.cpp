// bench: the transfer tests and the buffer dump, on the start-up state of a run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ToolCommands.h"
#include "platform/ToolName.h"
#include "serial/ComPortAPI.h"
#include "updater/TessaranFwUpgrade.h"

int benchUsage(void) {
  fprintf(stderr, "%s\n", BENCH_USAGE);
  return 2;
}

// Opens the port as the front end's manual path does: handshake off, the
// rate set in the driver's settings, then the open applies both.
static BOOL openBenchPort(int port, int baudRate) {
  ComPortAPI_SetHardwareFlowControl(FALSE);
  ComPortAPI_SetBaudRate(baudRate);  // no port open yet: only the setting changes
  return ComPortAPI_OpenCOM(port);
}

int runBench(const ToolOptions &options) {
  // Which routine takes PORT and BAUD is beyond CLI11; a missing ROUTINE is
  // checked here for the reason image checks a missing -o.
  const BenchOptions &bench = options.bench;
  const char *routine = bench.routine.c_str();
  const int port = bench.port;
  const int baudRate = bench.baud;
  if (bench.routine.empty() ||
      (strcmp(routine, "send-512kb") == 0 ? port == 0 || baudRate == 0 : port != 0))
    return benchUsage();

  platform_consoleInit();
  if (!allocateWorkingBuffers()) return 1;

  BOOL ok = 1;
  if (strcmp(routine, "send-512kb") == 0) {
    if (!openBenchPort(port, baudRate)) {
      printf("\n");  // the driver's message has no line end
      ok = 0;
    } else {
      ok = DEBUG_send_512kb();
    }
  } else if (strcmp(routine, "send-512kb-2") == 0) {
    ok = DEBUG_send_512kb_2();
  } else {
    printDataBufferInHex((const uint8_t *)gDataBuffer, DATA_BUFFER_SIZE);
  }

  releaseWorkingBuffers();
  return ok ? 0 : 1;
}
