// The command line of update-all.
#include <CLI/CLI.hpp>

#include "CommandLineValues.h"
#include "fleet/Fleet.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"

static CLI::Option *gSlippedPort = NULL;

void addUpdateAllOptions(CLI::App &command, FleetOptions &options, std::string &portList, int &probePort,
                         std::string &channel) {
  command.add_option("--ports", portList,
                     "ports to look for units on, 1-255: e.g. 1-8,12 or COM3 (default 1-32)");
  command.add_option("--jobs", options.jobs, "units updated at once (default: all)")
      ->check(commandLine_positiveValidator("a positive number of units"))
      ->option_text("N");
  // A frequent slip: update's --port. finishUpdateAllCommand says which option
  // update-all takes.
  static std::string slippedPortValue;
  gSlippedPort = command.add_option("--port", slippedPortValue)->expected(0, 1)->group("");
  command.add_option("--report", options.reportPath, "write a report: FILE.json or FILE.csv");
  command.add_option("--log-dir", options.logDir,
                     "folder for the units' logs, update-COMn.log (default: update-all-<start time, UTC>)");
  command.add_option("--trace", options.traceDir,
                     "a wire trace per unit in this folder, named like its log (update-COMn.trace); "
                     "with FWUPGRADE_TRACE=FILE instead, FILE-COMn for each unit");
  command.add_flag("--no-verify", options.noVerify, "do not read the version back after the reboot");
  // The probe of one port, run by update-all in a child of its own.
  command.add_option("--probe-port", probePort)->group("");
  command.add_option("--progress-fd", channel)->group("");
}

int finishUpdateAllCommand(const FleetOptions &given, const std::string &portList, int probePort,
                           const std::string &channel, const char *argv0) {
  if (probePort > 0) return runFleetProbe(probePort, channel.c_str());
  if (gSlippedPort != NULL && gSlippedPort->count() > 0) {
    fprintf(stderr, "TessaranFwTool: update-all looks for units on --ports, not --port "
                    "(e.g. --ports 3 or --ports 1-8,12)\n");
    return EXIT_USAGE;
  }
  FleetOptions options = given;
  if (!portList.empty() && !parsePortList(commandLine_withoutComPrefixes(portList), &options.ports)) {
    fprintf(stderr, "TessaranFwTool: bad port list \"%s\" (COM numbers 1 to 255, e.g. 1-8,12 or COM3)\n",
            portList.c_str());
    return EXIT_USAGE;
  }
  return runUpdateAll(options, argv0);
}
