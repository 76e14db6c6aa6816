// history --html FILE: the records chosen, read as the table reads them,
// counted into a page (fleet/HistoryPage.h) that is written whole at the end.
#include <stdio.h>

#include <string>

#include "ToolCommands.h"
#include "fleet/HistoryPage.h"
#include "fleet/StationHistory.h"
#include "platform/ExitStatus.h"
#include "platform/PrintableText.h"
#include "platform/ToolError.h"

// Why a line was skipped, as the table's notes say it.
static const std::string kPageSkipped[] = {
    "is not a record", "is longer than " + std::to_string(STATION_HISTORY_LINE_MAX) + " bytes",
    "is torn (it has no line end)"};

// The options that chose the records, as given: the page's heading says them.
static std::string chosenText(const HistoryOptions &o) {
  std::string text;
  const std::pair<const char *, const std::string *> options[] = {
      {"--since", &o.since}, {"--until", &o.until}, {"--result", &o.result},
      {"--label", &o.label}, {"--slot", &o.slot},   {"--port", &o.port}};
  for (const auto &option : options)
    if (!option.second->empty())
      text += (text.empty() ? "" : " ") + std::string(option.first) + " " + *option.second;
  return text;
}

int runHistoryPage(const HistoryOptions &o, const HistoryFilter &filter, const std::string &path) {
  const bool toStdout = o.html == "-";
  std::string error;
  // Refused before the history is read, which may take seconds; a page
  // already there stays as it is until the new one replaces it.
  if (!toStdout && !historyPage_checkPath(o.html, path, &error)) {
    toolError_print("history: %s", printableText_escape(error).c_str());
    return EXIT_USAGE;
  }
  HistoryPage page(path, chosenText(o));
  HistoryReader reader(
      [&](const HistoryEntry &e) {
        if (historyFilter_matches(filter, e)) page.add(e);
      },
      [&](size_t line, HistorySkip why) {
        page.skipped(why);
        toolError_print("history: line %s %s (skipped)", std::to_string(line).c_str(),
                        kPageSkipped[why].c_str());
      });
  reader.recordsWithoutJson();  // the page reads the records' fields only
  bool notPlain = false;
  if (!stationHistory_read(path, reader, &error, &notPlain, &filter)) {
    toolError_print("history: cannot read %s: %s", printableText_escape(path).c_str(),
                    error.c_str());
    return notPlain ? EXIT_USAGE : EXIT_UPDATE_FAILED;
  }
  const std::string html = page.html();
  if (toStdout) {
    const bool written = fwrite(html.data(), 1, html.size(), stdout) == html.size();
    return fflush(stdout) == 0 && written ? EXIT_UPDATE_DONE : EXIT_UPDATE_FAILED;
  }
  if (!historyPage_write(o.html, html, &error)) {
    toolError_print("history: %s", printableText_escape(error).c_str());
    return EXIT_UPDATE_FAILED;
  }
  return EXIT_UPDATE_DONE;
}
