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
