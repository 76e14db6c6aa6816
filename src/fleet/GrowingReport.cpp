// A watch's report grown a record at a time, and where one found on the disk
// is continued.
#include "fleet/GrowingReport.h"

#include <string.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/GrowingFile.h"

// The JSON report as fleet_reportJson writes it: the opening, each record
// indented under "units", and the closing lines (an empty array is "[]").
static const char kJsonOpening[] = "{\n  \"units\": [";
static const char kJsonEmptyClosing[] = "]\n}\n";
static const char kJsonClosing[] = "\n  ]\n}\n";
// A record's first and last lines within the report.
static const char kRecordBegins[] = "\n    {";
static const char kRecordEnds[] = "\n    }";
// A torn write tears the last record only: a file whose last whole record is
// not among the last few candidates is not one of ours.
#define RESUME_TRIES 3
// How much of a report's end is read to find its last whole record.
#define RESUME_TAIL_BYTES (1u << 20)

// The CSV report's columns added since a watch first appended to one, the
// newest last. A report written before them has the columns before them; it
// is continued with its own columns, its new rows without these fields,
// since every row must match its header: a station upgraded overnight and
// restarted on its report goes on.
static const char *const kCsvLaterColumns[] = {"attempts"};

// The record as it stands in the JSON report, without the comma before it.
static std::string jsonRecordText(const FleetRecord &record) {
  const std::string dumped =
      fleet_recordJson(record).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string text = "    ";
  for (char c : dumped) text += c == '\n' ? std::string("\n    ") : std::string(1, c);
  return text;
}

// Whether LINE is one CSV row of COLUMNS fields as the report writes them.
static bool wholeRow(const std::string &line, size_t columns) {
  size_t fields = 1;
  bool quoted = false;
  for (char c : line) {
    if (c == '\0' || c == '\r' || c == '\n') return false;
    if (c == '"') quoted = !quoted;
    else if (c == ',' && !quoted) fields++;
  }
  return !quoted && fields == columns;
}

// The opening (or header) torn before it was whole: the file holds nothing yet.
static bool tornOpening(const std::string &opening, const std::string &head, long long size) {
  return size < (long long)opening.size() && opening.compare(0, head.size(), head) == 0;
}

static bool resumeJson(const std::string &head, const std::string &tail, long long tailOffset,
                       ReportResume *resume, std::string *why) {
  const std::string opening = kJsonOpening;
  if (tornOpening(opening, head, tailOffset + (long long)tail.size())) return true;
  if (head.compare(0, opening.size(), opening) != 0) {
    *why = "it is not a JSON report of update-all";
    return false;
  }
  size_t end = tail.rfind(kRecordEnds);
  for (int tries = 0; tries < RESUME_TRIES && end != std::string::npos; tries++) {
    const size_t begin = end == 0 ? std::string::npos : tail.rfind(kRecordBegins, end - 1);
    if (begin == std::string::npos) break;
    const size_t after = end + strlen(kRecordEnds);
    const nlohmann::json record =
        nlohmann::json::parse(tail.begin() + (long)begin, tail.begin() + (long)after, nullptr, false);
    if (record.is_object()) {
      resume->keep = tailOffset + (long long)after;
      resume->empty = false;
      resume->whole = tail.compare(after, std::string::npos, kJsonClosing) == 0;
      return true;
    }
    end = begin == 0 ? std::string::npos : tail.rfind(kRecordEnds, begin - 1);
  }
  if (tailOffset > 0) {
    *why = "its last whole record was not found";
    return false;
  }
  // The whole file was read and holds no whole record: its opening is kept.
  resume->keep = (long long)opening.size();
  resume->whole = tail == opening + kJsonEmptyClosing;
  return true;
}

static bool resumeCsv(const std::string &head, const std::string &tail, long long tailOffset,
                      ReportResume *resume, std::string *why) {
  // The header now, or one written before the later columns (the last ones).
  const std::vector<std::string> names = fleet_reportCsvColumns();
  const size_t later = sizeof kCsvLaterColumns / sizeof *kCsvLaterColumns;
  std::string header;
  size_t columns = names.size();
  for (;; columns--) {
    header = fleet_csvHeader(std::vector<std::string>(names.begin(), names.begin() + columns));
    if (tornOpening(header, head, tailOffset + (long long)tail.size())) return true;
    if (head.compare(0, header.size(), header) == 0) break;
    const size_t dropped = names.size() - columns;
    if (dropped == later || names[columns - 1] != kCsvLaterColumns[later - 1 - dropped]) {
      *why = "its first line is not the header of update-all's CSV report, with these columns";
      return false;
    }
  }
  resume->columns = columns;
  size_t end = tail.size() < 2 ? std::string::npos : tail.rfind("\r\n");
  for (int tries = 0; tries < RESUME_TRIES && end != std::string::npos; tries++) {
    const size_t previous = end == 0 ? std::string::npos : tail.rfind("\r\n", end - 1);
    const long long rowAt = tailOffset + (long long)(previous == std::string::npos ? 0 : previous + 2);
    if (previous == std::string::npos && tailOffset > 0) break;  // the row begins before the tail
    if (rowAt < (long long)header.size()) break;                 // the header: no row is whole
    const size_t from = previous == std::string::npos ? 0 : previous + 2;
    if (wholeRow(tail.substr(from, end - from), columns)) {
      resume->keep = tailOffset + (long long)end + 2;
      resume->empty = false;
      resume->whole = end + 2 == tail.size();
      return true;
    }
    end = previous;
  }
  if (tailOffset > 0) {
    *why = "its last whole row was not found";
    return false;
  }
  resume->keep = (long long)header.size();
  resume->whole = tail == header;
  return true;
}

