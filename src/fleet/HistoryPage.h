// `history --html`: the station history's units shown as one self-contained
// HTML page (inline style, inline SVG, no script, nothing fetched): the units
// per hour by result as stacked bars, the yield of each slot, the median time
// per unit, and the table of the last units.
//
// The page is made while the history streams by: each record is counted
// into the chart's bars, its slot's counts and the median's values, and only
// the last HISTORY_PAGE_ROWS rows are kept, their texts cut short. What a
// page holds stays bounded however many units the history has.
#ifndef HISTORYPAGE_H
#define HISTORYPAGE_H

#include <stddef.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "fleet/StationHistory.h"

// The rows of the page's table: the last units shown, older ones only counted.
#define HISTORY_PAGE_ROWS 1000
// The chart's bars at most: a week of hours. A longer span gets wider bars
// (2, 3, 6, 12 hours, a day, two days, a week, then twice as wide again).
#define HISTORY_PAGE_BARS 168
// The slots counted apart; units at any further slot count as "other slots".
#define HISTORY_PAGE_SLOTS 64
// The bytes of a text a row keeps (a label, a message): longer ones are cut.
#define HISTORY_PAGE_TEXT_MAX 160

// The results the page counts apart, in the chart's order from the bottom.
enum HistoryPageResult {
  HISTORY_PAGE_UPDATED,
  HISTORY_PAGE_CURRENT,
  HISTORY_PAGE_FAILED,
  HISTORY_PAGE_INTERRUPTED,
  HISTORY_PAGE_OTHER,  // a word of a later version
  HISTORY_PAGE_RESULTS
};

// A text from the history as HTML text or an attribute's value: control
// characters written as "\x1b" (platform/PrintableText.h), then & < > " '
// as character references, so that no label or message can add markup.
std::string historyPage_escape(const std::string &text);

struct HistoryPageCounts {
  size_t of[HISTORY_PAGE_RESULTS] = {0, 0, 0, 0, 0};
  size_t total() const;
};

// One bar of the chart: the units finished in [start, start + the bar's width),
// on their runs' clocks (HistoryEntry's runEnd).
struct HistoryPageBar {
  time_t start;
  HistoryPageCounts counts;
};

class HistoryPage {
 public:
  // SOURCE (the history's path) and CHOSEN (the filter's options as given,
  // "" for none) head the page.
  HistoryPage(const std::string &source, const std::string &chosen)
      : source_(source), chosen_(chosen) {}
  void add(const HistoryEntry &entry);
  void skipped(HistorySkip why) { footer_.skipped(why); }
  std::string html() const;

  // What the page shows, for the tests.
  long long barSeconds() const { return barSeconds_; }
  std::vector<HistoryPageBar> bars() const;  // first to last, the empty ones between included
  const std::map<std::string, HistoryPageCounts> &slots() const { return slots_; }
  const HistoryPageCounts &otherSlots() const { return otherSlots_; }
  size_t units() const { return units_; }
  size_t rowsLeftOut() const { return units_ - rows_.size(); }
  double medianSeconds() const;  // of the units updated; -1 when none

 private:
  struct Row {
    std::string finished, slot, label, type, result, firmware, why;
    HistoryPageResult kind;
    double seconds;
  };
  void widenBars();
  std::string summaryHtml() const;
  std::string chartHtml() const;
  std::string slotsHtml() const;
  std::string rowsHtml() const;

  std::string source_, chosen_;
  size_t units_ = 0, unTimed_ = 0;
  HistoryPageCounts counts_;
  long long barSeconds_ = 3600;
  std::map<long long, HistoryPageCounts> bars_;  // by their start
  std::map<std::string, HistoryPageCounts> slots_;
  HistoryPageCounts otherSlots_;             // the units at slots past HISTORY_PAGE_SLOTS
  std::map<double, size_t> updatedSeconds_;  // in tenths, as written: few distinct values
  time_t firstEnd_ = -1, lastEnd_ = -1;      // by finished: the period the page names
  std::vector<Row> rows_;  // a ring once full: next_ is the oldest
  size_t next_ = 0;
  HistoryFooter footer_;  // the table's footer lines, under the page too
};

// Whether the page can be written at PATH: not a folder, not a device or
// other special file (a link is replaced, as a report's is), not the
// HISTORY it is made from, and a new file can be made beside it. FALSE with
// the reason in *error.
bool historyPage_checkPath(const std::string &path, const std::string &history, std::string *error);
// HTML written whole beside PATH, then renamed over it (platform/Files.h).
bool historyPage_write(const std::string &path, const std::string &html, std::string *error);

#endif  // HISTORYPAGE_H
