// Every command's options on its CLI11 subcommand, and the usage errors of the
// commands with a usage text of their own. CLI11 is heavy to compile: the
// command files themselves do without it.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "CommandLineValues.h"
#include "ToolCommands.h"
#include "platform/ToolError.h"

void addImageOptions(CLI::App &command, ToolOptions &options) {
  ImageOptions &image = options.image;
  setOwnUsage(command,
              "Usage: " TOOL_NAME
              " image --entry N -o FILE   (N: 0 MCU, 1 TX FPGA, 2 RX FPGA)\n"
              "       " TOOL_NAME
              " image HEXFILE -o FILE [--as-updater]\n"
              "  --as-updater  write the updater's image even of a text that would lose, overlap\n"
              "                or misplace data");
  CLI::Option *file = command.add_option("HEXFILE", image.input)->group("");
  command.add_option("--entry", image.entry)
      ->check(CLI::Validator(
          [](std::string &n) -> std::string {
            if (n.size() == 1 && n[0] >= '0' && n[0] < '0' + CATALOGUE_ENTRIES)
              return std::string();
            return "takes 0, 1 or 2";
          },
          ""))
      ->excludes(file)
      ->group("");
  command.add_option("-o", image.output)->group("");
  command.add_flag("--as-updater", image.asUpdater)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
      ->disable_flag_override()
      ->group("");
}

int imageUsageError(const CLI::ParseError &error) {
  // --entry's value is the only one CLI11 checks here.
  if (dynamic_cast<const CLI::ValidationError *>(&error) != NULL)
    toolError_print("image: --entry takes 0, 1 or 2");
  return imageUsage();
}

void addExportWebOptions(CLI::App &command, ToolOptions &) {
  setOwnUsage(command, EXPORT_WEB_USAGE);
}

int exportWebUsageError(const CLI::ParseError &) {
  fprintf(stderr, EXPORT_WEB_USAGE "\n");
  return 2;
}

void addVerifyWebOptions(CLI::App &command, ToolOptions &options) {
  std::vector<std::string> &files = options.verifyWeb.files;
  setOwnUsage(command, VERIFY_WEB_USAGE);
  command.add_option("FILE", files)->group("");
  // What CLI11 takes for an unknown option is a file name too; the "--" that
  // ends the options is not.
  command.allow_extras();
  command.final_callback([&command, &files] {
    for (const std::string &extra : command.remaining())
      if (extra != "--") files.push_back(extra);
  });
}

int verifyWebUsageError(const CLI::ParseError &) { return verifyWebUsage(); }

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
  setOwnUsage(command, BENCH_USAGE);
  command.add_option("ROUTINE", bench.routine)
      ->check(CLI::IsMember({"send-512kb", "send-512kb-2", "dump"}))
      ->group("");
  command.add_option("PORT", bench.port)->transform(positiveDecimal())->group("");
  command.add_option("BAUD", bench.baud)->transform(positiveDecimal())->group("");
}

void addProbeOptions(CLI::App &command, ToolOptions &options) {
  ProbeOptions &probe = options.probe;
  addPortOption(command, &probe.port);
  addBaudOption(command, &probe.baud);
  command.add_flag("--json", probe.json, "print one JSON object");
  addTraceOption(command, &probe.tracePath);
}

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

// --history FILE and --no-history, which update and update-all share.
static void addHistoryWriteOptions(CLI::App &command, std::string *path, bool *none) {
  CLI::Option *file =
      command
          .add_option("--history", *path,
                      "append each unit's record to this station history (default: "
                      "history.jsonl in the user's state folder; see the history command)")
          ->option_text("FILE");
  command.add_flag("--no-history", *none, "keep no station history of this run")->excludes(file);
}

