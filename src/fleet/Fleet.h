// `update-all`: every unit on the bench updated at once, one child process
// per unit (`TessaranFwTool update --port N --baud B --progress-fd X`), each
// child's console transcript in its own log file, its progress on a channel
// of its own; a live table (or one line per change of step), a summary and a
// report.
#ifndef FLEET_H
#define FLEET_H

#include <time.h>

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

struct FleetOptions {
  std::vector<int> ports;  // empty: the ports the updater scans, COM1 to COM32
  int jobs = 0;            // units updated at once, 0: all
  int baud = 0;            // --baud: the rate of the socket:// ports' lines; 0: not known
  std::string reportPath;  // .json or .csv, none when empty
  std::string logDir;      // empty: a folder named after the start time
  std::string traceDir;    // a wire trace per unit in this folder; empty: none (or FWUPGRADE_TRACE)
  bool noVerify = false;
  bool skipCurrent = false;  // a unit that runs the release already is reported current
  // Watch: the free ports probed every intervalSeconds, each unit that
  // appears handled once, until an interrupt.
  bool watch = false;
  double intervalSeconds = 5;
  // The USB locations --ports named (usb:1-1.4): under watch each is looked
  // up again every round, so that an adapter plugged in later at it (behind
  // that hub) is watched too; ports holds the slots found at the start.
  std::vector<std::string> slotLocations;
  // The station history each unit's record is appended to; none with noHistory.
  std::string historyPath;  // --history FILE; empty: the default (StationHistory.h)
  bool noHistory = false;
};

// One unit's line of the report.
struct FleetRecord {
  int port = 0;  // the COM number, or past COM255 a network port (see address)
  std::string address;  // "COM3", or the URL of a unit behind a terminal server
  int slotComNumber = 0;  // at a USB slot: the COM number of the device the unit was found on
  std::string device;
  int baud = 0;
  std::string type;
  std::string firmwareBefore, fpgaBefore, firmwareAfter, fpgaAfter;
  std::string result;      // updated, failed, interrupted, current (runs the release already)
  std::string failedStep;  // the step a failed unit was in
  std::string message;
  std::string started, finished;  // UTC, ISO 8601
  double seconds = 0;
  std::string log;
  // The adapter's slot where the system tells it (SystemPorts.h): USB
  // location, serial number, VID and PID as four hex digits; "" when not known.
  std::string location, serialNumber, vid, pid;
  // The label scanned for the unit (update-all --labels, update --label); "" when none.
  std::string label;
  // The exit statuses of the unit's hooks (--on-result, --on-start): FLEET_NO_HOOK when
  // none ran, 124 for a hook stopped at its time bound, 127 for one that could not start.
  int hookStatus = -1, startHookStatus = -1;
};
#define FLEET_NO_HOOK (-1)

// The time in UTC, written with strftime's FORMAT ("" when it does not fit).
std::string fleet_utcText(time_t when, const char *format);
// "2026-03-01T08:15:00Z".
std::string fleet_isoTime(time_t when);
// One unit's object in the JSON report, its keys in the report's order (the
// station history's lines begin with it too).
nlohmann::ordered_json fleet_recordJson(const FleetRecord &record);
// The report in either form, chosen by the file name (.json, .csv).
std::string fleet_reportJson(const std::vector<FleetRecord> &records);
std::string fleet_reportCsv(const std::vector<FleetRecord> &records);
// A CSV field as RFC 4180 writes it: quoted when it holds a comma, quote or
// line end, its quotes doubled.
std::string fleet_csvField(const std::string &field);
// Written whole beside PATH, then renamed over it (never a half-written or
// emptied report at PATH). FALSE with the reason in *error.
bool fleet_writeReport(const std::string &path, const std::vector<FleetRecord> &records, std::string *error);
// TEXT written whole beside PATH, flushed, then renamed over it: PATH holds
// the earlier file or the new one, never a part. FALSE with the reason in *error.
bool fleet_replaceFile(const std::string &path, const std::string &text, std::string *error);
// A console transcript as text a person reads: backspaced progress as the
// value it ended at, every line end as LINEEND, nothing else changed.
std::string fleet_readableText(const std::string &raw, const char *lineEnd);
// The platform's line end in text files: "\r\n" on Windows, "\n" elsewhere.
#ifdef _WIN32
#define FLEET_LINE_END "\r\n"
#else
#define FLEET_LINE_END "\n"
#endif
// PATH with the platform's folder separator: "logs\\update-COM3.log" on Windows.
std::string fleet_nativePath(const std::string &path);
// Whether a report can be written at PATH (its name, its folder), without
// touching a file already there.
bool fleet_checkReportPath(const std::string &path, std::string *error);
// A new, empty file of our own in PATH's folder, named after it
// (".trace.txt.XXXXXX"): its name in *tempPath. FALSE with the reason in *error.
bool fleet_newFileBeside(const std::string &path, std::string *tempPath, std::string *error);
// PATH with "-N" before its extension for N > 1: "logs/update-COM3-2.log".
std::string fleet_numberedName(const std::string &path, int number);
// PATH with the port before its extension: "trace.txt" -> "trace-COM3.txt",
// "trace-rfc2217-127.0.0.1-3001.txt"; a network port's name cut to 96
// characters, with a hash of the whole, when its host name is long.
std::string fleet_portFileName(const std::string &path, int port);
// The port as a command line gives it to --port: "3", or the URL.
std::string fleet_portArgument(int port);

// The seconds a unit's update still takes, from its step and the percentage
// of that step: the image bytes left at the line rate, then the reboot wait.
// fpgaBytes and mcuBytes are the lengths of the unit's two images. -1 once
// the update has ended (done, failed, interrupted).
double fleet_secondsLeft(const std::string &step, int percent, long fpgaBytes, long mcuBytes);

// The command that tries again the units of RECORDS not updated ("" when
// none is left): `update --port N --baud B` for one, `update-all --ports
// N,M` for several, with `--baud BAUD` when the run was given the socket://
// ports' rate (BAUD > 0).
std::string fleet_retryCommand(const std::vector<FleetRecord> &records, bool noVerify, int baud);

// The probe of one port, in a child of its own: the updater's rates in its
// order (only BAUD when above 0), the detection command twice at each; the
// port and rate found (and the device behind the port) go out on the channel;
// with IDENTIFY, also the unit's type and versions as it tells them.
// Exit status 0 when a unit answered, 3 when none did.
int fleet_probePort(int port, int baud, bool identify, const char *channel);

#endif  // FLEET_H
