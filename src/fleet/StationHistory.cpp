// The station's history: its lines written under the file's lock, read back
// as a stream, chosen and counted.
#include "fleet/StationHistory.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <iterator>

#include "fleet/FleetLogs.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/PrintableText.h"
#include "platform/StationPlaces.h"
#include "serial/PortAddress.h"
#include "updater/ReleaseSummary.h"
#include "updater/TessaranFwUpgrade.h"

#define STATE_FOLDER_NAME "TessaranFwUpgrade"

StationContext stationHistory_context(const char *toolVersion) {
  StationContext context;
  context.toolVersion = toolVersion;
  context.release = FIRMWARE_VERSION_TO_UPLOAD;
  context.station = stationPlaces_hostName();
  context.operatorName = stationPlaces_userName();
  ReleaseImage images[RELEASE_IMAGE_COUNT];
  summarizeEmbeddedRelease(images);
  StationImage *mine[RELEASE_IMAGE_COUNT] = {&context.mcu, &context.txLogic, &context.rxLogic};
  for (int entry = 0; entry < RELEASE_IMAGE_COUNT; entry++) {
    if (!images[entry].valid) continue;
    mine[entry]->name = images[entry].name;
    mine[entry]->checksum = images[entry].checkSum;
  }
  return context;
}

std::string stationHistory_defaultPath(void) {
  const std::string folder = stationPlaces_stateFolder(STATE_FOLDER_NAME);
  return folder.empty() ? "" : fleet_nativePath(folder + "/" STATION_HISTORY_FILE);
}

std::string stationHistory_slot(const FleetRecord &r) {
  if (r.location.empty()) return r.address;
  return (r.vid.empty() ? "" : "usb:") + r.location;
}

static nlohmann::ordered_json imageJson(const StationImage &image) {
  return image.name.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(image.checksum);
}

// SECONDS in tenths, as the report writes a unit's seconds.
static double historyTenths(double seconds) { return (double)(long long)(seconds * 10 + 0.5) / 10; }

static nlohmann::ordered_json lineJson(const FleetRecord &r, const StationContext &context) {
  nlohmann::ordered_json line = fleet_recordJson(r);
  line["tool_version"] = context.toolVersion;
  line["release"] = context.release;
  line["station"] = context.station;
  line["operator"] = context.operatorName;
  line["slot"] = stationHistory_slot(r);
  // The images an update sends a unit of its type: the firmware's to every
  // unit, the logic's by type (null while the type is not known).
  const StationImage none;
  const StationImage &logic = r.type == "TX"   ? context.txLogic
                              : r.type == "RX" ? context.rxLogic
                                               : none;
  line["mcu_image"] = context.mcu.name;
  line["mcu_checksum"] = imageJson(context.mcu);
  line["fpga_image"] = logic.name;
  line["fpga_checksum"] = imageJson(logic);
  // The unit's start on its run's monotonic clock (null: it never started):
  // what a reading measures the rate on, whatever the system's clock did.
  line["run_started"] = r.runStarted;
  line["run_seconds"] = r.runSeconds >= 0 ? nlohmann::ordered_json(historyTenths(r.runSeconds))
                                          : nlohmann::ordered_json();
  return line;
}

std::string stationHistory_line(const FleetRecord &record, const StationContext &context) {
  // One line: no indentation; a byte that is not UTF-8 replaced, as the report does.
  return lineJson(record, context).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
         "\n";
}

std::vector<std::string> stationHistory_keys(void) {
  std::vector<std::string> keys;
  const nlohmann::ordered_json line = lineJson(FleetRecord(), StationContext());
  // A key the record gained later (a retried unit's attempts, the run's
  // clock) is its line's last column, so that a script reading `history
  // --csv` by position keeps the columns it had.
  static const char *const kAddedLater[] = {"attempts", "run_started", "run_seconds"};
  for (auto it = line.begin(); it != line.end(); ++it)
    if (std::find(std::begin(kAddedLater), std::end(kAddedLater), it.key()) == std::end(kAddedLater))
      keys.push_back(it.key());
  for (const char *key : kAddedLater) keys.push_back(key);
  return keys;
}

