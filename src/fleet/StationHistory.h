// The station's history: every unit that `update` or `update-all` handles,
// appended as one JSON line to a file that outlives the run (by default
// history.jsonl in the user's state folder). A line holds the report's keys
// for the unit, then the station's: the tool's version, the release, the
// checksums of the release's images for the unit's type, the host and user
// names, and the unit's slot.
//
// Several processes append at once (two update-all runs, a watch and an
// update): each line is one write under the file's lock, synced to the disk
// (platform/FileLock.h). A writer killed mid-line (SIGKILL, a power cut)
// leaves a torn last line, which readers skip with a note and the next writer
// closes with a line end, so that it stays a (corrupt) line of its own.
//
// Reading streams the file line by line: a history grows for years. A line
// that is not a record, or is longer than STATION_HISTORY_LINE_MAX, is named
// by its number and skipped; nothing in the file stops a reading. A reading
// for a time window (--since, --until) seeks its start and stops past its
// end instead of reading the file whole (HistoryFilter, STATION_HISTORY_DISORDER).
#ifndef STATIONHISTORY_H
#define STATIONHISTORY_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "fleet/FleetReport.h"
#include "fleet/HistoryLine.h"
#include "platform/FileLock.h"

#define STATION_HISTORY_FILE "history.jsonl"
// A line longer than this is no record of ours (one is about 1 KiB): it is
// skipped without being held whole.
#define STATION_HISTORY_LINE_MAX 65536

// A release image as the update announces it.
struct StationImage {
  std::string name;  // the release file's name; "" when the image is not known
  uint32_t checksum = 0;
};

// What every line of this process says besides the unit's record.
struct StationContext {
  std::string toolVersion, release;
  std::string station;       // host name
  std::string operatorName;  // user name
  StationImage mcu, txLogic, rxLogic;
};

// This process's context: TOOLVERSION, the embedded release, host and user.
StationContext stationHistory_context(const char *toolVersion);
// The history's default path, history.jsonl in the user's state folder for
// the updater (StationPlaces.h); "" when the system tells no such folder.
std::string stationHistory_defaultPath(void);
// Where the unit was plugged: "usb:LOCATION" when the system told the
// adapter's USB location, else its location as told, else the port's address.
std::string stationHistory_slot(const FleetRecord &record);
// The unit's line, its line end included.
std::string stationHistory_line(const FleetRecord &record, const StationContext &context);
// Appends the unit's line to PATH, making PATH's folders when missing,
// waiting up to waitSeconds for another writer's lock. FALSE with the reason
// in *error (and *busy set when the lock stayed held); the history is then
// as it was.
bool stationHistory_append(const std::string &path, const FleetRecord &record,
                           const StationContext &context, std::string *error,
                           double waitSeconds = FILE_LOCK_WAIT_SECONDS, bool *busy = NULL);
// The keys of a line, in their order (the CSV's columns).
std::vector<std::string> stationHistory_keys(void);

// ---- Reading ------------------------------------------------------------------------

// One record read back.
struct HistoryEntry {
  size_t line = 0;              // its line number in the file, from 1; 0 after a seek
                                // until the lines before it were counted (they are to
                                // name a line skipped)
  nlohmann::ordered_json json;  // the line's object, every key as written (null when the
                                // reader reads without it: see recordsWithoutJson)
  std::string text;             // the object as one line (no line end) as the full parser
                                // and the writers' dump give it back: what --json prints
  FleetRecord record;           // the report's fields (port stays 0: see address)
  std::string result;           // as written: a later version's word is kept as it is
  std::string slot;
  time_t started = -1, finished = -1;  // -1: not a time
  // The unit's start and end in seconds since 1970 on its run's monotonic
  // clock (run_started + run_seconds, then + seconds): the times the rates
  // are measured on. A line without those keys (written before them, or
  // by a unit that never started) gives started and finished. -1: not known.
  double runStart = -1, runEnd = -1;
};

struct HistoryFilter;

// ENTRY's record, result, slot, started and finished as read from a line's
// parsed object: how the reader reads a line that is not in the writers' own
// form (HistoryLine.h reads one that is to the same fields).
void stationHistory_readObject(const nlohmann::ordered_json &json, HistoryEntry *entry);
// ENTRY's runStart and runEnd from its record, started and finished (both
// readers end with it).
void stationHistory_runTimes(HistoryEntry *entry);

enum HistorySkip {
  HISTORY_NOT_A_RECORD,  // not a JSON object with a result
  HISTORY_TOO_LONG,      // longer than STATION_HISTORY_LINE_MAX
  HISTORY_TORN,          // the last line, without a line end: a write cut short
};

// Turns a history's bytes, fed in any pieces, into records. Blank lines are
// passed over; a line end may be "\r\n".
class HistoryReader {
 public:
  HistoryReader(std::function<void(const HistoryEntry &)> onRecord,
                std::function<void(size_t line, HistorySkip why)> onSkip)
      : onRecord_(std::move(onRecord)), onSkip_(std::move(onSkip)) {}
  void feed(const char *data, size_t length);
  // The end of the bytes: a last line without its line end is torn.
  void end();

