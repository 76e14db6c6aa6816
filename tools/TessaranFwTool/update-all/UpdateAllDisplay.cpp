// update-all's display: the live table, or one line per change of step; the
// warnings under it; the rows of a watch and its count; the summary.
#include "update-all/UpdateAllDisplay.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ToolCommands.h"
#include "fleet/LabelQueue.h"
#include "platform/PrintableText.h"
#include "platform/Subprocess.h"
#include "platform/ToolName.h"
#include "serial/PortDescription.h"
#include "updater/ReleaseSummary.h"

// The live table is drawn when a unit's step changes or a unit ends, and
// otherwise (percentages, clocks, probes) at most this often, only when its
// text differs from what is on the screen.
#define REDRAW_SECONDS 1.0
// The summary's width, and the live table's fold line's.
#define SUMMARY_COLUMNS 80
// The units that need a look (failed, interrupted) a watch's summary shows, the last ones.
#define WATCH_ATTENTION_MAX 100

static std::string elapsedText(double seconds) {
  char text[48];
  long whole = (long)seconds;
  snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

void ImageLengths::read() {
  ReleaseImage images[RELEASE_IMAGE_COUNT];
  if (summarizeEmbeddedRelease(images)) {
    mcu = images[0].flatLength;
    tx = images[1].flatLength;
    rx = images[2].flatLength;
  }
}

long ImageLengths::fpgaFor(const std::string &type) const {
  if (type == "TX") return tx;
  if (type == "RX") return rx;
  return tx > rx ? tx : rx;  // not known yet: the longer
}

// The port column: "COM3   ", or a network port's URL.
void TableColumns::fitPorts(const std::vector<int> &ports) {
  for (int port : ports) port_ = std::max(port_, (int)portDescription_of(port).name.size());
}

std::string TableColumns::portCell(const FleetRecord &record) const {
  char cell[300];
  snprintf(cell, sizeof cell, "%-*s", port_, portDescription_of(record.port).name.c_str());
  return cell;
}

// The live table's SLOT column: the adapter's USB location ("usb:1-1.4.2").
static std::string slotText(const FleetRecord &record) {
  return record.location.empty() ? "" : (record.vid.empty() ? "" : "usb:") + record.location;
}

void TableColumns::fitSlots(const std::vector<const FleetUnit *> &units) {
  slot_ = 0;
  for (const FleetUnit *unit : units) {
    const int width = (int)slotText(unit->record).size();
    if (width > 0) slot_ = std::max(slot_, 2 + std::max(width, 4));
  }
}

// The live table's LABEL column under --labels: a label longer than
// LABEL_COLUMN_MAX is cut, ".." at its end.
#define LABEL_COLUMN_MAX 16

void TableColumns::fitLabels(const std::vector<const FleetUnit *> &units) {
  label_ = labels_ ? 5 : 0;
  for (const FleetUnit *unit : units)
    if (labels_)
      label_ =
          std::max(label_, std::min((int)unit->record.label.size(), LABEL_COLUMN_MAX));
}

std::string TableColumns::labelCell(const FleetRecord &record) const {
  std::string label = printableText_escape(record.label);
  if ((int)label.size() > label_) label = label.substr(0, label_ - 2) + "..";
  label.resize(label_, ' ');
  return "  " + label;
}

static std::string rateCell(int baud) { return baud > 0 ? std::to_string(baud) : "-"; }

// A unit's update begun again (--retries) says which attempt it is in: after
// its step on a line of its own, at the live row's end where it moves no column.
static std::string attemptText(const FleetUnit &unit) {
  return unit.record.attempts > 1 ? " (attempt " + std::to_string(unit.record.attempts) + ")" : "";
}

// A unit's step as a watch shows it: "updated" for "done" once it has ended.
static std::string watchedStep(const FleetUnit &unit) {
  if (unit.finished && unit.step == FLEET_STEP_DONE) return fleet_resultName(FLEET_RESULT_UPDATED);
  if (!unit.running && !unit.finished) return "queued";  // waits for its turn (--jobs)
  return unit.stepName();
}

std::string TableColumns::unitRow(const FleetUnit &unit, double now, const ImageLengths *lengths,
                                  bool watched) const {
  const std::string step =
      (watched ? watchedStep(unit) : unit.stepName()) + (lengths == NULL ? attemptText(unit) : "");
  char row[240];
  std::string percent = unit.running && unit.percent > 0 ? std::to_string(unit.percent) + "%" : "";
  double elapsed = unit.startedAt == 0 ? 0 : (unit.running ? now : unit.lastHeardAt) - unit.startedAt;
  snprintf(row, sizeof row, " %-4s %-7s %-17s %5s %7s",
           unit.record.type.empty() ? "-" : unit.record.type.c_str(),
           rateCell(unit.record.baud).c_str(), step.c_str(), percent.c_str(),
           unit.startedAt == 0 ? "" : elapsedText(elapsed).c_str());
  if (lengths == NULL)  // a line of its own: the whole label at its end
    return portCell(unit.record) + row +
           (labels_ && !unit.record.label.empty()
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
  std::string slot = slot_ > 0 ? "  " + printableText_escape(slotText(unit.record)) : "";
  if (slot_ > 0) slot.resize(std::max((int)slot.size(), slot_), ' ');
  const std::string label = label_ > 0 ? labelCell(unit.record) : "";
  return portCell(unit.record) + row + std::string(column) + label + slot + attemptText(unit);
}

std::string TableColumns::header(const char *rest) const {
  char cell[300];
  snprintf(cell, sizeof cell, "%-*s", port_, "PORT");
  return std::string(cell) + " " + rest;
}

static const char kTableHeader[] = "TYPE RATE    STEP              PERCENT ELAPSED    LEFT";

std::string TableColumns::tableHeader(void) const {
  std::string label = label_ > 0 ? "  LABEL" : "";
  if (label_ > 0) label.resize(label_ + 2, ' ');
  std::string slot = slot_ > 0 ? "  SLOT" : "";
  if (slot_ > 0) slot.resize(slot_, ' ');
  return header(kTableHeader) + label + slot;
}

std::string TableColumns::emptyPortRow(int port, bool probing) const {
  FleetRecord record;
  record.port = port;
  char row[64];
  snprintf(row, sizeof row, " %-4s %-7s %s", "-", "-", probing ? "probing" : "waiting");
  return portCell(record) + row;
}

std::string TableColumns::needsLabelRow(const FleetRecord &found) const {
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
// and with labels ", needs label 1". The units recorded are counted already
// (RECORDED); UNITS are those the run holds.
static std::string countLine(const RecordedUnits &recorded,
                             const std::vector<const FleetUnit *> &units, int needLabel = 0) {
  long updated = recorded.updated, current = recorded.current, failed = recorded.failed,
       interrupted = recorded.interrupted, updating = 0;
  for (const FleetUnit *unit : units) {
    const FleetResult result = unit->record.result;
    if (unit->recorded) continue;
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

UpdateAllDisplay::UpdateAllDisplay(bool live) : live_(live) {
  if (live_) lengths_.read();
}

void UpdateAllDisplay::labels(const LabelQueue *labels) {
  labels_ = labels;
  columns_.showLabels(labels != NULL);
}

void UpdateAllDisplay::recordIn(const std::string &path, double runStartedAt) {
  recording_ = true;
  historyPath_ = path;
  // The run's start on the system's clock: now, less the monotonic seconds since.
  runStartedAt_ = runStartedAt;
  runStarted_ = fleet_isoTime(time(NULL) - (time_t)(fleet_nowSeconds() - runStartedAt + 0.5));
}

// The count after each unit's end comes with the round's end (roundEnded).
void UpdateAllDisplay::watchRound(void) {
  if (watch_ == NULL) return;
  const std::vector<FleetWatch::Port> ports = watch_->ports();
  if (lastUnits_.size() != ports.size()) {
    lastUnits_.assign(ports.size(), NULL);
    lastNeedsLabel_.assign(ports.size(), false);
  }
  for (size_t i = 0; i < ports.size(); i++) {
    const bool gone = (lastUnits_[i] != NULL || lastNeedsLabel_[i]) && ports[i].unit == NULL &&
                      !ports[i].needsLabel;
    if (!live_ && gone) printf("%s\n", columns_.emptyPortRow(ports[i].port, false).c_str());
    if (!live_ && ports[i].needsLabel && !lastNeedsLabel_[i])
      printf("%s\n", columns_.needsLabelRow(ports[i].waiting).c_str());
    lastUnits_[i] = ports[i].unit;
    lastNeedsLabel_[i] = ports[i].needsLabel;
  }
  if (!live_ && labels_ != NULL && queueLine(*labels_) != queueShown_) {
    queueShown_ = queueLine(*labels_);
    printf("%s\n", queueShown_.c_str());
  }
  if (!live_) fflush(stdout);
}

// The unit's record is final, its hooks' statuses in it: to the history; one
// that cannot be written is said under the table.
void UpdateAllDisplay::unitRecorded(const FleetUnit &unit) {
  const FleetResult result = unit.record.result;
  if (result == FLEET_RESULT_UPDATED) recorded_.updated++;
  else if (result == FLEET_RESULT_CURRENT) recorded_.current++;
  else if (result == FLEET_RESULT_FAILED) recorded_.failed++;
  else recorded_.interrupted++;
  if (watch_ != NULL && !fleet_isSound(result)) {
    recorded_.attention.push_back(unit.record);
    if (recorded_.attention.size() > WATCH_ATTENTION_MAX) {
      recorded_.attention.pop_front();
      recorded_.attentionLeftOut++;
    }
  }
  if (!recording_) return;
  // The unit's start on the run's monotonic clock, which the history's rates are measured on.
  FleetRecord record = unit.record;
  record.runStarted = runStarted_;
  record.runSeconds = unit.startedAt > 0 ? std::max(0.0, unit.startedAt - runStartedAt_) : -1;
  const std::string why = recordInHistory(historyPath_, record);
  if (!why.empty()) message(TOOL_NAME ": " + why);
}

void UpdateAllDisplay::watchEnded(const std::vector<const FleetUnit *> &running) {
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
void UpdateAllDisplay::stepChanged(const FleetUnit &unit, double now) {
  if (live_) return;
  std::string row = columns_.unitRow(unit, now);
  while (!row.empty() && row.back() == ' ') row.pop_back();
  printf("%s\n", row.c_str());
  fflush(stdout);
}

void UpdateAllDisplay::warned(const std::vector<const FleetUnit *> &atRisk) {
  std::string ports;
  for (const FleetUnit *unit : atRisk)
    ports += (ports.empty() ? "" : ", ") + portDescription_of(unit->record.port).name;
  message("\nWARNING: " + ports + " being written: stopping now leaves " +
          (atRisk.size() == 1 ? "it" : "them") +
          " without working firmware. Interrupt again to stop anyway.");
}

void UpdateAllDisplay::stopping() { message("\nStopping every update ..."); }

void UpdateAllDisplay::hooksStopped(const std::vector<const FleetUnit *> &units) {
  std::string ports;
  for (const FleetUnit *unit : units)
    ports += (ports.empty() ? "" : ", ") + portDescription_of(unit->record.port).name;
  message(units.empty()
              ? "\nNo hook starts any more."
              : "\nStopped the hooks running for " + ports + "; no hook starts any more.");
}

// Once per unit, as its child tells it.
void UpdateAllDisplay::logFailed(const FleetUnit &unit, const std::string &why) {
  message(portDescription_of(unit.record.port).name + ": its log " + unit.record.log +
          " is not being written: " + why + "; the update goes on.");
}

void UpdateAllDisplay::roundEnded(const std::vector<const FleetUnit *> &units, double now, bool changed) {
  if (watch_ != NULL && !live_ && finishedSinceCount_) {
    printf("%s\n", countLine(recorded_, units).c_str());
    fflush(stdout);
  }
  if (live_ && (changed || now - drawnAt_ >= REDRAW_SECONDS || finishedSinceCount_)) {
    if (watch_ != NULL) drawWatch(units, now);
    else draw(units, now);
  }
  finishedSinceCount_ = false;
}

void UpdateAllDisplay::drawWatch(const std::vector<const FleetUnit *> &units, double now) {
  columns_.fitSlots(units);
  columns_.fitLabels(units);
  TableRows rows;
  const int columns = subprocess_consoleColumns();
  int needLabel = 0;
  for (const FleetWatch::Port &port : watch_->ports()) {
    needLabel += port.needsLabel ? 1 : 0;
    std::string row = port.needsLabel     ? columns_.needsLabelRow(port.waiting)
                      : port.unit == NULL ? columns_.emptyPortRow(port.port, port.probing)
                                          : columns_.unitRow(*port.unit, now, &lengths_, true);
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
  std::string text = "\x1b[2K" + columns_.tableHeader() + "\n";
  for (const auto &row : rows) text += "\x1b[2K" + row.first + "\n";
  text += "\x1b[2K" + countLine(recorded_, units, needLabel) + "\n";
  if (labels_ != NULL) text += "\x1b[2K" + queueLine(*labels_) + "\n";
  show(text, (int)rows.size() + 1 + below, now);
}

void UpdateAllDisplay::draw(const std::vector<const FleetUnit *> &units, double now) {
  columns_.fitSlots(units);
  columns_.fitLabels(units);
  TableRows rows;
  for (const FleetUnit *unit : units)
    rows.push_back({columns_.unitRow(*unit, now, &lengths_), unit->stepName()});
  fitWindow(&rows, 1, "units");
  std::string text = "\x1b[2K" + columns_.tableHeader() + "\n";
  for (const auto &row : rows) text += "\x1b[2K" + row.first + "\n";
  show(text, (int)rows.size() + 1, now);
}

// The table's LINES in place of the one on the screen, unless they are
// what it shows already.
void UpdateAllDisplay::show(std::string table, int lines, double now) {
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
void UpdateAllDisplay::message(const std::string &text) {
  fprintf(stderr, "%s\n", text.c_str());
  fflush(stderr);
  drawnLines_ = 0;
}

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

// Where the summary's logs are: LOGDIR, or under a watch the one day folder
// in it that holds them all ("logs/2026-12-10"), else LOGDIR with a word on
// its day folders.
static std::string logsFolder(const std::vector<FleetRecord> &records, const std::string &logDir) {
  std::string folder;
  for (const FleetRecord &r : records) {
    const size_t slash = r.log.find_last_of("/\\");
    const std::string parent = slash == std::string::npos ? "" : r.log.substr(0, slash);
    if (r.log.empty() || parent == folder) continue;
    if (!folder.empty() || parent == logDir) return logDir + (parent == logDir ? "" : ", a folder per day");
    folder = parent;
  }
  return folder;
}

// The summary table, 80 columns wide for COM ports: the log column holds the
// log's name in LOGDIR, said under the table, after the units updated per hour over
// the run's RUNSECONDS (from update-all's start, its search included, to the
// summary). With retryLine, the command that tries the units not updated
// again (a watch has none: a unit is tried again by replugging it).
// The summary table's rows; TRUE when a unit names a log.
template <typename Records>
static bool printSummaryRows(const TableColumns &columns, const Records &records) {
  printf("\n%s\n", columns.header("TYPE RATE    RESULT      FIRMWARE          SECONDS  LOG").c_str());
  bool anyLog = false;
  for (const FleetRecord &r : records) {
    std::string firmware = r.firmwareBefore.empty() ? "-" : r.firmwareBefore;
    if (!r.firmwareAfter.empty()) firmware += " -> " + r.firmwareAfter;
    const size_t slash = r.log.find_last_of("/\\");
    anyLog = anyLog || !r.log.empty();
    printf("%s %-4s %-7s %-11s %-17s %7.0f  %s\n", columns.portCell(r).c_str(),
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
  return anyLog;
}

void UpdateAllDisplay::printSummary(const std::vector<FleetRecord> &records,
                                    const FleetOptions &options, const std::string &logDir,
                                    double runSeconds, bool retryLine) const {
  const bool anyLog = printSummaryRows(columns_, records);
  printf("%s\n", fleet_rateLine(records, elapsedText(runSeconds), runSeconds).c_str());
  if (anyLog) printf("Logs in %s\n", logsFolder(records, logDir).c_str());
  std::string retry =
      retryLine ? fleet_retryCommand(records, options.noVerify, options.baud, options.retries) : "";
  if (!retry.empty()) printf("\nTo try again: %s\n", retry.c_str());
  fflush(stdout);
}

// A watch's summary: the units that need a look, then the counts; a watch has
// no retry line (a unit is tried again by plugging it in again).
void UpdateAllDisplay::printWatchSummary(const std::string &logDir, double runSeconds) const {
  const RecordedUnits &r = recorded_;
  const long units = r.updated + r.current + r.failed + r.interrupted;
  if (units == 0) {
    printf("\nNo unit was plugged in.\n");
    fflush(stdout);
    return;
  }
  if (r.attentionLeftOut > 0)
    printf("\nFailed or interrupted: the last %zu here, %ld before them in the report and the history\n",
           r.attention.size(), r.attentionLeftOut);
  if (!r.attention.empty()) printSummaryRows(columns_, r.attention);
  printf("\n%ld unit%s: updated %ld, current %ld, failed %ld", units, units == 1 ? "" : "s",
         r.updated, r.current, r.failed);
  if (r.interrupted > 0) printf(", interrupted %ld", r.interrupted);
  printf("\n%s\n", fleet_rateLineOf(r.updated, units, elapsedText(runSeconds), runSeconds).c_str());
  printf("Logs in %s\n", logDir.c_str());
  fflush(stdout);
}
