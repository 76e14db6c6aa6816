// update-all: finds every unit on the given ports, then updates them all at
// once (FleetRun.h); here the live table, or one line per change of step, and
// the summary. The report is written whole beside its final name and renamed
// over it, so a run cut short leaves the earlier report as it was. With
// --watch the ports are watched until an interrupt instead (FleetWatch), the
// report rewritten after each unit.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ToolCommands.h"
#include "UnitSearch.h"
#include "fleet/FleetLogs.h"
#include "fleet/FleetProbe.h"
#include "fleet/FleetRun.h"
#include "fleet/FleetSearch.h"
#include "fleet/FleetWatch.h"
#include "fleet/LabelQueue.h"
#include "image/ImageAssembly.h"
#include "platform/ConsoleEscapes.h"
#include "platform/ExitStatus.h"
#include "platform/Files.h"
#include "platform/PrintableText.h"
#include "platform/StandardInput.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"
#include "updater/Detection.h"
#include "updater/ReleaseSummary.h"
#include "updater/TessaranFwUpgrade.h"

// The live table is drawn when a unit's step changes or a unit ends, and
// otherwise (percentages, clocks, probes) at most this often, only when its
// text differs from what is on the screen.
#define REDRAW_SECONDS 1.0
// The summary's width, and the live table's fold line's.
#define SUMMARY_COLUMNS 80

// ---- Display -------------------------------------------------------------------------