bool stationHistory_append(const std::string &path, const FleetRecord &record,
                           const StationContext &context, std::string *error, double waitSeconds,
                           bool *busy) {
  const size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos && slash > 0 &&
      !stationPlaces_makeFolders(path.substr(0, slash), error))
    return false;
  return fileLock_appendLine(path, stationHistory_line(record, context), waitSeconds, error, busy);
}

// ---- Reading ------------------------------------------------------------------------

// Where QUOTEDKEY is in LINE from FROM on. Most lines a filtered reading
// meets are passed over on this search alone: glibc's memmem is several
// times faster at it than a search for the key's first byte, so frequent
// in JSON.
static size_t findKey(std::string_view line, std::string_view quotedKey, size_t from) {
#ifdef _WIN32
  return line.find(quotedKey, from);
#else
  if (from > line.size()) return std::string::npos;
  const void *at = memmem(line.data() + from, line.size() - from, quotedKey.data(), quotedKey.size());
  return at == NULL ? std::string::npos : (size_t)((const char *)at - line.data());
#endif
}

// The value of KEY as this history's writers put it in a line: "KEY":"VALUE",
// once in the line, no escape in the value. FALSE when the line holds it any
// other way (or not at all): then only a parse can tell the value.
static bool plainValue(std::string_view line, std::string_view quotedKey, std::string_view *value) {
  const size_t at = findKey(line, quotedKey, 0);
  if (at == std::string::npos || findKey(line, quotedKey, at + 1) != std::string::npos) return false;
  const size_t from = at + quotedKey.size();
  const size_t to = line.find_first_of("\"\\", from);
  if (to == std::string::npos || line[to] != '"') return false;
  *value = line.substr(from, to - from);
  return true;
}

static const std::string_view kFinishedKey = "\"finished\":\"", kLabelKey = "\"label\":\"",
                              kResultKey = "\"result\":\"";

static time_t recordTime(std::string_view text);

// A line's finishing time from a cheap look, when that can tell it: TRUE
// with -1 in *when for a line whose "finished" is no time.
static bool cheapTime(std::string_view line, time_t *when) {
  std::string_view text;
  if (!plainValue(line, kFinishedKey, &text)) return false;
  *when = recordTime(text);
  return true;
}

bool HistoryReader::passedOver(std::string_view line) {
  // Only a whole object is judged here: anything else goes on to the parse,
  // which names it when it is no record.
  const size_t first = line.find_first_not_of(" \t"), last = line.find_last_not_of(" \t");
  if (line[first] != '{' || line[last] != '}') return false;
  const HistoryFilter &f = *filter_;
  std::string_view text;
  // A value read this way is the one the parse would read, or the parse
  // reads none (the key held deeper down): either way the filter rejects.
  if (!f.label.empty() && plainValue(line, kLabelKey, &text) && text != f.label) return true;
  if (!f.result.empty() && plainValue(line, kResultKey, &text) && text != f.result) return true;
  time_t when = -1;
  if ((f.since < 0 && f.until < 0) || !cheapTime(line, &when)) return false;
  if (f.until >= 0 && when > f.until + STATION_HISTORY_DISORDER) stopped_ = true;
  return (f.since >= 0 && when < f.since) || (f.until >= 0 && (when < 0 || when > f.until));
}

void HistoryReader::skip(size_t number, HistorySkip why) {
  if (linesBefore_) {
    const size_t before = linesBefore_();
    linesBefore_ = nullptr;
    lineNumber_ += before;
    number += before;
  }
  onSkip_(number, why);
}

void HistoryReader::feed(const char *data, size_t length) {
  for (size_t at = 0; at < length && !stopped_;) {
    const char *end = (const char *)memchr(data + at, '\n', length - at);
    const size_t piece = (end == NULL ? length : (size_t)(end - data)) - at;
    // A line past the bound is dropped as it comes, never held whole.
    if (!tooLong_ && line_.size() + piece > STATION_HISTORY_LINE_MAX) {
      tooLong_ = true;
      line_.clear();
      line_.shrink_to_fit();
    }
    if (end == NULL) {
      if (!tooLong_) line_.append(data + at, piece);
      break;
    }
    // A line whole in this piece is read where it lies.
    if (tooLong_ || line_.empty()) {
      takeLine(data + at, piece);
    } else {
      line_.append(data + at, piece);
      takeLine(line_.data(), line_.size());
    }
    line_.clear();
    at += piece + 1;
  }
}

