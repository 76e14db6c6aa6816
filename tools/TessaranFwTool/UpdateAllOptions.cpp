// The command line of update-all.
#include <CLI/CLI.hpp>

#include "CommandLineValues.h"
#include "ToolCommands.h"
#include "fleet/Fleet.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/ToolError.h"

void addUpdateAllOptions(CLI::App &command, ToolOptions &options) {
  UpdateAllCommandLine &all = options.updateAll;
  command.add_option("--ports", all.ports,
                     "ports to look for units on, 1-255: e.g. 1-8,12 or COM3 (default 1-32)");
  command.add_option("--jobs", all.fleet.jobs, "units updated at once (default: all)")
      ->check(commandLine_positiveValidator("a positive number of units"))
      ->option_text("N");
  // A frequent slip: update's --port. runUpdateAllCommand says which option
  // update-all takes.
  command
      .add_option_function<std::string>("--port",
                                        [&all](const std::string &) { all.portGiven = true; })
      ->expected(0, 1)
      ->group("");
  command.add_option("--report", all.fleet.reportPath, "write a report: FILE.json or FILE.csv");
  command.add_option(
      "--log-dir", all.fleet.logDir,
      "folder for the units' logs, update-COMn.log (default: update-all-<start time, UTC>)");
  command.add_option(
      "--trace", all.fleet.traceDir,
      "a wire trace per unit in this folder, named like its log (update-COMn.trace); "
      "with FWUPGRADE_TRACE=FILE instead, FILE-COMn for each unit");
  command.add_flag("--no-verify", all.fleet.noVerify,
                   "do not read the version back after the reboot");
  // The probe of one port, run by update-all in a child of its own.
  command.add_option("--probe-port", all.probePort)->group("");
  command.add_option("--progress-fd", all.probeChannel)->group("");
}

int runUpdateAllCommand(const ToolOptions &options) {
  const UpdateAllCommandLine &all = options.updateAll;
  if (all.probePort > 0) return fleet_probePort(all.probePort, all.probeChannel.c_str());
  if (all.portGiven) {
    toolError_print(
        "update-all looks for units on --ports, not --port (e.g. --ports 3 or --ports 1-8,12)");
    return EXIT_USAGE;
  }
  FleetOptions fleet = all.fleet;
  if (!all.ports.empty() &&
      !portList_parse(commandLine_withoutComPrefixes(all.ports), &fleet.ports)) {
    toolError_print("bad port list \"%s\" (COM numbers 1 to 255, e.g. 1-8,12 or COM3)",
              all.ports.c_str());
    return EXIT_USAGE;
  }
  return runUpdateAll(fleet, options.program);
}
