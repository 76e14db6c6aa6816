// update-all's report (JSON or CSV), the times in it, the retry command.
#include "fleet/FleetReport.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <iterator>
#include <nlohmann/json.hpp>

#include "platform/CalendarTime.h"
#include "platform/Files.h"
#include "platform/PrintableText.h"
#include "platform/ToolName.h"
#include "serial/PortDescription.h"
#include "serial/PortAddress.h"

std::string fleet_utcText(time_t when, const char *format) {
  struct tm utc;
  calendarTime_fields(when, true, &utc);
  char text[64];
  if (strftime(text, sizeof text, format, &utc) == 0) return "";
  return text;
}

std::string fleet_retryCommand(const std::vector<FleetRecord> &records, bool noVerify, int baud,
                               int retries) {
  std::vector<const FleetRecord *> left;
  for (const FleetRecord &r : records)
    if (!fleet_isSound(r.result)) left.push_back(&r);
  if (left.empty()) return "";
  std::string command = TOOL_NAME " ";
  if (left.size() == 1) {
    command += "update --port " + fleet_portArgument(left[0]->port);
    // A raw socket's rate may not be known: then detection asks at the server's.
    if (left[0]->baud > 0) command += " --baud " + std::to_string(left[0]->baud);
  } else {
    command += "update-all --ports ";
    for (size_t i = 0; i < left.size(); i++) command += (i ? "," : "") + fleet_portArgument(left[i]->port);
    // The rate of the socket:// ports' lines given to this run, needed again.
    if (baud > 0) command += " --baud " + std::to_string(baud);
  }
  if (noVerify) command += " --no-verify";
  return retries > 0 ? command + " --retries " + std::to_string(retries) : command;
}

std::string fleet_rateLine(const std::vector<FleetRecord> &records, const std::string &elapsed,
                           double runSeconds) {
  long updated = 0;
  for (const FleetRecord &r : records) updated += r.result == FLEET_RESULT_UPDATED;
  return fleet_rateLineOf(updated, (long)records.size(), elapsed, runSeconds);
}

std::string fleet_rateLineOf(long updated, long units, const std::string &elapsed,
                             double runSeconds) {
  char line[160];
  snprintf(line, sizeof line, "%ld of %ld unit%s updated in %s: %.0f updated units per hour",
           updated, units, units == 1 ? "" : "s", elapsed.c_str(),
           updated * 3600.0 / (runSeconds > 1 ? runSeconds : 1));
  return line;
}

std::string fleet_portArgument(int port) {
  const PortDescription description = portDescription_of(port);
  return description.comNumber > 0 ? std::to_string(description.comNumber) : description.name;
}

std::string fleet_isoTime(time_t when) { return fleet_utcText(when, "%Y-%m-%dT%H:%M:%SZ"); }

double fleet_nowSeconds(void) {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The keys, in the CSV's column order.
static const char *const kColumns[] = {"port", "device", "baud", "type", "firmware_before",
                                       "fpga_before", "firmware_after", "fpga_after", "result",
                                       "failed_step", "message", "started", "finished",
                                       "seconds", "log", "address", "location",
                                       "serial_number", "vid", "pid", "label",
                                       "hook_status", "start_hook_status", "attempts"};

static double tenths(double seconds) { return (double)(long long)(seconds * 10 + 0.5) / 10; }

// A USB slot's: the COM number of the device the unit was found on.
static int comNumberOf(const FleetRecord &r) {
  const int com = portDescription_of(r.port).comNumber;
  return com > 0 ? com : r.slotComNumber;
}

static std::string hookText(int status) {
  return status == FLEET_NO_HOOK ? "" : std::to_string(status);
}

static nlohmann::ordered_json hookJson(int status) {
  return status == FLEET_NO_HOOK ? nlohmann::ordered_json() : nlohmann::ordered_json(status);
}

static std::vector<std::string> fieldsOf(const FleetRecord &r) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.1f", tenths(r.seconds));
  // A network unit has no COM number; a raw socket's rate may not be known.
  return {comNumberOf(r) > 0 ? std::to_string(comNumberOf(r)) : "", r.device,
          r.baud > 0 ? std::to_string(r.baud) : "", r.type, r.firmwareBefore,
          r.fpgaBefore, r.firmwareAfter, r.fpgaAfter, fleet_resultName(r.result), r.failedStep,
          r.message, r.started, r.finished, seconds, r.log, r.address, r.location, r.serialNumber,
          r.vid, r.pid, r.label, hookText(r.hookStatus), hookText(r.startHookStatus),
          std::to_string(r.attempts)};
}

