// A watch's report, grown a record at a time: each unit's record written at
// the report's end as the unit is recorded, in one write synced to the disk,
// so that writing the 90,000th costs what the first did, and a power cut
// leaves every record whole or absent. The forms are the report's own
// (FleetReport.h), valid after every write: the JSON report's closing lines
// are written again after the new record, in the same write (its records
// never move); the CSV report has its header once and a row appended per
// unit. A report an earlier watch left (or an earlier run of update-all) is
// continued, after its last whole record: what a power cut tore past that is
// cut off when the watch starts again. A CSV report written before the
// columns added since (kCsvLaterColumns) is continued with its own columns.
// The watch holds its report for its life (GrowingFile.h): a second watch,
// or a run without --watch, on the same report is refused before it starts.
#ifndef GROWINGREPORT_H
#define GROWINGREPORT_H

#include <string>
#include <vector>

#include "fleet/FleetReport.h"

struct GrowingFile;

// How many records that could not be written wait to be written again: about
// 0.7 MB of JSON, a shift's units at 3,000 a day. Records past them are left
// out of the report (they stay in the history) and counted.
#define GROWING_REPORT_WAITING_MAX 1000

// Where a report found on the disk is continued, told by its first bytes
// (HEAD) and its last ones (TAIL, which begins at tailOffset; the whole file
// when tailOffset is 0).
struct ReportResume {
  long long keep = 0;  // the bytes kept: the opening (JSON) or header (CSV) and every whole record
  bool empty = true;   // no record among them
  bool whole = false;  // the file is a whole report as it is: nothing to cut or close
  // CSV: the header's columns, the first of ours (fewer in a report of an earlier version).
  size_t columns = 0;
};
// FALSE, with why in *why, when the file is not a report of this form (or,
// as CSV, not of these columns), which is then left as it is.
bool fleet_reportResume(bool json, const std::string &head, const std::string &tail,
                        long long tailOffset, ReportResume *resume, std::string *why);

// Whether a watch holds the report at PATH (GrowingReport::open): it is then
// neither continued nor replaced; the error in *error.
bool fleet_reportHeld(const std::string &path, std::string *error);

class GrowingReport {
 public:
  explicit GrowingReport(size_t waitingMax = GROWING_REPORT_WAITING_MAX)
      : waitingMax_(waitingMax) {}
  ~GrowingReport();
  GrowingReport(const GrowingReport &) = delete;
  GrowingReport &operator=(const GrowingReport &) = delete;

  // PATH (.json or .csv) opened to grow: made when missing, continued when
  // there (a torn end cut off and the report closed again). FALSE with the
  // reason in *error; a file that is not such a report, or one another
  // watch holds (*held set then), is left untouched.
  bool open(const std::string &path, std::string *error, bool *held = NULL);
  // RECORDS written at the end. FALSE with the reason in *error: they are
  // kept (up to waitingMax) and written again before the next ones.
  bool append(const std::vector<FleetRecord> &records, std::string *error);
  // Records of an earlier run were in the report when it was opened.
  bool continued() const { return continued_; }
  // Records waiting to be written again, and those left out past them.
  long long waiting() const { return (long long)pending_.size(); }
  long long leftOut() const { return leftOut_; }
  // Records not in the report now: waiting and left out.
  long long missing() const { return leftOut_ + waiting(); }

 private:
  GrowingFile *file_ = NULL;
  std::string path_;
  bool json_ = true;
  long long end_ = 0;  // where the next record goes (JSON: where the closing lines begin)
  bool empty_ = true;
  bool continued_ = false;
  std::vector<std::string> pending_;  // records not written yet, as the report writes them
  size_t waitingMax_;
  long long leftOut_ = 0;
  std::vector<std::string> columns_;  // CSV: the columns of the report's header
};

#endif  // GROWINGREPORT_H