void HistoryReader::end() {
  if (stopped_ || (line_.empty() && !tooLong_)) return;
  skip(++lineNumber_, HISTORY_TORN);
  line_.clear();
  tooLong_ = false;
}

// A time the history wrote, "2026-12-09T08:15:00Z"; -1 for anything else.
static time_t recordTime(std::string_view text) {
  time_t when = -1;
  if (text.size() != 20 || !stationHistory_parseTime(text.data(), text.size(), false, &when)) return -1;
  return when;
}

// The record the full parser reads from a line's object (HistoryLineReader
// reads the same from a line in the writers' form).
static void readRecord(const nlohmann::ordered_json &json, HistoryEntry *entry) {
  auto text = [&json](const char *key) {
    auto it = json.find(key);
    return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  auto number = [&json](const char *key, double otherwise) {
    auto it = json.find(key);
    return it != json.end() && it->is_number() ? it->get<double>() : otherwise;
  };
  FleetRecord &r = entry->record;
  r.address = text("address"), r.device = text("device"), r.baud = historyLine_int(number("baud", 0));
  entry->result = text("result");
  r.type = text("type"), r.result = fleet_resultOf(entry->result), r.failedStep = text("failed_step");
  r.firmwareBefore = text("firmware_before"), r.firmwareAfter = text("firmware_after");
  r.fpgaBefore = text("fpga_before"), r.fpgaAfter = text("fpga_after");
  r.message = text("message"), r.log = text("log"), r.label = text("label");
  r.started = text("started"), r.finished = text("finished"), r.seconds = number("seconds", 0);
  r.location = text("location"), r.serialNumber = text("serial_number");
  r.vid = text("vid"), r.pid = text("pid");
  r.hookStatus = historyLine_int(number("hook_status", FLEET_NO_HOOK));
  r.startHookStatus = historyLine_int(number("start_hook_status", FLEET_NO_HOOK));
  r.attempts = historyLine_int(number("attempts", 1));  // lines written before retries: one
  r.runStarted = text("run_started"), r.runSeconds = number("run_seconds", -1);
  entry->slot = json.contains("slot") ? text("slot") : stationHistory_slot(r);
  entry->started = recordTime(r.started);
  entry->finished = recordTime(r.finished);
  stationHistory_runTimes(entry);
}

void stationHistory_runTimes(HistoryEntry *entry) {
  const FleetRecord &r = entry->record;
  const time_t run = recordTime(r.runStarted);
  // Seconds past this are no run's (a century): the line is read as one
  // without the keys, so that no figure grows past what a time can be.
  const double most = 100 * 366 * 86400.0;
  if (run >= 0 && r.runSeconds >= 0 && r.runSeconds < most && r.seconds < most) {
    entry->runStart = (double)run + r.runSeconds;
    entry->runEnd = entry->runStart + (r.seconds > 0 ? r.seconds : 0);
  } else {
    entry->runStart = (double)entry->started;
    entry->runEnd = (double)entry->finished;
  }
}

void stationHistory_readObject(const nlohmann::ordered_json &json, HistoryEntry *entry) {
  readRecord(json, entry);
}

void HistoryReader::takeLine(const char *text, size_t size) {
  const size_t number = ++lineNumber_;
  if (tooLong_) {
    tooLong_ = false;
    skip(number, HISTORY_TOO_LONG);
    return;
  }
  std::string_view line(text, size);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.find_first_not_of(" \t") == std::string::npos) return;  // blank
  if (filter_ != NULL && passedOver(line)) return;
  HistoryEntry &entry = entry_;
  entry.line = linesBefore_ ? 0 : number;
  if (lines_.read(line.data(), line.size(), &entry)) {
    // The line is what the full parser and the dump give back.
    entry.text.assign(line);
    entry.json = withoutJson_ ? nlohmann::ordered_json()
                              : nlohmann::ordered_json::parse(line.begin(), line.end(), nullptr, false);
    onRecord_(entry);
    return;
  }
  entry.json = nlohmann::ordered_json::parse(line.begin(), line.end(), nullptr, false);
  auto result = entry.json.is_object() ? entry.json.find("result") : entry.json.end();
  if (!entry.json.is_object() || result == entry.json.end() || !result->is_string()) {
    skip(number, HISTORY_NOT_A_RECORD);
    return;
  }
  readRecord(entry.json, &entry);
  entry.text = entry.json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  onRecord_(entry);
}

