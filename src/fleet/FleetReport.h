// One unit's record of an update-all run and the run's report (JSON or CSV),
// with what both are written with: the times, the port as a command line
// names it, the command that tries the units not updated again.
#ifndef FLEETREPORT_H
#define FLEETREPORT_H

#include <time.h>

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "fleet/FleetStates.h"

// One unit's line of the report.
struct FleetRecord {
  int port = 0;  // the COM number, or past COM255 a network port (see address)
  std::string address;  // "COM3", or the URL of a unit behind a terminal server
  int slotComNumber = 0;  // at a USB slot: the COM number of the device the unit was found on
  std::string device;
  int baud = 0;
  std::string type;
  std::string firmwareBefore, fpgaBefore, firmwareAfter, fpgaAfter;
  FleetResult result = FLEET_RESULT_NONE;  // written as "updated", "failed", ... (FleetStates.h)
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
  // How many times the update was run on the unit: 1, more when it was begun
  // again from the first announce (--retries).
  int attempts = 1;
  // The station history's reckoning of the unit's start on a clock that no
  // setting of the system's moves: when its run began (update-all's start, or
  // the update's alone), UTC as started, and the seconds on the monotonic
  // clock from then to the unit's start (-1: it never started). Written in
  // the history only, never in the report.
  std::string runStarted;
  double runSeconds = -1;
};
#define FLEET_NO_HOOK (-1)

// The time in UTC, written with strftime's FORMAT ("" when it does not fit).
std::string fleet_utcText(time_t when, const char *format);
// "2026-03-01T08:15:00Z".
std::string fleet_isoTime(time_t when);
// The clock of the runs and the probes: seconds, steady.
double fleet_nowSeconds(void);

// One unit's object in the JSON report, its keys in the report's order (the
// station history's lines begin with it too).
nlohmann::ordered_json fleet_recordJson(const FleetRecord &record);
// The report in either form, chosen by the file name (.json, .csv).
std::string fleet_reportJson(const std::vector<FleetRecord> &records);
std::string fleet_reportCsv(const std::vector<FleetRecord> &records);
// The CSV report's columns, in their order, and the header line of COLUMNS
// (CR LF included).
std::vector<std::string> fleet_reportCsvColumns(void);
std::string fleet_csvHeader(const std::vector<std::string> &columns);
// A text as one CSV field (the report's and `history --csv`'s): its control
// characters escaped as "\x1b" (platform/PrintableText.h), so that a record
// stays one line and a label cannot drive the terminal it is shown on; a
// single quote before a text that a spreadsheet would take for a formula
// (one beginning with = + - @, TAB or CR); then quoted as RFC 4180 writes
// it when it holds a comma or a quote, its quotes doubled.
std::string fleet_csvField(const std::string &text);
// A value of a record's JSON as one CSV field: a number as JSON writes it
// (a negative one stays a number), a text as above, null as nothing.
std::string fleet_csvValue(const nlohmann::ordered_json &value);
// The values of OBJECT under KEYS, in that order (a key it lacks: an empty
// field), as one CSV line ending in CR LF.
std::string fleet_csvLine(const nlohmann::ordered_json &object,
                          const std::vector<std::string> &keys);
// Written whole beside PATH, then renamed over it (never a half-written or
// emptied report at PATH). FALSE with the reason in *error.
bool fleet_writeReport(const std::string &path, const std::vector<FleetRecord> &records, std::string *error);
// Whether a report can be written at PATH (its name, its folder), without
// touching a file already there.
bool fleet_checkReportPath(const std::string &path, std::string *error);

// The line under update-all's summary: the units updated over the run's
// RUNSECONDS (ELAPSED as shown) and their rate: "2 of 3 units updated in
// 5:02: 24 updated units per hour". A unit found current, failed or stopped
// took time but is no throughput.
std::string fleet_rateLine(const std::vector<FleetRecord> &records, const std::string &elapsed,
                           double runSeconds);
// The same of UPDATED units among UNITS.
std::string fleet_rateLineOf(long updated, long units, const std::string &elapsed,
                             double runSeconds);

// The port as a command line gives it to --port: "3", or the URL.
std::string fleet_portArgument(int port);
// The command that tries again the units of RECORDS not updated ("" when
// none is left): `update --port N --baud B` for one, `update-all --ports
// N,M` for several, with `--baud BAUD` when the run was given the socket://
// ports' rate (BAUD > 0), and `--retries RETRIES` when it was given that (> 0).
std::string fleet_retryCommand(const std::vector<FleetRecord> &records, bool noVerify, int baud,
                               int retries = 0);

#endif  // FLEETREPORT_H
