// The units' log and trace files: their names (numbered, per port, with the
// platform's separators, in a folder per day under a watch) and a console
// transcript made into text a person reads.
#ifndef FLEETLOGS_H
#define FLEETLOGS_H

#include <time.h>

#include <map>
#include <string>

// A console transcript as text a person reads: backspaced progress as the
// value it ended at, every line end as LINEEND, nothing else changed.
std::string fleet_readableText(const std::string &raw, const char *lineEnd);

// The same, made as the transcript is read, in parts split anywhere: what it
// holds is one line at most, and a line that grows past FLEET_READABLE_LINE_MAX
// is given out up to where its cursor stands (a backspace after that stops
// there, as at a line's start).
#define FLEET_READABLE_LINE_MAX (64u << 10)
class ReadableText {
 public:
  explicit ReadableText(const char *lineEnd) : lineEnd_(lineEnd) {}
  // Appends to *text what RAW's part makes readable so far.
  void feed(const char *raw, size_t size, std::string *text);
  // Appends the rest, at the transcript's end.
  void end(std::string *text);

 private:
  void takeLine(bool ended, std::string *text);

  const char *lineEnd_;
  std::string line_;
  size_t cursor_ = 0;
  char lastEnd_ = 0;  // the line end just taken, which its other half would complete
};

// LOG's transcript rewritten readable, in place (the whole replaced at once),
// when that changes it, reading and writing a part at a time. FALSE with the
// reason in *error when it could not be (LOG is then as it was).
bool fleet_rewriteReadable(const std::string &log, std::string *error);
// PATH with the platform's folder separator: "logs\\update-COM3.log" on Windows.
std::string fleet_nativePath(const std::string &path);
// PATH with "-N" before its extension for N > 1: "logs/update-COM3-2.log".
std::string fleet_numberedName(const std::string &path, int number);
// PATH with the port before its extension: "trace.txt" -> "trace-COM3.txt",
// "trace-rfc2217-127.0.0.1-3001.txt"; a network port's name cut to 96
// characters, with a hash of the whole, when its host name is long.
std::string fleet_portFileName(const std::string &path, int port);

// The logs' (and traces') names of a run, each new: update-COM3.log, then
// update-COM3-2.log, ... in LOGDIR, or with perDay in LOGDIR's folder of the
// unit's start day, UTC (LOGDIR/2026-12-10/update-COM3-17.log), made at its
// first use; a trace is named like its log in TRACEDIR (or its day folder),
// update-COM3-17.trace, with a number free for both. Each name costs one
// look (two with traces): the next number of each name is kept, and only the
// first name of a folder this run has not named in yet (a run started again
// on it) looks for the numbers taken, doubling then halving, about 2 log2 N
// looks for N taken. A name is free when nothing is there, a link included;
// the log itself is then made exclusively by its child.
class LogNames {
 public:
  LogNames(const std::string &logDir, const std::string &traceDir, bool perDay)
      : logDir_(logDir), traceDir_(traceDir), perDay_(perDay) {}
  // The log for the next unit on PORT, started at WHEN, and its trace ("":
  // no trace folder). FALSE with the reason in *error when there is none: a
  // day folder cannot be made, or something else than a folder is at its name
  // (a link included); *log then says where it would have been.
  bool next(int port, time_t when, std::string *log, std::string *trace, std::string *error);

 private:
  bool taken(const std::string &log, const std::string &trace, int number) const;
  bool enterDay(const std::string &day, std::string *error);
  const std::string logDir_, traceDir_;
  const bool perDay_;
  std::string day_;                  // the day folder made and named in ("" none)
  std::map<std::string, int> next_;  // a log's base name: the next number to look at
};

// The name of the folder of WHEN's day, UTC: "2026-12-10".
std::string fleet_dayFolderName(time_t when);

#endif  // FLEETLOGS_H