void addHistoryOptions(CLI::App &command, ToolOptions &options) {
  HistoryOptions &h = options.history;
  command.add_option("--history", h.path, "read this history instead of the default")
      ->option_text("FILE");
  CLI::Option *json = command.add_flag(
      "--json", h.json, "the records as JSON lines, one object per line, as the file holds them");
  command.add_flag("--csv", h.csv, "the records as CSV, one column per key")->excludes(json);
  command
      .add_option("--since", h.since,
                  "units that finished from this date or UTC time on (2026-12-09, "
                  "2026-12-09T08:15:00Z)")
      ->option_text("WHEN");
  command
      .add_option("--until", h.until,
                  "units that finished up to this date (its whole day) or UTC time")
      ->option_text("WHEN");
  command.add_option("--result", h.result, "units with this result")
      ->check(CLI::IsMember({fleet_resultName(FLEET_RESULT_UPDATED),
                             fleet_resultName(FLEET_RESULT_CURRENT),
                             fleet_resultName(FLEET_RESULT_FAILED),
                             fleet_resultName(FLEET_RESULT_INTERRUPTED)}))
      ->option_text("updated|current|failed|interrupted");
  command.add_option("--label", h.label, "units with this label")->option_text("TEXT");
  command.add_option("--slot", h.slot, "units plugged at this slot (usb:1-1.4.2, or a port)")
      ->option_text("SLOT");
  command.add_option("--port", h.port, "units on this port (3, COM3, a path or a URL)")
      ->option_text("PORT");
}

void addUpdateOptions(CLI::App &command, ToolOptions &options) {
  ScriptedUpdateOptions &update = options.update;
  addPortOption(command, &update.port);
  addBaudOption(command, &update.baud);
  command.add_flag_callback(
      "--no-verify", [&update] { update.verify = false; },
      "do not read the version back after the reboot");
  addTraceOption(command, &update.tracePath);
  command.add_flag("--skip-current", update.skipCurrent,
                   "read the unit's versions first; a unit that runs the release already is left "
                   "as it is (exit status 0)");
  addHookOptions(command, &update.onStart, &update.onResult);
  command
      .add_option("--progress-fd", options.updateChannel,
                  "write the update's steps, percentages and facts on this descriptor (a handle "
                  "value on Windows), one per line: update-all reads its children so")
      ->option_text("X")
      ->group("");  // update-all's own, as --probe-port is
  addHistoryWriteOptions(command, &update.historyPath, &update.noHistory);
  command
      .add_option("--label", update.label,
                  "the unit's label (its serial number as scanned), kept with its record: "
                  "printable ASCII, at most " +
                      std::to_string(LABEL_MAX_CHARS) + " characters")
      ->transform(commandLine_labelValidator())
      ->option_text("TEXT");
}

void addUpdateAllOptions(CLI::App &command, ToolOptions &options) {
  UpdateAllCommandLine &all = options.updateAll;
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
  command.add_flag("--skip-current", all.fleet.skipCurrent,
                   "read each unit's versions first; a unit that runs the release already is left "
                   "as it is and reported current");
  CLI::Option *watch = command.add_flag(
      "--watch", all.fleet.watch,
      "keep probing the free ports until interrupted; each unit that appears is updated (or "
      "reported current) once, again only after it was unplugged and plugged back in");
  command
      .add_option("--interval", all.fleet.intervalSeconds,
                  "with --watch: seconds from the end of a port's probe to its next (default 5)")
      ->check(CLI::Range(0.5, 3600.0))
      ->needs(watch)
      ->option_text("SECONDS");
  addHookOptions(command, &all.fleet.onStart, &all.fleet.onResult);
  command
      .add_flag("--labels", all.fleet.labels,
                "with --watch: each line typed on standard input (a scanned label) joins a queue; "
                "each unit found takes the oldest, or waits (needs label) until one comes")
      ->needs(watch);
  // The probe of one port, run by update-all in a child of its own.
  command.add_option("--probe-port", all.probePort)
      ->transform(commandLine_portValidator(true))
      ->group("");
  command.add_option("--progress-fd", all.probeChannel)->group("");
  // The one rate that probe asks at: probe's and update's --baud without --port.
  command.add_option("--probe-baud", all.probeBaud)
      ->transform(commandLine_baudValidator())
      ->group("");
  command.add_option("--probe-trace", all.probeTrace)->group("");
  command.add_option("--probe-trace-limit", all.probeTraceLimit)->group("");
  command.add_flag("--probe-identify", all.probeIdentify)->group("");
  addHistoryWriteOptions(command, &all.fleet.historyPath, &all.fleet.noHistory);
}