static bool seekTo(FILE *file, uint64_t at) {
#ifdef _WIN32
  return _fseeki64(file, (__int64)at, SEEK_SET) == 0;
#else
  return fseeko(file, (off_t)at, SEEK_SET) == 0;
#endif
}

static bool fileSize(FILE *file, uint64_t *size) {
#ifdef _WIN32
  const bool ok = _fseeki64(file, 0, SEEK_END) == 0;
  const __int64 end = ok ? _ftelli64(file) : -1;
#else
  const bool ok = fseeko(file, 0, SEEK_END) == 0;
  const off_t end = ok ? ftello(file) : -1;
#endif
  if (end < 0) return false;
  *size = (uint64_t)end;
  return seekTo(file, 0);
}

// A probe reads this far at most for a line that tells its time; past it,
// the probe counts as "late" (the search then looks earlier, which is safe).
#define PROBE_SPAN (4u * STATION_HISTORY_LINE_MAX)

// Among the lines that start at AT or later (a line starts at 0 or after a
// line end), the first whose time a cheap look tells: its time in *when, the
// offset past it in *next; *when -2 when none does within PROBE_SPAN.
static bool probe(FILE *file, uint64_t size, uint64_t at, time_t *when, uint64_t *next,
                  std::string *error) {
  *when = -2;
  uint64_t pos = at > 0 ? at - 1 : 0;  // the byte before AT tells whether a line starts there
  bool inLine = at > 0, tooLong = false;
  std::string line;
  char buffer[8192];
  if (!seekTo(file, pos)) return *error = strerror(errno), false;
  while (pos < size && pos < at + PROBE_SPAN) {
    const size_t n = fread(buffer, 1, sizeof buffer, file);
    if (n == 0) return *error = ferror(file) ? strerror(errno) : "the file shrank", false;
    for (size_t i = 0; i < n;) {
      const char *end = (const char *)memchr(buffer + i, '\n', n - i);
      const size_t piece = (end == NULL ? n : (size_t)(end - buffer)) - i;
      if (!inLine && !tooLong) line.append(buffer + i, piece);
      if (line.size() > STATION_HISTORY_LINE_MAX) tooLong = true, line.clear();
      i += piece;
      if (end == NULL) break;
      i++;
      if (!inLine && !tooLong && cheapTime(line, when) && *when >= 0) {
        *next = pos + i;
        return true;
      }
      *when = -2, inLine = tooLong = false;
      line.clear();
    }
    pos += n;
  }
  return true;
}

bool stationHistory_seek(FILE *file, uint64_t size, time_t since, uint64_t *start,
                         std::string *error) {
  *start = 0;
  if (since < 0) return true;
  // Lines are in time order but for a disorder below the margin: the first
  // line that can be finished at SINCE or later comes after every line found
  // finished before SINCE - margin. The search finds the last such line.
  const time_t target = since - STATION_HISTORY_DISORDER;
  uint64_t low = 0, high = size;
  while (low < high) {
    const uint64_t middle = low + (high - low) / 2;
    time_t when;
    uint64_t next = 0;
    if (!probe(file, size, middle, &when, &next, error)) return false;
    if (when != -2 && when < target)
      low = *start = next;  // next > middle: every line before it is early enough to pass
    else
      high = middle;
  }
  return true;
}

// The lines that end before AT: a line skipped after a seek is named by its number.
static size_t linesBefore(FILE *file, uint64_t at) {
#ifdef _WIN32
  const __int64 back = _ftelli64(file);
#else
  const off_t back = ftello(file);
#endif
  size_t lines = 0;
  char buffer[65536];
  if (!seekTo(file, 0)) return 0;
  for (uint64_t pos = 0; pos < at;) {
    const size_t n = fread(buffer, 1, (size_t)std::min<uint64_t>(sizeof buffer, at - pos), file);
    if (n == 0) break;
    for (const char *p = buffer; (p = (const char *)memchr(p, '\n', buffer + n - p)) != NULL; p++)
      lines++;
    pos += n;
  }
  seekTo(file, (uint64_t)back);
  return lines;
}

