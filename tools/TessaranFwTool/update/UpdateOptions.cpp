// update's options on its CLI11 subcommand.
#include <string>

#include <CLI/CLI.hpp>

#include "CommandLineValues.h"
#include "ToolCommands.h"
#include "fleet/LabelQueue.h"

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
  command
      .add_option("--retries", update.retries,
                  "a unit whose image was rejected or whose stream broke off gets its update "
                  "again from the first image, at most N more times (default 0)")
      ->check(CLI::Range(0, UPDATE_RETRIES_MAX))
      ->option_text("N");
  addHistoryWriteOptions(command, &update.historyPath, &update.noHistory);
  command
      .add_option("--label", update.label,
                  "the unit's label (its serial number as scanned), kept with its record: "
                  "printable ASCII, at most " +
                      std::to_string(LABEL_MAX_CHARS) + " characters")
      ->transform(commandLine_labelValidator())
      ->option_text("TEXT");
}
