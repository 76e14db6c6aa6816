// ports' options on its CLI11 subcommand.
#include <CLI/CLI.hpp>

#include "CommandLineValues.h"
#include "ToolCommands.h"

void addPortsOptions(CLI::App &command, ToolOptions &options) {
  PortsOptions &ports = options.ports;
  command.add_flag("--probe", ports.probe,
                   "ask each free port for a unit (read-only commands only)");
  command.add_flag("--json", ports.json, "print one JSON array");
  CLI::Option *all = command.add_flag("--all", ports.all,
                   "the updater's table, COM1 to COM32 (on Windows with every COM port present), "
                   "absent ones included, instead of the ports the system has");
  addTraceOption(command, &ports.tracePath);
  command
      .add_option("PORT", ports.ports,
                  "only these ports: COM ports (3 or COM3) and terminal servers' "
                  "rfc2217://HOST:PORT or socket://HOST:PORT")
      ->transform(commandLine_portValidator())
      ->excludes(all);
}