nlohmann::ordered_json fleet_recordJson(const FleetRecord &r) {
  std::vector<std::string> fields = fieldsOf(r);
  nlohmann::ordered_json unit;
  for (size_t i = 0; i < fields.size(); i++) unit[kColumns[i]] = fields[i];
  // Numbers stay numbers.
  unit["port"] =
      comNumberOf(r) > 0 ? nlohmann::ordered_json(comNumberOf(r)) : nlohmann::ordered_json();
  unit["baud"] = r.baud > 0 ? nlohmann::ordered_json(r.baud) : nlohmann::ordered_json();
  unit["seconds"] = tenths(r.seconds);
  unit["hook_status"] = hookJson(r.hookStatus);
  unit["start_hook_status"] = hookJson(r.startHookStatus);
  unit["attempts"] = r.attempts;
  return unit;
}

std::string fleet_reportJson(const std::vector<FleetRecord> &records) {
  nlohmann::ordered_json units = nlohmann::ordered_json::array();
  for (const FleetRecord &r : records) units.push_back(fleet_recordJson(r));
  nlohmann::ordered_json report;
  report["units"] = units;
  // Invalid UTF-8 (a device name, say) is replaced rather than refused.
  return report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string fleet_csvField(const std::string &text) {
  // A leading TAB or CR is escaped below, but some spreadsheets skip leading
  // blanks before they look for a formula: such a text keeps the quote too.
  const bool formula = !text.empty() && strchr("=+-@\t\r", text[0]) != NULL;
  const std::string field = (formula ? "'" : "") + printableText_escapeControls(text);
  if (field.find_first_of(",\"") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string fleet_csvValue(const nlohmann::ordered_json &value) {
  if (value.is_string()) return fleet_csvField(value.get<std::string>());
  if (value.is_null()) return "";
  const std::string written = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return value.is_number() || value.is_boolean() ? written : fleet_csvField(written);
}

std::string fleet_csvLine(const nlohmann::ordered_json &object,
                          const std::vector<std::string> &keys) {
  std::string line;
  for (size_t i = 0; i < keys.size(); i++) {
    auto it = object.find(keys[i]);
    line += (i ? "," : "") + (it == object.end() ? std::string() : fleet_csvValue(*it));
  }
  return line + "\r\n";
}

std::vector<std::string> fleet_reportCsvColumns(void) {
  return std::vector<std::string>(std::begin(kColumns), std::end(kColumns));
}

std::string fleet_csvHeader(const std::vector<std::string> &columns) {
  std::string header;
  for (size_t i = 0; i < columns.size(); i++) header += (i ? "," : "") + columns[i];
  return header + "\r\n";
}

std::string fleet_reportCsv(const std::vector<FleetRecord> &records) {
  const std::vector<std::string> keys = fleet_reportCsvColumns();
  std::string csv = fleet_csvHeader(keys);
  for (const FleetRecord &r : records) csv += fleet_csvLine(fleet_recordJson(r), keys);
  return csv;
}

static bool endsWith(const std::string &text, const char *suffix) {
  std::string end = suffix;
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

static bool reportKind(const std::string &path, std::string *error) {
  if (endsWith(path, ".json") || endsWith(path, ".csv")) return true;
  *error = path + ": the report's name ends in .json or .csv";
  return false;
}

bool fleet_checkReportPath(const std::string &path, std::string *error) {
  if (!reportKind(path, error)) return false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR) {
    *error = path + ": cannot write the report: it is a folder";
    return false;
  }
  std::string why;
  if (files_canMakeBeside(path, &why)) return true;
  *error = path + ": cannot write the report: " + why;
  return false;
}

bool fleet_writeReport(const std::string &path, const std::vector<FleetRecord> &records, std::string *error) {
  if (!reportKind(path, error)) return false;
  std::string text = endsWith(path, ".json") ? fleet_reportJson(records) : fleet_reportCsv(records);
  std::string why;
  if (files_replace(path, text, &why)) return true;
  *error = path + ": cannot write the report: " + why;
  return false;
}