bool stationHistory_read(const std::string &path, HistoryReader &reader, std::string *error,
                         bool *notPlain, const HistoryFilter *filter) {
  // Anything but a plain file is refused before a read: a fifo or a device
  // would hold the reading up for ever.
  std::string kind;
  FILE *file = files_openPlain(path, true, &kind);
  if (notPlain != NULL) *notPlain = !kind.empty();
  if (file == NULL) {
    *error = kind.empty() ? strerror(errno) : kind + ", not a plain file";
    return false;
  }
  reader.prefilter(filter);
  uint64_t size = 0, start = 0;
  if (filter != NULL && filter->since >= 0) {
    if (!fileSize(file, &size) || !stationHistory_seek(file, size, filter->since, &start, error) ||
        !seekTo(file, start)) {
      if (error->empty()) *error = strerror(errno);
      fclose(file);
      return false;
    }
    if (start > 0) reader.startsLate([file, start]() { return linesBefore(file, start); });
  }
  char buffer[65536];
  size_t n;
  while (!reader.stopped() && (n = fread(buffer, 1, sizeof buffer, file)) > 0) reader.feed(buffer, n);
  const bool ok = !ferror(file);
  if (!ok) *error = strerror(errno);
  reader.end();
  reader.startsLate(nullptr);  // it names FILE, closed now
  fclose(file);
  return ok;
}

// ---- Choosing and counting -------------------------------------------------------------

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
static long long daysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const int yearOfEra = year - (int)era * 400;
  const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The digits at TEXT[at], COUNT of them, as a number; -1 when they are not digits.
