// history: the station history shown; and the writers' side, where update
// and update-all append their units' records.
#ifndef HISTORYCOMMAND_H
#define HISTORYCOMMAND_H

#include <string>

#include "fleet/FleetReport.h"

struct HistoryOptions {
  std::string path;  // --history FILE; empty: the default
  bool json = false, csv = false;
  std::string since, until;  // as given: dates or UTC times
  std::string result, label, slot, port;
  std::string html;  // --html FILE: the page instead of the table; "-": on stdout
};

struct HistoryFilter;
// history --html: the records FILTER chooses from the history at PATH as a
// page (fleet/HistoryPage.h); returns the exit status.
int runHistoryPage(const HistoryOptions &options, const HistoryFilter &filter,
                   const std::string &path);

// The history a unit is recorded in: --history FILE, else the default, none
// (empty) with --no-history.
std::string historyPathFor(const std::string &option, bool none);
// Appends the unit's record to the history at PATH (the default's, when
// empty); "" when done, else the line that says why not, for the caller to
// print as the tool's own. A history that cannot be written fails nothing.
std::string recordInHistory(const std::string &path, const FleetRecord &record);
// The line recordInHistory appends for RECORD.
std::string historyLine(const FleetRecord &record);

#endif  // HISTORYCOMMAND_H
