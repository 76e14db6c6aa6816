// update-all's port list and its report (JSON or CSV).
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "Fleet.h"

bool fleet_parsePortList(const std::string &text, std::vector<int> *ports) {
  ports->clear();
  size_t at = 0;
  while (at < text.size()) {
    size_t comma = text.find(',', at);
    std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? text.size() : comma + 1;
    char *end = NULL;
    long first = strtol(item.c_str(), &end, 10), last = first;
    if (end == item.c_str()) return false;
    if (*end == '-') {
      const char *from = end + 1;
      last = strtol(from, &end, 10);
      if (end == from) return false;
    }
    if (*end != '\0' || first < 1 || last > 255 || last < first) return false;
    for (long port = first; port <= last; port++)
      if (std::find(ports->begin(), ports->end(), (int)port) == ports->end()) ports->push_back((int)port);
    if (comma != std::string::npos && at == text.size()) return false;  // a trailing comma
  }
  return !ports->empty();
}

std::string fleet_utcText(time_t when, const char *format) {
  struct tm utc;
#ifdef _WIN32
  gmtime_s(&utc, &when);
#else
  gmtime_r(&when, &utc);
#endif
  char text[64];
  if (strftime(text, sizeof text, format, &utc) == 0) return "";
  return text;
}

std::string fleet_isoTime(time_t when) { return fleet_utcText(when, "%Y-%m-%dT%H:%M:%SZ"); }

// The keys, in the CSV's column order.
static const char *const kColumns[] = {"port", "device", "baud", "type", "firmware_before",
                                       "fpga_before", "firmware_after", "fpga_after", "result",
                                       "failed_step", "message", "started", "finished",
                                       "seconds", "log"};

static double tenths(double seconds) { return (double)(long long)(seconds * 10 + 0.5) / 10; }

static std::vector<std::string> fieldsOf(const FleetRecord &r) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.1f", tenths(r.seconds));
  return {std::to_string(r.port), r.device, std::to_string(r.baud), r.type, r.firmwareBefore,
          r.fpgaBefore, r.firmwareAfter, r.fpgaAfter, r.result, r.failedStep, r.message,
          r.started, r.finished, seconds, r.log};
}

std::string fleet_reportJson(const std::vector<FleetRecord> &records) {
  nlohmann::ordered_json units = nlohmann::ordered_json::array();
  for (const FleetRecord &r : records) {
    std::vector<std::string> fields = fieldsOf(r);
    nlohmann::ordered_json unit;
    for (size_t i = 0; i < fields.size(); i++) unit[kColumns[i]] = fields[i];
    // Numbers stay numbers.
    unit["port"] = r.port;
    unit["baud"] = r.baud;
    unit["seconds"] = tenths(r.seconds);
    units.push_back(unit);
  }
  nlohmann::ordered_json report;
  report["units"] = units;
  // Invalid UTF-8 (a device name, say) is replaced rather than refused.
  return report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// RFC 4180: a field with a comma, quote or line end is quoted, quotes doubled.
static std::string csvField(const std::string &field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string fleet_reportCsv(const std::vector<FleetRecord> &records) {
  std::string csv;
  for (size_t i = 0; i < sizeof kColumns / sizeof kColumns[0]; i++) csv += (i ? "," : "") + std::string(kColumns[i]);
  csv += "\r\n";
  for (const FleetRecord &r : records) {
    std::vector<std::string> fields = fieldsOf(r);
    for (size_t i = 0; i < fields.size(); i++) csv += (i ? "," : "") + csvField(fields[i]);
    csv += "\r\n";
  }
  return csv;
}

static bool endsWith(const std::string &text, const char *suffix) {
  std::string end = suffix;
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool fleet_writeReport(const std::string &path, const std::vector<FleetRecord> &records, std::string *error) {
  std::string text;
  if (endsWith(path, ".json")) text = fleet_reportJson(records);
  else if (endsWith(path, ".csv")) text = fleet_reportCsv(records);
  else {
    *error = path + ": the report's name ends in .json or .csv";
    return false;
  }
  FILE *file = fopen(path.c_str(), "wb");
  bool ok = file != NULL && fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != NULL && fclose(file) != 0) ok = false;
  if (!ok) *error = path + ": cannot write the report";
  return ok;
}