  // Lines that FILTER plainly rejects from a cheap look at their bytes are
  // passed over without being parsed (nor counted: they are no record shown);
  // a line past the filter's --until by more than STATION_HISTORY_DISORDER
  // stops the reading (stopped()). FILTER must outlive the reading.
  void prefilter(const HistoryFilter *filter) { filter_ = filter; }
  bool stopped() const { return stopped_; }
  // Records whose line is in the writers' own form (HistoryLine.h) come
  // without their json, which stays null: their fields and text are read by
  // one pass over the line, several times faster than the full parser builds
  // the object. For a reader that needs only those (HistoryLineReader::csvLine
  // writes a record's CSV from its text).
  void recordsWithoutJson() { withoutJson_ = true; }
  // The reading starts past the file's beginning: a line skipped is named by
  // LINESBEFORE() (the lines before the start, asked once) plus its place.
  void startsLate(std::function<size_t()> linesBefore) { linesBefore_ = std::move(linesBefore); }

 private:
  void takeLine(const char *text, size_t size);
  bool passedOver(std::string_view line);
  void skip(size_t number, HistorySkip why);
  std::function<void(const HistoryEntry &)> onRecord_;
  std::function<void(size_t, HistorySkip)> onSkip_;
  std::function<size_t()> linesBefore_;
  std::string line_;
  size_t lineNumber_ = 0;
  bool tooLong_ = false;
  const HistoryFilter *filter_ = NULL;
  bool stopped_ = false;
  bool withoutJson_ = false;
  HistoryLineReader lines_;
  HistoryEntry entry_;  // each record read into the same one: its texts keep their room
};

// How far out of order by their finishing time two lines of a history may
// be, in seconds. Writers append a unit's line within seconds of its end
// (the lock's wait is FILE_LOCK_WAIT_SECONDS), so neighbours are out of
// order by seconds; the margin covers a station clock set in the wrong time
// zone and then put right (up to 26 hours) with room to spare, and costs a
// window's reading two days of lines passed over by a cheap look.
#define STATION_HISTORY_DISORDER (2 * 86400)

// Feeds the file at PATH to READER, a piece at a time, and ends it. FALSE
// with the reason in *error when the file cannot be opened or read, and
// *notPlain set when PATH is no plain file (a folder, a fifo, a device),
// which is refused without waiting on it.
//
// With FILTER, only what can hold its records is read: with a --since, the
// reading seeks the first line finished at most STATION_HISTORY_DISORDER
// before it (a binary search on byte offsets, each probe reading one line's
// time); with an --until it stops at the first line finished more than that
// after it; lines the filter plainly rejects are not parsed. Lines before the
// start are not read, so a bad one there is not named.
bool stationHistory_read(const std::string &path, HistoryReader &reader, std::string *error,
                         bool *notPlain = NULL, const HistoryFilter *filter = NULL);
// The byte offset of the line where a reading for units finished at SINCE or
// later starts in the open history FILE of SIZE bytes (0 when SINCE < 0).
// FALSE with the reason in *error when FILE cannot be read.
bool stationHistory_seek(FILE *file, uint64_t size, time_t since, uint64_t *start,
                         std::string *error);

// ---- Choosing and counting -------------------------------------------------------------

// "2026-12-09" (that day's first second, or its last with endOfDay) or
// "2026-12-09T08:15:00", with or without a final Z, always UTC; seconds may
// be left out. FALSE when TEXT is no such date or time.
bool stationHistory_parseTime(const std::string &text, bool endOfDay, time_t *when);
bool stationHistory_parseTime(const char *text, size_t size, bool endOfDay, time_t *when);

// The records shown: each condition set (not -1, not "") must hold.
struct HistoryFilter {
  time_t since = -1, until = -1;  // the unit finished in [since, until]
  std::string result, label;
  std::string slot;  // as the slot is written, "usb:" before a USB location optional
  std::string port;  // COM3, 3, a device's path or a terminal server's URL
};
bool historyFilter_matches(const HistoryFilter &filter, const HistoryEntry &entry);

// The footer under the records shown: counts by result, the median time of
// the units updated, the units updated per hour (units updated / (last end -
// first start of every unit shown, on their runs' clocks: HistoryEntry's
// runStart and runEnd)), and the lines skipped.
class HistoryFooter {
 public:
  void add(const HistoryEntry &entry);
  void skipped(HistorySkip why) { skipped_[why]++; }
  std::vector<std::string> lines() const;
  // The seconds from the first start to the last end; 0 when none passed.
  double span() const;

 private:
  std::vector<std::string> results_;
  std::vector<int> counts_;
  size_t units_ = 0;
  // The units updated by their seconds (written in tenths, so a year holds
  // a few thousand values): the median without holding every unit.
  std::map<double, size_t> seconds_;
  size_t updated_ = 0;
  double firstStart_ = -1, lastEnd_ = -1;
  size_t skipped_[3] = {0, 0, 0};
};

#endif  // STATIONHISTORY_H
