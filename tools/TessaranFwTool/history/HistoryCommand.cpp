// history [--history FILE] [--json | --csv] [--since T] [--until T]
//         [--result R] [--label L] [--slot S] [--port P]
//
// The station's history (fleet/StationHistory.h) as a table, newest last
// (the order the units were recorded in), with a footer; or the records as
// JSON lines or CSV. The file is streamed: only the footer's figures are
// held. Lines skipped are named on stderr as they come.
//
// Also the writers' side: where `update` and `update-all` append, and the
// one line that says an append failed.
#include <stdio.h>

#include <string>

#include "ToolCommands.h"
#include "fleet/StationHistory.h"
#include "platform/ExitStatus.h"
#include "platform/PrintableText.h"
#include "platform/ToolError.h"

#ifndef TOOL_VERSION
#define TOOL_VERSION "1.0.4"
#endif

std::string historyPathFor(const std::string &option, bool none) {
  if (none) return "";
  return option.empty() ? stationHistory_defaultPath() : option;
}

static const StationContext &context(void) {
  static const StationContext station = stationHistory_context(TOOL_VERSION);
  return station;
}

std::string historyLine(const FleetRecord &record) {
  return stationHistory_line(record, context());
}

std::string recordInHistory(const std::string &path, const FleetRecord &record) {
  // A lock that another process kept for the whole wait costs one wait a
  // run: the units after it get one try each (update-all appends in the
  // loop that follows every unit) until an append goes through again.
  static double lockWait = FILE_LOCK_WAIT_SECONDS;
  std::string error =
      "the user's state folder is not known (HOME, LOCALAPPDATA): give --history FILE";
  bool busy = false;
  if (!path.empty() && stationHistory_append(path, record, context(), &error, lockWait, &busy)) {
    lockWait = FILE_LOCK_WAIT_SECONDS;
    return "";
  }
  if (busy) lockWait = 0;
  return record.address + ": not recorded in the station history" +
         (path.empty() ? "" : " " + path) + ": " + error;
}

static const std::string kSkipped[] = {
    "is not a record", "is longer than " + std::to_string(STATION_HISTORY_LINE_MAX) + " bytes",
    "is torn (it has no line end)"};

// A value from the file, safe on a terminal.
static std::string shown(const std::string &text) { return printableText_escape(text); }

static void printRow(const HistoryEntry &e) {
  const FleetRecord &r = e.record;
  std::string finished = r.finished;
  if (e.finished >= 0) finished = fleet_utcText(e.finished, "%Y-%m-%d %H:%M:%S");
  std::string firmware = r.firmwareBefore.empty() ? "-" : r.firmwareBefore;
  if (!r.firmwareAfter.empty()) firmware += " -> " + r.firmwareAfter;
  printf("%-19s  %-15s %-13s %-4s %-11s %-17s %7.0f\n", shown(finished).c_str(),
         shown(e.slot).c_str(), shown(r.label.empty() ? "-" : r.label).c_str(),
         shown(r.type.empty() ? "-" : r.type).c_str(), shown(e.result).c_str(),
         shown(firmware).c_str(), r.seconds);
}

// The filter the options ask for; the exit status of a refusal, or -1.
static int readFilter(const HistoryOptions &o, HistoryFilter *filter) {
  filter->result = o.result, filter->label = o.label, filter->slot = o.slot, filter->port = o.port;
  if ((!o.since.empty() && !stationHistory_parseTime(o.since, false, &filter->since)) ||
      (!o.until.empty() && !stationHistory_parseTime(o.until, true, &filter->until))) {
    toolError_print("history: %s is no date (2026-12-09) or UTC time (2026-12-09T08:15:00Z)",
                    (!o.since.empty() && filter->since < 0 ? o.since : o.until).c_str());
    return EXIT_USAGE;
  }
  if (filter->since >= 0 && filter->until >= 0 && filter->since > filter->until) {
    toolError_print("history: --since %s is after --until %s: no unit can have finished between",
                    o.since.c_str(), o.until.c_str());
    return EXIT_USAGE;
  }
  return -1;
}

// The records that match, printed as they come (a table, JSON lines or
// CSV), and counted for the footer.
struct HistoryPrinter {
  HistoryPrinter(const HistoryOptions &options, const HistoryFilter &shownOnly)
      : o(options), filter(shownOnly) {}
  const HistoryOptions &o;
  const HistoryFilter &filter;
  HistoryFooter footer;
  bool any = false;
  const std::vector<std::string> keys = stationHistory_keys();
  // The CSV's header once the file is being read: a history that cannot be
  // read prints nothing on stdout.
  bool headerDone = !o.csv;
  HistoryLineReader csvLines;

  void printCsvHeader() {
    if (headerDone) return;
    headerDone = true;
    std::string line;
    for (const std::string &key : keys) line += (line.empty() ? "" : ",") + key;
    printf("%s\r\n", line.c_str());
  }

  void printEntry(const HistoryEntry &e) {
    if (!historyFilter_matches(filter, e)) return;
    footer.add(e);
    if (o.json) {
      fwrite(e.text.data(), 1, e.text.size(), stdout);
      putchar('\n');
    } else if (o.csv) {
      printCsvHeader();
      const std::string &line = csvLines.csvLine(e, keys);
      fwrite(line.data(), 1, line.size(), stdout);
    } else {
      if (!any)
        printf("%-19s  %-15s %-13s %-4s %-11s %-17s %7s\n", "FINISHED (UTC)", "SLOT", "LABEL",
               "TYPE", "RESULT", "FIRMWARE", "SECONDS");
      printRow(e);
    }
    any = true;
  }

  // Under the table: its footer, or that no unit matched.
  void printEnd(const std::string &path) {
    if (!any)
      printf("No unit recorded%s in %s.\n",
             filter.since >= 0 || filter.until >= 0 || !o.result.empty() || !o.label.empty() ||
                     !o.slot.empty() || !o.port.empty()
                 ? " that matches"
                 : "",
             shown(path).c_str());
    printf("\n");
    for (const std::string &line : footer.lines()) printf("%s\n", line.c_str());
  }
};

int runHistory(const ToolOptions &options) {
  const HistoryOptions &o = options.history;
  HistoryFilter filter;
  const int refused = readFilter(o, &filter);
  if (refused >= 0) return refused;
  const std::string path = historyPathFor(o.path, false);
  if (path.empty()) {
    toolError_print(
        "history: the user's state folder is not known (HOME, LOCALAPPDATA): give "
        "--history FILE");
    return EXIT_UPDATE_FAILED;
  }
  if (!o.html.empty()) return runHistoryPage(o, filter, path);
  HistoryPrinter printer(o, filter);
  HistoryReader reader([&](const HistoryEntry &e) { printer.printEntry(e); },
                       [&](size_t line, HistorySkip why) {
                         printer.footer.skipped(why);
                         fflush(stdout);
                         toolError_print("history: line %s %s (skipped)",
                                         std::to_string(line).c_str(), kSkipped[why].c_str());
                       });
  reader.recordsWithoutJson();
  std::string error;
  bool notPlain = false;
  if (!stationHistory_read(path, reader, &error, &notPlain, &filter)) {
    fflush(stdout);
    toolError_print("history: cannot read %s: %s", shown(path).c_str(), error.c_str());
    return notPlain ? EXIT_USAGE : EXIT_UPDATE_FAILED;
  }
  printer.printCsvHeader();
  if (!o.json && !o.csv) printer.printEnd(path);
  return EXIT_UPDATE_DONE;
}
