// probe's options on its CLI11 subcommand.
#include <CLI/CLI.hpp>

#include "CommandLineValues.h"
#include "ToolCommands.h"

void addProbeOptions(CLI::App &command, ToolOptions &options) {
  ProbeOptions &probe = options.probe;
  addPortOption(command, &probe.port);
  addBaudOption(command, &probe.baud);
  command.add_flag("--json", probe.json, "print one JSON object");
  addTraceOption(command, &probe.tracePath);
}
