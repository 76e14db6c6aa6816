// TessaranFwTool: the operations that sit beside the updater's console flow.
#include <stdio.h>
#include <string.h>

#include "ToolCommands.h"

static void printUsage(FILE *out) {
  fprintf(out,
          "Usage:\n"
          "  TessaranFwTool image --entry N -o FILE   assemble embedded image N (0 MCU, 1 TX FPGA, 2 RX FPGA)\n"
          "  TessaranFwTool image HEXFILE -o FILE     assemble an Intel HEX or MCS file\n"
          "      [--as-updater]                       write the updater's image even of a text that\n"
          "                                           would lose, overlap or misplace data\n"
          "  TessaranFwTool export-web                write FwToUpload.bin in the current folder\n"
          "  TessaranFwTool verify-web [FILE]         check a web update file (default FwToUpload.bin)\n"
          "  TessaranFwTool bench send-512kb PORT BAUD\n"
          "  TessaranFwTool bench send-512kb-2\n"
          "  TessaranFwTool bench dump\n");
}

int main(int argc, char **argv) {
  if (argc < 2) {
    printUsage(stderr);
    return 2;
  }
  const char *command = argv[1];
  if (strcmp(command, "image") == 0) return runImageCommand(argc - 2, argv + 2);
  if (strcmp(command, "export-web") == 0) return runExportWebCommand(argc - 2, argv + 2);
  if (strcmp(command, "verify-web") == 0) return runVerifyWebCommand(argc - 2, argv + 2);
  if (strcmp(command, "bench") == 0) return runBenchCommand(argc - 2, argv + 2);
  if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
    printUsage(stdout);
    return 0;
  }
  fprintf(stderr, "TessaranFwTool: unknown command '%s'\n", command);
  printUsage(stderr);
  return 2;
}