static int digitsAt(std::string_view text, size_t at, size_t count) {
  if (at + count > text.size()) return -1;
  int value = 0;
  for (size_t i = at; i < at + count; i++) {
    if (!isdigit((unsigned char)text[i])) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool stationHistory_parseTime(const std::string &text, bool endOfDay, time_t *when) {
  return stationHistory_parseTime(text.data(), text.size(), endOfDay, when);
}

bool stationHistory_parseTime(const char *bytes, size_t size, bool endOfDay, time_t *when) {
  const std::string_view text(bytes, size);
  std::string_view t = text;
  if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.remove_suffix(1);
  const int year = digitsAt(t, 0, 4), month = digitsAt(t, 5, 2), day = digitsAt(t, 8, 2);
  if (t.size() < 10 || t[4] != '-' || t[7] != '-' || year < 1970 || month < 1 || month > 12 ||
      day < 1)
    return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[month - 1] + (month == 2 && leap)) return false;
  int hour = 0, minute = 0, second = 0;
  if (t.size() == 10) {
    if (text.size() != 10) return false;  // a date has no Z
    if (endOfDay) hour = 23, minute = 59, second = 59;
  } else {
    if ((t[10] != 'T' && t[10] != 't' && t[10] != ' ') || (t.size() != 16 && t.size() != 19) ||
        t[13] != ':' || (t.size() == 19 && t[16] != ':'))
      return false;
    hour = digitsAt(t, 11, 2), minute = digitsAt(t, 14, 2);
    second = t.size() == 19 ? digitsAt(t, 17, 2) : 0;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
      return false;
  }
  const long long seconds =
      daysFromCivil(year, month, day) * 86400LL + hour * 3600 + minute * 60 + second;
  if (sizeof(time_t) < 8 && seconds > 0x7fffffffLL) return false;
  *when = (time_t)seconds;
  return true;
}

// A port as --port writes it, the same as the record's address: COM3 for 3.
static bool samePort(const std::string &wanted, const FleetRecord &r) {
  const int com = portAddress_comNumber(wanted);
  if (com > 0) return portAddress_comNumber(r.address) == com;
  return wanted == r.address || wanted == r.device;
}

bool historyFilter_matches(const HistoryFilter &f, const HistoryEntry &e) {
  const std::string usb = "usb:";
  if (f.since >= 0 && (e.finished < 0 || e.finished < f.since)) return false;
  if (f.until >= 0 && (e.finished < 0 || e.finished > f.until)) return false;
  if (!f.result.empty() && e.result != f.result) return false;
  if (!f.label.empty() && e.record.label != f.label) return false;
  if (!f.slot.empty() && e.slot != f.slot && e.slot != usb + f.slot) return false;
  return f.port.empty() || samePort(f.port, e.record);
}

// The results a footer counts apart: ours, and a few words of a later
// version's; lines with any more are counted together as "other".
#define FOOTER_RESULTS_MAX 8

void HistoryFooter::add(const HistoryEntry &entry) {
  std::string result = entry.result;
  auto it = std::find(results_.begin(), results_.end(), result);
  if (it == results_.end() && results_.size() >= FOOTER_RESULTS_MAX) {
    result = "other";
    it = std::find(results_.begin(), results_.end(), result);
  }
  if (it == results_.end()) {
    results_.push_back(result);
    counts_.push_back(1);
  } else {
    counts_[it - results_.begin()]++;
  }
  units_++;
  if (entry.record.result == FLEET_RESULT_UPDATED) seconds_[entry.record.seconds]++, updated_++;
  if (entry.runStart >= 0 && (firstStart_ < 0 || entry.runStart < firstStart_))
    firstStart_ = entry.runStart;
  if (entry.runEnd >= 0 && entry.runEnd > lastEnd_) lastEnd_ = entry.runEnd;
}

double HistoryFooter::span() const {
  return firstStart_ >= 0 && lastEnd_ > firstStart_ ? lastEnd_ - firstStart_ : 0;
}

static std::string minutesText(double seconds) {
  char text[48];
  const long long whole = (long long)(seconds + 0.5);
  snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

std::vector<std::string> HistoryFooter::lines() const {
  // The four results first, in the report's words, then any other a line held.
  std::string counts;
  std::vector<std::string> order;
  for (FleetResult r : {FLEET_RESULT_UPDATED, FLEET_RESULT_CURRENT, FLEET_RESULT_FAILED,
                        FLEET_RESULT_INTERRUPTED})
    order.push_back(fleet_resultName(r));
  for (const std::string &result : results_)
    if (std::find(order.begin(), order.end(), result) == order.end()) order.push_back(result);
  for (const std::string &result : order) {
    auto it = std::find(results_.begin(), results_.end(), result);
    const int count = it == results_.end() ? 0 : counts_[it - results_.begin()];
    counts += (counts.empty() ? "" : ", ") + printableText_escape(result) + " " +
              std::to_string(count);
  }
  const size_t units = units_, updated = updated_;
  std::vector<std::string> lines = {std::to_string(units) + (units == 1 ? " unit: " : " units: ") +
                                    counts};
  if (units > 0) {
    // A unit not updated (current, failed, interrupted) took time but is no
    // throughput: the figures count the updated ones over the whole span.
    std::string line = "median time per updated unit ";
    if (updated > 0) {
      // The values at places (updated - 1) / 2 and updated / 2 in order.
      double low = 0, high = 0;
      size_t before = 0;
      for (const auto &value : seconds_) {
        if (before <= (updated - 1) / 2 && (updated - 1) / 2 < before + value.second) low = value.first;
        if (before <= updated / 2 && updated / 2 < before + value.second) high = value.first;
        before += value.second;
      }
      line += minutesText((low + high) / 2);
    } else {
      line += "-";
    }
    line += "; updated units per hour ";
    const double span = this->span();
    char rate[96];
    snprintf(rate, sizeof rate, "%.1f", updated * 3600.0 / span);
    line += span > 0 ? std::string(rate) + " (" + std::to_string(updated) + " of " +
                           std::to_string(units) + " updated in " + minutesText(span) +
                           " from the first start to the last end)"
                     : "- (no time between the first start and the last end)";
    lines.push_back(line);
  }
  const size_t skipped = skipped_[0] + skipped_[1] + skipped_[2];
  if (skipped > 0)
    lines.push_back(std::to_string(skipped) + (skipped == 1 ? " line" : " lines") +
                    " skipped: " + std::to_string(skipped_[HISTORY_NOT_A_RECORD]) +
                    " not a record, " + std::to_string(skipped_[HISTORY_TOO_LONG]) + " too long, " +
                    std::to_string(skipped_[HISTORY_TORN]) + " torn");
  return lines;
}
