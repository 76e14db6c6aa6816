// history's options on its CLI11 subcommand.
#include <string>

#include <CLI/CLI.hpp>

#include "ToolCommands.h"
#include "fleet/FleetStates.h"

void addHistoryOptions(CLI::App &command, ToolOptions &options) {
  HistoryOptions &h = options.history;
  command.add_option("--history", h.path, "read this history instead of the default")
      ->option_text("FILE");
  CLI::Option *json = command.add_flag(
      "--json", h.json, "the records as JSON lines, one object per line, as the file holds them");
  command.add_flag("--csv", h.csv, "the records as CSV, one column per key")->excludes(json);
  command
      .add_option("--html", h.html,
                  "the records as a page (chart, yield by slot, the last 1,000 units) "
                  "written to FILE, or to standard output for -")
      ->option_text("FILE")
      ->excludes(json)
      ->excludes("--csv");
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
