// update-all's display: the live table drawn in place on a terminal, or one
// line per change of step; the warnings under it; watching, a row per port
// and the count under it; and the summary at the end.
#ifndef UPDATEALLDISPLAY_H
#define UPDATEALLDISPLAY_H

#include <deque>
#include <string>
#include <vector>

#include "fleet/FleetRun.h"
#include "fleet/FleetWatch.h"

class LabelQueue;

// The lengths of the images each unit type is sent, for the time left.
struct ImageLengths {
  long tx = 0, rx = 0, mcu = 0;

  void read();
  long fpgaFor(const std::string &type) const;
};

// The table's columns, as wide as what the run shows in them: the port
// column as the longest port name (at least "COM255 "), the SLOT column as the
// longest USB location (none when no unit's slot is known), the LABEL column
// under --labels as the longest label, from 5 to 16 characters.
class TableColumns {
 public:
  void fitPorts(const std::vector<int> &ports);
  void showLabels(bool shown) { labels_ = shown; }
  void fitSlots(const std::vector<const FleetUnit *> &units);
  void fitLabels(const std::vector<const FleetUnit *> &units);

  std::string portCell(const FleetRecord &record) const;
  // A header's port column and the rest.
  std::string header(const char *rest) const;
  std::string tableHeader(void) const;
  // A unit's row: with LENGTHS, the live table's (time left, label, slot),
  // else a line of its own. WATCHED: the row of a watched port.
  std::string unitRow(const FleetUnit &unit, double now, const ImageLengths *lengths = NULL,
                      bool watched = false) const;
  // The row of a watched port without a unit: waiting, or probing now.
  std::string emptyPortRow(int port, bool probing) const;
  // The row of a unit found that waits for a label, as its probe found it.
  std::string needsLabelRow(const FleetRecord &found) const;

 private:
  std::string labelCell(const FleetRecord &record) const;
  int port_ = 7;
  int slot_ = 0;
  bool labels_ = false;
  int label_ = 0;  // 0: no LABEL column
};

// The units recorded so far, by result, and the last of those that need a
// look (failed, interrupted): a watch's count and summary, which the run no
// longer holds once they have left their ports.
struct RecordedUnits {
  long updated = 0, current = 0, failed = 0, interrupted = 0;
  std::deque<FleetRecord> attention;
  long attentionLeftOut = 0;  // earlier ones, dropped from it
};

class UpdateAllDisplay : public FleetListener {
 public:
  // LIVE: a terminal that takes ANSI sequences, the table drawn in place.
  explicit UpdateAllDisplay(bool live);

  // The port column as wide as the longest of these ports' names.
  void fitPorts(const std::vector<int> &ports) { columns_.fitPorts(ports); }
  void watching(const FleetWatch *watch) { watch_ = watch; }
  // --labels: the queue shown under the count, and each unit's label.
  void labels(const LabelQueue *labels);
  // Each unit's record appended to the station history at PATH ("": the
  // default's), with its start on the run's clock: the monotonic seconds
  // from RUNSTARTEDAT (fleet_nowSeconds() at update-all's start).
  void recordIn(const std::string &path, double runStartedAt);
  // A line under the table (the label queue's notes).
  void note(const std::string &text) { message(text); }
  // Without a terminal, watching: a line when a port's unit has gone, when a
  // unit found needs a label, when the label queue changed.
  void watchRound(void);
  // The summary table of RECORDS, its logs in LOGDIR, over RUNSECONDS; with
  // retryLine, the command that tries the units not updated again.
  void printSummary(const std::vector<FleetRecord> &records, const FleetOptions &options,
                    const std::string &logDir, double runSeconds, bool retryLine = true) const;
  // A watch's summary: the units it recorded counted by result, the rows of
  // those that failed or were interrupted (the last WATCH_ATTENTION_MAX of
  // them), the units updated per hour over RUNSECONDS; every record is in
  // the report and the history.
  void printWatchSummary(const std::string &logDir, double runSeconds) const;
  // Units recorded that failed, or were interrupted.
  bool anyFailed() const { return recorded_.failed > 0; }
  bool anyInterrupted() const { return recorded_.interrupted > 0; }

  void unitFinished(const FleetUnit &, double) override { finishedSinceCount_ = true; }
  void unitRecorded(const FleetUnit &unit) override;
  void watchEnded(const std::vector<const FleetUnit *> &running) override;
  void stepChanged(const FleetUnit &unit, double now) override;
  void warned(const std::vector<const FleetUnit *> &atRisk) override;
  void stopping() override;
  void hooksStopped(const std::vector<const FleetUnit *> &units) override;
  void logFailed(const FleetUnit &unit, const std::string &why) override;
  void roundEnded(const std::vector<const FleetUnit *> &units, double now, bool changed) override;

 private:
  void drawWatch(const std::vector<const FleetUnit *> &units, double now);
  void draw(const std::vector<const FleetUnit *> &units, double now);
  void show(std::string table, int lines, double now);
  void message(const std::string &text);

  const bool live_;
  TableColumns columns_;
  RecordedUnits recorded_;
  bool recording_ = false;
  std::string historyPath_;
  std::string runStarted_;   // the run's start, UTC (the history's run_started)
  double runStartedAt_ = 0;  // and on the monotonic clock
  const FleetWatch *watch_ = NULL;
  std::vector<const FleetUnit *> lastUnits_;  // each watched port's unit at the last round
  std::vector<bool> lastNeedsLabel_;          // and whether a unit found there needed a label
  const LabelQueue *labels_ = NULL;           // --labels: the queue
  std::string queueShown_;                    // its line as last printed (not live)
  bool finishedSinceCount_ = false;
  ImageLengths lengths_;
  int drawnLines_ = 0;  // 0: no table on the screen above the cursor
  std::string shown_;   // the table on the screen
  double drawnAt_ = 0;
};

#endif  // UPDATEALLDISPLAY_H
