// bench: the transfer tests and the buffer dump, on the start-up state of a run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <CLI/CLI.hpp>

#include "ToolCommands.h"
#include "platform/ToolName.h"
#include "serial/ComPortAPI.h"
#include "updater/TessaranFwUpgrade.h"

static const char kBenchUsage[] =
    "Usage: " TOOL_NAME " bench send-512kb PORT BAUD\n"
    "       " TOOL_NAME " bench send-512kb-2\n"
    "       " TOOL_NAME " bench dump";

static int benchUsage(void) {
  fprintf(stderr, "%s\n", kBenchUsage);
  return 2;
}

int benchUsageError(const CLI::ParseError &) { return benchUsage(); }

// A whole positive decimal number, nothing else.
static int parsePositive(const char *text, int *value) {
  char *end = NULL;
  long v = strtol(text, &end, 10);
  if (end == text || *end != 0 || v <= 0 || v > 0x7FFFFFFF) return 0;
  *value = (int)v;
  return 1;
}

// PORT and BAUD as parsePositive reads them, written back plainly: CLI11's own
// conversion would read "010" as octal.
static CLI::Validator positiveDecimal(void) {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        int value = 0;
        if (!parsePositive(text.c_str(), &value)) return "expects a positive number";
        text = std::to_string(value);
        return std::string();
      },
      "");
}

void addBenchOptions(CLI::App &command, ToolOptions &options) {
  BenchOptions &bench = options.bench;
  setOwnUsage(command, kBenchUsage);
  command.add_option("ROUTINE", bench.routine)
      ->check(CLI::IsMember({"send-512kb", "send-512kb-2", "dump"}))
      ->group("");
  command.add_option("PORT", bench.port)->transform(positiveDecimal())->group("");
  command.add_option("BAUD", bench.baud)->transform(positiveDecimal())->group("");
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
