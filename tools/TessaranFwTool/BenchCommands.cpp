// bench: the transfer tests and the buffer dump, on the start-up state of a run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ToolCommands.h"
#include "serial/ComPortAPI.h"
#include "updater/TessaranFwUpgrade.h"

static int benchUsage(void) {
  fprintf(stderr,
          "Usage: TessaranFwTool bench send-512kb PORT BAUD\n"
          "       TessaranFwTool bench send-512kb-2\n"
          "       TessaranFwTool bench dump\n");
  return 2;
}

// A whole positive decimal number, nothing else.
static int parsePositive(const char *text, int *value) {
  char *end = NULL;
  long v = strtol(text, &end, 10);
  if (end == text || *end != 0 || v <= 0 || v > 0x7FFFFFFF) return 0;
  *value = (int)v;
  return 1;
}

// Opens the port as the front end's manual path does: handshake off, the
// rate set in the driver's settings, then the open applies both.
static BOOL openBenchPort(int port, int baudRate) {
  ComPortAPI_SetHardwareFlowControl(FALSE);
  ComPortAPI_SetBaudRate(baudRate);  // no port open yet: only the setting changes
  return ComPortAPI_OpenCOM(port);
}

int runBenchCommand(int argc, char **argv) {
  if (argc < 1) return benchUsage();
  const char *routine = argv[0];
  int port = 0;
  int baudRate = 0;

  if (strcmp(routine, "send-512kb") == 0) {
    if (argc != 3 || !parsePositive(argv[1], &port) || !parsePositive(argv[2], &baudRate))
      return benchUsage();
  } else if (strcmp(routine, "send-512kb-2") == 0 || strcmp(routine, "dump") == 0) {
    if (argc != 1) return benchUsage();
  } else {
    return benchUsage();
  }

  platformConsoleInit();
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