static std::string elapsedText(double seconds) {
  char text[48];
  long whole = (long)seconds;
  snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

// The lengths of the images each unit type is sent, for the time left.
struct ImageLengths {
  long tx = 0, rx = 0, mcu = 0;

  void read() {
    ReleaseImage images[RELEASE_IMAGE_COUNT];
    if (summarizeEmbeddedRelease(images)) {
      mcu = images[0].flatLength;
      tx = images[1].flatLength;
      rx = images[2].flatLength;
    }
  }

  long fpgaFor(const std::string &type) const {
    if (type == "TX") return tx;
    if (type == "RX") return rx;
    return tx > rx ? tx : rx;  // not known yet: the longer
  }
};

// The port column: "COM3   ", or a network port's URL. The column is as wide
// as the longest name of the run (gPortWidth), at least as wide as "COM255 ".
static int gPortWidth = 7;

static std::string portCell(const FleetRecord &record) {
  char cell[300];
  snprintf(cell, sizeof cell, "%-*s", gPortWidth, portDescription_of(record.port).name.c_str());
  return cell;
}

// The live table's SLOT column: the adapter's USB location ("usb:1-1.4.2"),
// as wide as the longest of the table (gSlotWidth); no column when no unit's
// slot is known.
static int gSlotWidth = 0;

static std::string slotText(const FleetRecord &record) {
  return record.location.empty() ? "" : (record.vid.empty() ? "" : "usb:") + record.location;
}

static void fitSlotColumn(const std::vector<const FleetUnit *> &units) {
  gSlotWidth = 0;
  for (const FleetUnit *unit : units) {
    const int width = (int)slotText(unit->record).size();
    if (width > 0) gSlotWidth = std::max(gSlotWidth, 2 + std::max(width, 4));
  }
}

// The live table's LABEL column under --labels: as wide as the longest label
// of the table, from 5 to LABEL_COLUMN_MAX characters (a longer one cut, ".."
// at its end); 0: no column.
#define LABEL_COLUMN_MAX 16
static bool gLabelColumn = false;
static int gLabelWidth = 0;

static void fitLabelColumn(const std::vector<const FleetUnit *> &units) {
  gLabelWidth = gLabelColumn ? 5 : 0;
  for (const FleetUnit *unit : units)
    if (gLabelColumn)
      gLabelWidth =
          std::max(gLabelWidth, std::min((int)unit->record.label.size(), LABEL_COLUMN_MAX));
}

static std::string labelCell(const FleetRecord &record) {
  std::string label = printableText_escape(record.label);
  if ((int)label.size() > gLabelWidth) label = label.substr(0, gLabelWidth - 2) + "..";
  label.resize(gLabelWidth, ' ');
  return "  " + label;
}

static std::string rateCell(int baud) { return baud > 0 ? std::to_string(baud) : "-"; }

// A unit's step as a watch shows it: "updated" for "done" once it has ended.
static std::string watchedStep(const FleetUnit &unit) {
  if (unit.finished && unit.step == FLEET_STEP_DONE) return fleet_resultName(FLEET_RESULT_UPDATED);
  if (!unit.running && !unit.finished) return "queued";  // waits for its turn (--jobs)
  return unit.stepName();
}

// WATCHED: the row of a watched port.
static std::string unitRow(const FleetUnit &unit, double now, const ImageLengths *lengths = NULL,
                           bool watched = false) {
  const std::string step = watched ? watchedStep(unit) : unit.stepName();
  char row[200];
  std::string percent = unit.running && unit.percent > 0 ? std::to_string(unit.percent) + "%" : "";
  double elapsed = unit.startedAt == 0 ? 0 : (unit.running ? now : unit.lastHeardAt) - unit.startedAt;
  snprintf(row, sizeof row, " %-4s %-7s %-17s %5s %7s",
           unit.record.type.empty() ? "-" : unit.record.type.c_str(),
           rateCell(unit.record.baud).c_str(), step.c_str(), percent.c_str(),
           unit.startedAt == 0 ? "" : elapsedText(elapsed).c_str());
  if (lengths == NULL)  // a line of its own: the whole label at its end
    return portCell(unit.record) + row +
           (gLabelColumn && !unit.record.label.empty()
                ? "  " + printableText_escape(unit.record.label)
                : "");
  // The live table only: the step lines keep their shape.
  // A unit queued in a watch shows none.
  const bool queued = watched && !unit.running && !unit.finished;
  double left = queued ? -1
                       : fleet_secondsLeft(unit.finished ? FLEET_STEP_DONE : unit.step,
                                           unit.running ? unit.percent : 0,
                                           lengths->fpgaFor(unit.record.type), lengths->mcu);
  char column[32];
  snprintf(column, sizeof column, " %7s", left < 0 ? "" : elapsedText(left + 0.5).c_str());
  std::string slot = gSlotWidth > 0 ? "  " + printableText_escape(slotText(unit.record)) : "";
  if (gSlotWidth > 0) slot.resize(std::max((int)slot.size(), gSlotWidth), ' ');
  const std::string label = gLabelWidth > 0 ? labelCell(unit.record) : "";
  return portCell(unit.record) + row + std::string(column) + label + slot;
}

// A header's port column and the rest.
static std::string header(const char *rest) {
  char cell[300];
  snprintf(cell, sizeof cell, "%-*s", gPortWidth, "PORT");
  return std::string(cell) + " " + rest;
}

static const char kTableHeader[] = "TYPE RATE    STEP              PERCENT ELAPSED    LEFT";

static std::string tableHeader(void) {
  std::string label = gLabelWidth > 0 ? "  LABEL" : "";
  if (gLabelWidth > 0) label.resize(gLabelWidth + 2, ' ');
  std::string slot = gSlotWidth > 0 ? "  SLOT" : "";
  if (gSlotWidth > 0) slot.resize(gSlotWidth, ' ');
  return header(kTableHeader) + label + slot;
}

// The row of a watched port without a unit: waiting, or probing now.
static std::string emptyPortRow(int port, bool probing) {
  FleetRecord record;
  record.port = port;
  char row[64];
  snprintf(row, sizeof row, " %-4s %-7s %s", "-", "-", probing ? "probing" : "waiting");
  return portCell(record) + row;
}

// The row of a unit found that waits for a label, as its probe found it.
static std::string needsLabelRow(const FleetRecord &found) {
  char row[64];
  snprintf(row, sizeof row, " %-4s %-7s %s",
           found.type.empty() ? "-" : printableText_escape(found.type).c_str(),
           rateCell(found.baud).c_str(), "needs label");
  return portCell(found) + row;
}

// The label queue under a watch's count, cut to 80 columns:
// "labels: 2 queued, next SN-0001, SN-0002".
static std::string queueLine(const LabelQueue &queue) {
  std::string line = queue.ended() ? "labels (input ended): " : "labels: ";
  if (queue.empty())
    line += "none queued";
  else
    line += std::to_string(queue.size()) + " queued, next ";
  for (size_t i = 0; i < queue.size() && line.size() <= 80; i++)
    line += (i == 0 ? "" : ", ") + queue.labels()[i];
  if (line.size() > 80) line = line.substr(0, 77) + "...";
  return line;
}

// The running count of a watch: "updated 2, current 1, failed 1, updating 1",
// and with labels ", needs label 1".
static std::string countLine(const std::vector<const FleetUnit *> &units, int needLabel = 0) {
  int updated = 0, current = 0, failed = 0, interrupted = 0, updating = 0;
  for (const FleetUnit *unit : units) {
    const FleetResult result = unit->record.result;
    if (!unit->finished) updating++;
    else if (result == FLEET_RESULT_UPDATED) updated++;
    else if (result == FLEET_RESULT_CURRENT) current++;
    else if (result == FLEET_RESULT_FAILED) failed++;
    else interrupted++;
  }
  std::string line = "updated " + std::to_string(updated) + ", current " + std::to_string(current) +
                     ", failed " + std::to_string(failed);
  if (interrupted > 0) line += ", interrupted " + std::to_string(interrupted);
  line += ", updating " + std::to_string(updating);
  return needLabel > 0 ? line + ", needs label " + std::to_string(needLabel) : line;
}

// A table taller than the window would scroll, and each redraw would leave a
// copy of its top in the scrollback. So ROWS (each row's text and the step it
// shows) are cut to the window's lines less OTHERLINES (header, count) and
// the cursor's; the rows left out are told in one line instead: how many,
// and their steps, the most common first.
typedef std::vector<std::pair<std::string, std::string>> TableRows;
static void fitWindow(TableRows *rows, int otherLines, const char *what) {
  const int window = subprocess_consoleRows();
  const int room = window - otherLines - 1;
  if (window <= 0 || room < 2 || (int)rows->size() <= room) return;
  std::vector<std::pair<std::string, int>> steps;  // in the order first seen
  for (size_t i = (size_t)room - 1; i < rows->size(); i++) {
    size_t at = 0;
    while (at < steps.size() && steps[at].first != (*rows)[i].second) at++;
    if (at == steps.size()) steps.push_back({(*rows)[i].second, 0});
    steps[at].second++;
  }
  std::stable_sort(steps.begin(), steps.end(),
                   [](const std::pair<std::string, int> &a, const std::pair<std::string, int> &b) {
                     return a.second > b.second;
                   });
  std::string line = "... " + std::to_string(rows->size() - (room - 1)) + " more " + what;
  for (size_t i = 0; i < steps.size(); i++)
    line += (i == 0 ? ": " : ", ") + std::to_string(steps[i].second) + " " + steps[i].first;
  if (line.size() > SUMMARY_COLUMNS - 1) line = line.substr(0, SUMMARY_COLUMNS - 4) + "...";
  rows->resize((size_t)room - 1);
  rows->push_back({line, ""});
}

// The live table, or one line per change of step; the warnings under it.
// Watching, the table has a row per port and the count under it.
class Display : public FleetListener {
 public:
  explicit Display(bool live) : live_(live) {
    if (live_) lengths_.read();
  }

  void watching(const FleetWatch *watch) { watch_ = watch; }
  void labels(const LabelQueue *labels) { labels_ = labels; }
  // Each unit's record appended to the station history at PATH ("": the default's).
  void recordIn(const std::string &path) {
    recording_ = true;
    historyPath_ = path;
  }

  // The unit's record, final, to the history; one that cannot be written is
  // said under the table.
  void record(const FleetUnit &unit) {
    const std::string why = recording_ ? recordInHistory(historyPath_, unit.record) : "";
    if (!why.empty()) message(TOOL_NAME ": " + why);
  }

  // Without a terminal, watching: a line when a port's unit has gone, when a
  // unit found needs a label, when the label queue changed, and the count
  // after each unit's end.
  void watchRound(void) {
    if (watch_ == NULL) return;
    const std::vector<FleetWatch::Port> ports = watch_->ports();
    if (lastUnits_.size() != ports.size()) {
      lastUnits_.assign(ports.size(), NULL);
      lastNeedsLabel_.assign(ports.size(), false);
    }
    for (size_t i = 0; i < ports.size(); i++) {
      const bool gone = (lastUnits_[i] != NULL || lastNeedsLabel_[i]) && ports[i].unit == NULL &&
                        !ports[i].needsLabel;
      if (!live_ && gone) printf("%s\n", emptyPortRow(ports[i].port, false).c_str());
      if (!live_ && ports[i].needsLabel && !lastNeedsLabel_[i])
        printf("%s\n", needsLabelRow(ports[i].waiting).c_str());
      lastUnits_[i] = ports[i].unit;
      lastNeedsLabel_[i] = ports[i].needsLabel;
    }
    if (!live_ && labels_ != NULL && queueLine(*labels_) != queueShown_) {
      queueShown_ = queueLine(*labels_);
      printf("%s\n", queueShown_.c_str());
    }
    if (!live_) fflush(stdout);
  }

  // A line under the table (the label queue's notes).
  void note(const std::string &text) { message(text); }

  void unitFinished(const FleetUnit &, double) override {
    finishedSinceCount_ = true;
  }

  // The unit's record is final, its hooks' statuses in it: to the history.
  void unitRecorded(const FleetUnit &unit) override { record(unit); }

  void watchEnded(const std::vector<const FleetUnit *> &running) override {
    if (running.empty()) {
      message("\nNo longer watching.");
      return;
    }
    std::string ports;
    for (const FleetUnit *unit : running)
      ports += (ports.empty() ? "" : ", ") + portDescription_of(unit->record.port).name;
    message("\nNo longer watching; the updates running on " + ports +
            " go on. Interrupt again to stop them.");
  }

  // A line of its own when the table is not redrawn.
  void stepChanged(const FleetUnit &unit, double now) override {
    if (live_) return;
    std::string row = unitRow(unit, now);
    while (!row.empty() && row.back() == ' ') row.pop_back();
    printf("%s\n", row.c_str());
    fflush(stdout);
  }

  void warned(const std::vector<const FleetUnit *> &atRisk) override {
    std::string ports;
    for (const FleetUnit *unit : atRisk)
      ports += (ports.empty() ? "" : ", ") + portDescription_of(unit->record.port).name;
    message("\nWARNING: " + ports + " being written: stopping now leaves " +
            (atRisk.size() == 1 ? "it" : "them") +
            " without working firmware. Interrupt again to stop anyway.");
  }

  void stopping() override { message("\nStopping every update ..."); }

  void hooksStopped(const std::vector<const FleetUnit *> &units) override {
    std::string ports;
    for (const FleetUnit *unit : units)
      ports += (ports.empty() ? "" : ", ") + portDescription_of(unit->record.port).name;
    message(units.empty()
                ? "\nNo hook starts any more."
                : "\nStopped the hooks running for " + ports + "; no hook starts any more.");
  }

  // Once per unit, as its child tells it.
  void logFailed(const FleetUnit &unit, const std::string &why) override {
    message(portDescription_of(unit.record.port).name + ": its log " + unit.record.log +
            " is not being written: " + why + "; the update goes on.");
  }

  void roundEnded(const std::vector<const FleetUnit *> &units, double now, bool changed) override {
    if (watch_ != NULL && !live_ && finishedSinceCount_) {
      printf("%s\n", countLine(units).c_str());
      fflush(stdout);
    }
    if (live_ && (changed || now - drawnAt_ >= REDRAW_SECONDS || finishedSinceCount_)) {
      if (watch_ != NULL) drawWatch(units, now);
      else draw(units, now);
    }
    finishedSinceCount_ = false;
  }

 private:
  void drawWatch(const std::vector<const FleetUnit *> &units, double now) {
    fitSlotColumn(units);
    fitLabelColumn(units);
    TableRows rows;
    const int columns = subprocess_consoleColumns();
    int needLabel = 0;
    for (const FleetWatch::Port &port : watch_->ports()) {
      needLabel += port.needsLabel ? 1 : 0;
      std::string row = port.needsLabel     ? needsLabelRow(port.waiting)
                        : port.unit == NULL ? emptyPortRow(port.port, port.probing)
                                            : unitRow(*port.unit, now, &lengths_, true);
      // A handled unit: when the last check found it still plugged in
      // (whole, where the terminal has room for it).
      const std::string seen =
          port.unit == NULL || !port.unit->finished ? ""
          : port.seenAt > 0 ? "  still there (checked " + elapsedText(now - port.seenAt) + " ago)"
                            : "  checking it is still there";
      if (columns <= 0 || (int)(row.size() + seen.size()) < columns) row += seen;
      const std::string step =
          port.needsLabel ? "needs label" : port.probing ? "probing" : "waiting";
      rows.push_back({row, port.unit != NULL && !port.needsLabel ? watchedStep(*port.unit) : step});
    }
    const int below = labels_ != NULL ? 2 : 1;  // the count, and the labels' queue
    fitWindow(&rows, 1 + below, "ports");
    std::string text = "\x1b[2K" + tableHeader() + "\n";
    for (const auto &row : rows) text += "\x1b[2K" + row.first + "\n";
    text += "\x1b[2K" + countLine(units, needLabel) + "\n";
    if (labels_ != NULL) text += "\x1b[2K" + queueLine(*labels_) + "\n";
    show(text, (int)rows.size() + 1 + below, now);
  }

  void draw(const std::vector<const FleetUnit *> &units, double now) {
    fitSlotColumn(units);
    fitLabelColumn(units);
    TableRows rows;
    for (const FleetUnit *unit : units)
      rows.push_back({unitRow(*unit, now, &lengths_), unit->stepName()});
    fitWindow(&rows, 1, "units");
    std::string text = "\x1b[2K" + tableHeader() + "\n";
    for (const auto &row : rows) text += "\x1b[2K" + row.first + "\n";
    show(text, (int)rows.size() + 1, now);
  }

  // The table's LINES in place of the one on the screen, unless they are
  // what it shows already.
  void show(std::string table, int lines, double now) {
    // Each line cut to the terminal's width, less a column (some consoles
    // wrap at the last): a line that wrapped would take two, and the table
    // would no longer be redrawn in place.
    const size_t columns = (size_t)std::max(subprocess_consoleColumns() - 1, 0);
    for (size_t at = 0, end; columns > 0 && at < table.size(); at = table.find('\n', at) + 1) {
      end = table.find('\n', at);  // every line begins with the erase sequence, 4 bytes
      if (end - at > 4 + columns) table.erase(at + 4 + columns, end - at - 4 - columns);
    }
    drawnAt_ = now;
    if (drawnLines_ > 0 && table == shown_) return;
    std::string text;
    if (drawnLines_ > 0) text += "\x1b[" + std::to_string(drawnLines_) + "F";  // back to the table's top
    fputs((text + table).c_str(), stdout);
    fflush(stdout);
    drawnLines_ = lines;
    shown_ = table;
  }

  // Text below the table; the table is drawn anew under it.
  void message(const std::string &text) {
    fprintf(stderr, "%s\n", text.c_str());
    fflush(stderr);
    drawnLines_ = 0;
  }

  const bool live_;  // a terminal that takes ANSI sequences: the table in place
  bool recording_ = false;
  std::string historyPath_;
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

// TEXT in lines of at most SUMMARY_COLUMNS, each after INDENT, broken between words.
static void printIndented(const char *indent, const std::string &text) {
  const size_t width = SUMMARY_COLUMNS - strlen(indent);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.size();
    if (end - at > width) {
      end = text.rfind(' ', at + width);
      if (end == std::string::npos || end <= at) end = at + width;  // one word longer than a line
    }
    printf("%s%s\n", indent, text.substr(at, end - at).c_str());
    at = text.find_first_not_of(' ', end);
    if (at == std::string::npos) break;
  }
}

// The summary table, 80 columns wide for COM ports: the log column holds the
// log's name in LOGDIR, said under the table, after the units updated per hour over
// the run's RUNSECONDS (from update-all's start, its search included, to the
// summary). With retryLine, the command that tries the units not updated
// again (a watch has none: a unit is tried again by replugging it).
static void printSummary(const std::vector<FleetRecord> &records, const FleetOptions &options,
                         const std::string &logDir, double runSeconds, bool retryLine = true) {
  printf("\n%s\n", header("TYPE RATE    RESULT      FIRMWARE          SECONDS  LOG").c_str());
  bool anyLog = false;
  for (const FleetRecord &r : records) {
    std::string firmware = r.firmwareBefore.empty() ? "-" : r.firmwareBefore;
    if (!r.firmwareAfter.empty()) firmware += " -> " + r.firmwareAfter;
    const size_t slash = r.log.find_last_of("/\\");
    anyLog = anyLog || !r.log.empty();
    printf("%s %-4s %-7s %-11s %-17s %7.0f  %s\n", portCell(r).c_str(),
           r.type.empty() ? "-" : r.type.c_str(), rateCell(r.baud).c_str(),
           fleet_resultName(r.result), firmware.c_str(), r.seconds,
           slash == std::string::npos ? r.log.c_str() : r.log.c_str() + slash + 1);
    if (!r.label.empty()) printIndented("        ", "label " + printableText_escape(r.label));
    if (!fleet_isSound(r.result))
      printIndented("        ", r.failedStep.empty() ? r.message : r.failedStep + ": " + r.message);
    // A hook that failed or was stopped: the light or printer it drives missed this unit.
    for (const auto &hook :
         {std::make_pair("on-start", r.startHookStatus), std::make_pair("on-result", r.hookStatus)})
      if (hook.second > 0) printf("        %s hook: exit status %d\n", hook.first, hook.second);
  }
  printf("%s\n", fleet_rateLine(records, elapsedText(runSeconds), runSeconds).c_str());
  if (anyLog) printf("Logs in %s\n", logDir.c_str());
  std::string retry = retryLine ? fleet_retryCommand(records, options.noVerify, options.baud) : "";
  if (!retry.empty()) printf("\nTo try again: %s\n", retry.c_str());
  fflush(stdout);
}

// ---- The run ------------------------------------------------------------------------------

static std::string defaultLogDir(time_t start) {
  return fleet_utcText(start, "update-all-%Y%m%dT%H%M%SZ");
}

// The default folder is named after the start time, to the second: a run
// started within the same second gets the next number rather than the
// earlier run's folder.
static bool makeDefaultLogFolder(time_t start, std::string *folder) {
  const std::string base = defaultLogDir(start);
  for (int number = 1; number < 1000; number++) {
    *folder = fleet_numberedName(base, number);
    if (files_makeFolder(*folder, true)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// The records of the units that have ended, their hooks too, in the order
// they were found.
static std::vector<FleetRecord> finishedRecords(const FleetRun &run) {
  std::vector<FleetRecord> records;
  for (const FleetUnit *unit : run.units())
    if (unit->recorded) records.push_back(unit->record);
  return records;
}

// --labels: the lines typed since the last round into the queue; what was
// refused (at most LABEL_NOTES_MAX notes a round), and the end of the input,
// said (once).
#define LABEL_NOTES_MAX 5
static void readLabels(LabelQueue &labels, Display &display) {
  std::vector<std::string> notes;
  char buffer[4096];
  int n = 0;
  // At most 64 KiB a round: a writer that never stops does not hold the run up.
  for (int reads = 0; reads < 16 && (n = standardInput_read(buffer, sizeof buffer)) > 0; reads++)
    labels.feed(buffer, (size_t)n, &notes);
  const bool ended = n < 0 && !labels.ended();
  if (ended) labels.end(&notes);
  // A flood (a program writing garbage) says a few, and how many more.
  for (size_t i = 0; i < notes.size() && i < LABEL_NOTES_MAX; i++) display.note(notes[i]);
  if (notes.size() > LABEL_NOTES_MAX)
    display.note("... and " + std::to_string(notes.size() - LABEL_NOTES_MAX) +
                 " more lines refused");
  if (ended)
    display.note(
        "Standard input has ended: no more labels. A unit found from now on waits "
        "(needs label) until Ctrl+C.");
}

// --watch: the ports watched until an interrupt; each unit that appears is
// handled once (FleetWatch), the report rewritten after each unit's end.
static int runWatch(const FleetOptions &options, const std::vector<int> &ports,
                    const std::string &self, const std::string &program, const std::string &logDir) {
  const double startedAt = fleet_nowSeconds();
  for (int port : ports)
    if ((int)portDescription_of(port).name.size() > gPortWidth)
      gPortWidth = (int)portDescription_of(port).name.size();
  printf("Watching %zu port%s, probed every %g s; Ctrl+C to stop\n", ports.size(),
         ports.size() == 1 ? "" : "s", options.intervalSeconds);
  if (options.labels)
    printf("Labels: one a line on standard input (scanned, or typed and Enter)\n");
  printf("Logs in %s\n\n", logDir.c_str());
  fflush(stdout);

  const bool live = platform_consoleTakesEscapes();
  Display display(live);
  if (!options.noHistory) display.recordIn(historyPathFor(options.historyPath, false));
  FleetRun run(options, logDir, program, display);
  run.watch();
  FleetWatch watch(self, ports, options.intervalSeconds, run, options.slotLocations);
  display.watching(&watch);
  LabelQueue labels;
  gLabelColumn = options.labels;
  if (options.labels) {
    watch.labels(&labels);
    display.labels(&labels);
    standardInput_start(live);  // typing does not move the table drawn in place
  }
  size_t reported = 0;
  bool reportFailed = false;
  for (;;) {
    const double now = fleet_nowSeconds();
    if (options.labels) readLabels(labels, display);
    watch.round(now);
    bool unitsLeft = run.round();
    // Stopped in the round the interrupt came in; the units waiting for a
    // label it hands to the run, not started, are recorded in the next round.
    if (!run.watching() && watch.stop(now)) unitsLeft = true;
    display.watchRound();
    const std::vector<FleetRecord> records = finishedRecords(run);
    if (!options.reportPath.empty() && records.size() != reported) {
      // Whole after each unit: a station that loses power keeps every unit
      // handled so far.
      std::string error;
      if (!fleet_writeReport(options.reportPath, records, &error)) {
        toolError_print("%s", error.c_str());
        reportFailed = true;
      }
      reported = records.size();
    }
    if (!run.watching() && !unitsLeft && !watch.probing()) break;
    run.wait(100);
    watch.wait(100);
  }
  standardInput_stop();

  const std::vector<FleetRecord> records = finishedRecords(run);
  bool anyFailed = reportFailed, anyInterrupted = false;
  for (const FleetRecord &r : records) {
    anyFailed = anyFailed || r.result == FLEET_RESULT_FAILED;
    anyInterrupted = anyInterrupted || r.result == FLEET_RESULT_INTERRUPTED;
  }
  if (records.empty()) printf("\nNo unit was plugged in.\n");
  else
    printSummary(records, options, logDir, fleet_nowSeconds() - startedAt, false);
  if (anyFailed) return EXIT_UPDATE_FAILED;
  return anyInterrupted ? EXIT_INTERRUPTED : EXIT_UPDATE_DONE;
}

// update-all once its options are checked; argv0 starts the children.
static int updateAll(const FleetOptions &options, const char *argv0) {
  const time_t startTime = time(NULL);
  const double startedAt = fleet_nowSeconds();
  std::vector<int> ports = options.ports.empty() && options.slotLocations.empty()
                               ? unitSearch_systemPorts()
                               : options.ports;
  if (!options.reportPath.empty()) {
    // Refused now rather than after every unit has been updated; an earlier
    // report stays as it is until the new one replaces it.
    std::string error;
    if (!fleet_checkReportPath(options.reportPath, &error)) {
      toolError_print("%s", error.c_str());
      return EXIT_USAGE;
    }
  }
  if (!options.traceDir.empty() && !files_makeFolder(options.traceDir, false)) {
    toolError_print("cannot make the trace folder %s: %s", options.traceDir.c_str(),
            strerror(errno));
    return EXIT_USAGE;
  }
  // Every port's probe, then every unit's update, is a child whose channel
  // this process holds open, with a few more descriptors each for its start,
  // its log and its hooks: a soft limit of 256 or 1024 would leave the ports
  // past it unprobed.
  const long wantedFiles = 2 * (long)(ports.size() + options.slotLocations.size()) + 32;
  const long fileLimit = subprocess_reserveDescriptors(wantedFiles);
  if (fileLimit >= 0 && fileLimit < wantedFiles)
    toolError_print("%lu ports need up to %ld open files and the limit is %ld (ulimit -n): "
                    "some ports may not be probed or updated",
                    (unsigned long)ports.size(), wantedFiles, fileLimit);
  const std::string self = subprocess_selfPath(argv0);
  const char *childOverride = getenv("FWUPGRADE_FLEET_CHILD");
  const std::string program = childOverride != NULL && *childOverride ? childOverride : self;
  subprocess_countInterrupts();

  if (options.watch) {
    std::string logDir = options.logDir;
    if (logDir.empty() ? !makeDefaultLogFolder(startTime, &logDir) : !files_makeFolder(logDir, false)) {
      toolError_print("cannot make the log folder %s: %s", logDir.c_str(), strerror(errno));
      return EXIT_UPDATE_FAILED;
    }
    logDir = fleet_nativePath(logDir);
    FleetOptions watching = options;
    watching.skipCurrent = true;
    return runWatch(watching, ports, self, program, logDir);
  }

  // 1. Find the units.
  printf("Looking for units on %zu port%s ...\n", ports.size(), ports.size() == 1 ? "" : "s");
  fflush(stdout);
  std::vector<FleetRecord> found;
  if (!fleet_findUnits(self, ports, options.baud, &found)) {
    toolError_print("interrupted while looking for units");
    return EXIT_INTERRUPTED;
  }
  if (found.empty()) {
    printf("No unit found.\n");
    if (!options.reportPath.empty()) {
      std::string error;
      if (!fleet_writeReport(options.reportPath, {}, &error)) toolError_print("%s", error.c_str());
    }
    return EXIT_NO_UNIT;
  }
  std::string names;
  for (const FleetRecord &unit : found)
    names += (names.empty() ? "" : ", ") + portDescription_of(unit.port).name +
             (unit.baud > 0 ? " at " + std::to_string(unit.baud) : " at the server's rate");
  printf("Found %zu unit%s: %s\n", found.size(), found.size() == 1 ? "" : "s", names.c_str());
  for (const FleetRecord &unit : found)
    if ((int)portDescription_of(unit.port).name.size() > gPortWidth)
      gPortWidth = (int)portDescription_of(unit.port).name.size();

  std::string logDir = options.logDir;
  if (logDir.empty() ? !makeDefaultLogFolder(startTime, &logDir) : !files_makeFolder(logDir, false)) {
    toolError_print("cannot make the log folder %s: %s", logDir.c_str(), strerror(errno));
    return EXIT_UPDATE_FAILED;
  }
  logDir = fleet_nativePath(logDir);
  printf("Logs in %s\n\n", logDir.c_str());
  fflush(stdout);

  // 2. Update them, at most `jobs` at once.
  Display display(platform_consoleTakesEscapes());
  if (!options.noHistory) display.recordIn(historyPathFor(options.historyPath, false));
  FleetRun run(options, logDir, program, display);
  for (const FleetRecord &unit : found) run.add(unit);
  while (run.round()) run.wait(200);

  // 3. Summary, report, exit status.
  std::vector<FleetRecord> records;
  bool allUpdated = true, anyFailed = false;
  for (const FleetUnit *unit : run.units()) {
    records.push_back(unit->record);
    allUpdated = allUpdated && fleet_isSound(unit->record.result);
    anyFailed = anyFailed || unit->record.result == FLEET_RESULT_FAILED;
  }
  printSummary(records, options, logDir, fleet_nowSeconds() - startedAt);
  if (!options.reportPath.empty()) {
    std::string error;
    if (!fleet_writeReport(options.reportPath, records, &error)) {
      toolError_print("%s", error.c_str());
      anyFailed = true;
    }
  }
  if (allUpdated) return EXIT_UPDATE_DONE;
  return anyFailed || !run.stopped() ? EXIT_UPDATE_FAILED : EXIT_INTERRUPTED;
}

int runUpdateAll(const ToolOptions &options) {
  const UpdateAllCommandLine &all = options.updateAll;
  if (all.probePort > 0) {
    // The probe's trace, for its parent to append to its own: each record
    // names the port, since the parent's trace holds every port's.
    if (!all.probeTrace.empty()) {
      serialTrace_setLabel(portDescription_of(all.probePort).name.c_str());
      if (all.probeTraceLimit > 0) serialTrace_setLimit(all.probeTraceLimit);
      serialTrace_start(TOOL_NAME " probe", FIRMWARE_VERSION_TO_UPLOAD, all.probeTrace.c_str());
    }
    return fleet_probePort(all.probePort, all.probeBaud, all.probeIdentify,
                           all.probeChannel.c_str());
  }
  if (all.portGiven) {
    toolError_print(
        "update-all looks for units on --ports, not --port (e.g. --ports 3 or --ports 1-8,12)");
    return EXIT_USAGE;
  }
  FleetOptions fleet = all.fleet;
  if (!all.ports.empty() &&
      !parseUpdateAllPorts(all.ports, fleet.watch, &fleet.ports, &fleet.slotLocations))
    return EXIT_USAGE;
  // --baud is the rate of the socket:// ports' lines, which no probe can
  // learn; the other ports' units are found at their own rates.
  if (fleet.baud > 0 && std::none_of(fleet.ports.begin(), fleet.ports.end(),
                                     [](int port) { return portDescription_of(port).serverRate; })) {
    toolError_print(
        "--baud is the rate of the socket:// ports' lines, and --ports names none "
        "(COM and rfc2217:// ports are asked at detection's rates)");
    return EXIT_USAGE;
  }
  return updateAll(fleet, options.program);
}