bool fleet_reportResume(bool json, const std::string &head, const std::string &tail,
                        long long tailOffset, ReportResume *resume, std::string *why) {
  *resume = ReportResume();
  if (head.empty()) return true;  // nothing there yet
  return json ? resumeJson(head, tail, tailOffset, resume, why)
              : resumeCsv(head, tail, tailOffset, resume, why);
}

GrowingReport::~GrowingReport() { growingFile_close(file_); }

static std::string reportHeldError(const std::string &path) {
  return path +
         ": a watch is writing to this report, which is left as it is: stop that "
         "watch first, or name another report with --report";
}

bool fleet_reportHeld(const std::string &path, std::string *error) {
  if (!growingFile_held(path)) return false;
  *error = reportHeldError(path);
  return true;
}

bool GrowingReport::open(const std::string &path, std::string *error, bool *held) {
  path_ = path;
  json_ = path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0;
  std::string why;
  bool busy = false;
  file_ = growingFile_open(path, &why);
  if (file_ != NULL && !growingFile_hold(file_, &busy, &why)) {
    growingFile_close(file_);
    file_ = NULL;
  }
  if (held != NULL) *held = busy;
  if (file_ == NULL) {
    *error = busy ? reportHeldError(path) : path + ": cannot write the report: " + why;
    return false;
  }
  const long long size = growingFile_size(file_);
  const long long tailOffset = size > (long long)RESUME_TAIL_BYTES ? size - RESUME_TAIL_BYTES : 0;
  std::string head, tail;
  ReportResume resume;
  if (!growingFile_read(file_, 0, 4096, &head, &why) ||
      !growingFile_read(file_, tailOffset, (size_t)(size - tailOffset), &tail, &why)) {
    *error = path + ": cannot read the report: " + why;
    return false;
  }
  if (!fleet_reportResume(json_, head, tail, tailOffset, &resume, &why)) {
    *error = path + ": cannot go on with this report (" + why +
             "): it is left as it is; name another with --report";
    growingFile_close(file_);
    file_ = NULL;
    return false;
  }
  continued_ = !resume.empty;
  empty_ = resume.empty;
  end_ = resume.keep;
  columns_ = fleet_reportCsvColumns();
  if (resume.columns > 0 && resume.keep > 0) columns_.resize(resume.columns);
  // A new report, or one whose end was torn: whole again before any unit.
  std::string text;
  if (resume.keep == 0) {
    text = json_ ? std::string(kJsonOpening) : fleet_csvHeader(columns_);
    end_ = (long long)text.size();
  }
  if (json_) text += empty_ ? kJsonEmptyClosing : kJsonClosing;
  if (resume.whole) return true;
  if (growingFile_writeAt(file_, resume.keep, text, &why)) return true;
  *error = path + ": cannot write the report: " + why;
  return false;
}

bool GrowingReport::append(const std::vector<FleetRecord> &records, std::string *error) {
  for (const FleetRecord &r : records)
    pending_.push_back(json_ ? jsonRecordText(r) : fleet_csvLine(fleet_recordJson(r), columns_));
  if (pending_.empty() || file_ == NULL) return file_ != NULL;
  std::string text;
  bool first = empty_;
  for (const std::string &record : pending_) {
    text += json_ ? (first ? "\n" : ",\n") + record : record;
    first = false;
  }
  const size_t written = text.size();
  if (json_) text += kJsonClosing;
  std::string why;
  if (!growingFile_writeAt(file_, end_, text, &why)) {
    *error = path_ + ": cannot write the report: " + why;
    // What the write left past the records written is cut and the JSON report
    // closed again (over bytes already there, in the room the cut frees): it
    // stays whole while it cannot grow.
    growingFile_writeAt(file_, end_, json_ ? (empty_ ? kJsonEmptyClosing : kJsonClosing) : "",
                        &why);
    // The oldest wait, in their order; the newest past the bound are left out.
    if (pending_.size() > waitingMax_) {
      leftOut_ += (long long)(pending_.size() - waitingMax_);
      pending_.resize(waitingMax_);
    }
    return false;
  }
  end_ += (long long)written;
  empty_ = false;
  pending_.clear();
  return true;
}
