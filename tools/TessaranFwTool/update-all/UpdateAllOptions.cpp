// update-all's options on its CLI11 subcommand, by group: where the units
// are, what the run writes, the watch, the probe child's hidden ones.
#include <string>

#include <CLI/CLI.hpp>

#include "CommandLineValues.h"
#include "ToolCommands.h"
#include "fleet/LogRetention.h"
#include "update-all/UpdateAllCommand.h"

// The ports, the rate of the socket:// lines, how many units at once.
static void addUpdateAllPortOptions(CLI::App &command, UpdateAllCommandLine &all) {
  command.add_option("--ports", all.ports,
                     "ports to look for units on: COM numbers 1-" +
                         std::to_string(PORT_ADDRESS_LAST_COM) +
                         ", device paths (/dev/ttyUSB0, POSIX) and terminal servers' "
                         "rfc2217://HOST:PORT or socket://HOST:PORT, e.g. "
                         "1-8,12,rfc2217://rack2:3001; usb:LOCATION names the ports of a USB "
                         "slot, usb:1-1.4 every one behind that hub (default: 1-32, then every "
                         "other port the system has)");
  command
      .add_option("--baud", all.fleet.baud,
                  "the rate the lines of the socket:// ports in --ports run at, " CONSOLE_RATES_TEXT
                  " (their servers cannot change it; 115200 for an update); COM and rfc2217:// "
                  "ports are still asked at detection's rates")
      ->transform(commandLine_baudValidator())
      ->option_text("RATE");
  command.add_option("--jobs", all.fleet.jobs, "units updated at once (default: all)")
      ->check(commandLine_positiveValidator("a positive number of units"))
      ->option_text("N");
  // A frequent slip: update's --port. runUpdateAll says which option
  // update-all takes.
  command
      .add_option_function<std::string>("--port",
                                        [&all](const std::string &) { all.portGiven = true; })
      ->expected(0, 1)
      ->group("");
}

// The report, the logs and traces, and what each unit's update does.
static void addUpdateAllRunOptions(CLI::App &command, FleetOptions &fleet) {
  command.add_option("--report", fleet.reportPath, "write a report: FILE.json or FILE.csv");
  command.add_option("--page", fleet.pagePath,
                     "keep a station page, FILE.html, for a browser (with or without --watch): a "
                     "tile per port, the counts, the last units; rewritten as they change");
  command.add_option(
      "--log-dir", fleet.logDir,
      "folder for the units' logs, update-COMn.log, with --watch in a folder per day "
      "(default: update-all-<start time, UTC>)");
  command.add_option(
      "--trace", fleet.traceDir,
      "a wire trace per unit in this folder, named like its log (update-COMn.trace); "
      "with FWUPGRADE_TRACE=FILE instead, FILE-COMn for each unit");
  command.add_flag("--no-verify", fleet.noVerify,
                   "do not read the version back after the reboot");
  command.add_flag("--skip-current", fleet.skipCurrent,
                   "read each unit's versions first; a unit that runs the release already is left "
                   "as it is and reported current");
  command
      .add_option("--retries", fleet.retries,
                  "a unit whose image was rejected or whose stream broke off gets its update "
                  "again from the first image, at most N more times (default 0)")
      ->check(CLI::Range(0, UPDATE_RETRIES_MAX))
      ->option_text("N");
}

// --watch and its probes' interval; the option that --watch's others need.
static CLI::Option *addUpdateAllWatchOptions(CLI::App &command, FleetOptions &fleet) {
  CLI::Option *watch = command.add_flag(
      "--watch", fleet.watch,
      "keep probing the free ports until interrupted; each unit that appears is updated (or "
      "reported current) once, again only after it was unplugged and plugged back in");
  command
      .add_option("--interval", fleet.intervalSeconds,
                  "with --watch: seconds from the end of a port's probe to its next (default 5)")
      ->check(CLI::Range(0.5, 3600.0))
      ->needs(watch)
      ->option_text("SECONDS");
  command
      .add_option("--keep-logs", fleet.keepLogDays,
                  "with --watch: the logs (and traces) are in a folder per day, UTC; a day's "
                  "folder is removed once DAYS days have passed after the day that follows it "
                  "(default " + std::to_string(FleetOptions().keepLogDays) + ")")
      ->check(CLI::Range(1, LOG_RETENTION_DAYS_MAX))
      ->needs(watch)
      ->option_text("DAYS");
  return watch;
}

void addProbeChildOptions(CLI::App &command, ProbeChildOptions &probe) {
  command.add_option("--probe-port", probe.port)
      ->transform(commandLine_portValidator(true))
      ->group("");
  command.add_option("--progress-fd", probe.channel)->group("");
  // The one rate that probe asks at: probe's and update's --baud without --port.
  command.add_option("--probe-baud", probe.baud)
      ->transform(commandLine_baudValidator())
      ->group("");
  command.add_option("--probe-trace", probe.trace)->group("");
  command.add_option("--probe-trace-limit", probe.traceLimit)->group("");
  command.add_flag("--probe-identify", probe.identify)->group("");
}

void addUpdateAllOptions(CLI::App &command, ToolOptions &options) {
  UpdateAllCommandLine &all = options.updateAll;
  addUpdateAllPortOptions(command, all);
  addUpdateAllRunOptions(command, all.fleet);
  CLI::Option *watch = addUpdateAllWatchOptions(command, all.fleet);
  addHookOptions(command, &all.fleet.onStart, &all.fleet.onResult);
  command
      .add_flag("--labels", all.fleet.labels,
                "with --watch: each line typed on standard input (a scanned label) joins a queue; "
                "each unit found takes the oldest, or waits (needs label) until one comes")
      ->needs(watch);
  addProbeChildOptions(command, all.probe);
  addHistoryWriteOptions(command, &all.fleet.historyPath, &all.fleet.noHistory);
}
