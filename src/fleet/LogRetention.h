// A watch's retention of its logs and traces (update-all --keep-logs DAYS):
// the day folders LogNames makes (FleetLogs.h) are removed, whole, once their
// day is past the retention, so that a station's disk holds a bounded number
// of days of logs however long it runs.
//
// A folder of day D (UTC; its logs those of the units started that day) is
// removed once the day D + 1 + DAYS has ended: its units ended by the end of
// day D + 1 (a unit takes minutes, a clock set an hour off included), so
// every log in it outlived its unit's end by DAYS days, and a record within
// the retention still finds the log it names. The folders hold at most
// DAYS + 2 days: today's, and DAYS + 1 before it.
//
// Only what looks like ours goes: a folder named YYYY-MM-DD (a real date)
// directly in the log or trace folder, a folder itself (not a link to one),
// holding only files (or links) named update-... or .update-... (a log being
// rewritten). Anything else in it keeps it whole, said once. Nothing outside
// the day folders is touched.
//
// Work is spread over the rounds: a pass looks at the folders at the start
// and then once an hour (monotonic), and each step lists or removes at most
// LOG_RETENTION_STEP_FILES files, so that a round's cost stays small even when
// a station comes back after months with every folder past the retention.
#ifndef LOGRETENTION_H
#define LOGRETENTION_H

#include <time.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#define LOG_RETENTION_PASS_SECONDS 3600.0
#define LOG_RETENTION_STEP_FILES 256
#define LOG_RETENTION_DAYS_MAX 36500

// The day of a day folder's NAME ("2026-12-10"), in days since 1970-01-01;
// FALSE when NAME is not one.
bool logRetention_dayOf(const std::string &name, long long *day);

class LogRetention {
 public:
  // FOLDERS: the log folder and the trace folder, when there is one.
  LogRetention(const std::vector<std::string> &folders, int keepDays)
      : folders_(folders), keepDays_(keepDays) {}
  // A pass's part: at the first step, and again LOG_RETENTION_PASS_SECONDS
  // after the last pass began (NOW, monotonic), finds the day folders past
  // the retention on the wall clock's day of WALLNOW; each step then lists
  // or removes up to LOG_RETENTION_STEP_FILES of their files. What it
  // leaves, and why, is added to *notes (each folder said once).
  void step(double now, time_t wallNow, std::vector<std::string> *notes);
  // A pass has folders left to remove.
  bool busy() const { return !due_.empty(); }

 private:
  void beginPass(time_t wallNow);
  bool listFolder(int *budget, std::vector<std::string> *notes);
  void dropFolder();
  void note(const std::string &folder, const std::string &why, std::vector<std::string> *notes);

  const std::vector<std::string> folders_;
  const int keepDays_;
  double passAt_ = -1;            // when the last pass began; -1: none yet
  std::vector<std::string> due_;  // the day folders to remove, the oldest last
  std::unique_ptr<std::filesystem::directory_iterator> listing_;  // of due_.back(), while listed
  std::vector<std::string> files_;  // the files of due_.back() listed and not removed yet
  bool listed_ = false;             // due_.back() is listed whole, and ours
  std::set<std::string> said_;      // the folders a note named
};

#endif  // LOGRETENTION_H
