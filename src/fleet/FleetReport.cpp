// update-all's report (JSON or CSV), its file names, the retry command and the time left.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <nlohmann/json.hpp>

#include "fleet/Fleet.h"
#include "platform/CalendarTime.h"
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

std::string fleet_retryCommand(const std::vector<FleetRecord> &records, bool noVerify, int baud) {
  std::vector<const FleetRecord *> left;
  for (const FleetRecord &r : records)
    if (r.result != "updated" && r.result != "current") left.push_back(&r);
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
  return command + (noVerify ? " --no-verify" : "");
}

#define IMAGE_BYTES_PER_SECOND (115200.0 / 10)  // images go at 115200 whatever the console rate
#define REBOOT_WAIT_SECONDS 138.0                // 46 steps of 3 s after the second image

double fleet_secondsLeft(const std::string &step, int percent, long fpgaBytes, long mcuBytes) {
  const double left = (100 - percent) / 100.0;
  double bytes = 0, reboot = REBOOT_WAIT_SECONDS;
  if (step == "sending logic") bytes = fpgaBytes * left + mcuBytes;
  else if (step == "sending firmware") bytes = mcuBytes * left;
  else if (step == "rebooting") reboot *= left;
  else if (step == "verifying") reboot = 0;
  else if (step == "waiting" || step == "detecting" || step == "checking") bytes = fpgaBytes + mcuBytes;
  else return -1;
  return bytes / IMAGE_BYTES_PER_SECOND + reboot;
}

std::string fleet_isoTime(time_t when) { return fleet_utcText(when, "%Y-%m-%dT%H:%M:%SZ"); }

// The keys, in the CSV's column order.
static const char *const kColumns[] = {"port", "device", "baud", "type", "firmware_before",
                                       "fpga_before", "firmware_after", "fpga_after", "result",
                                       "failed_step", "message", "started", "finished",
                                       "seconds", "log", "address", "location",
                                       "serial_number", "vid", "pid", "label",
                                       "hook_status", "start_hook_status"};

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
          r.fpgaBefore, r.firmwareAfter, r.fpgaAfter, r.result, r.failedStep, r.message,
          r.started, r.finished, seconds, r.log, r.address, r.location, r.serialNumber,
          r.vid, r.pid, r.label, hookText(r.hookStatus), hookText(r.startHookStatus)};
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

std::string fleet_csvField(const std::string &field) {
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
    for (size_t i = 0; i < fields.size(); i++) csv += (i ? "," : "") + fleet_csvField(fields[i]);
    csv += "\r\n";
  }
  return csv;
}

static bool endsWith(const std::string &text, const char *suffix) {
  std::string end = suffix;
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// PATH with SUFFIX before its extension.
static std::string withSuffix(const std::string &path, const std::string &suffix) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1))
    dot = path.size();  // no extension (a leading dot starts a name, not an extension)
  return path.substr(0, dot) + suffix + path.substr(dot);
}

std::string fleet_numberedName(const std::string &path, int number) {
  return number <= 1 ? path : withSuffix(path, "-" + std::to_string(number));
}

// A network port's name holds its host's, up to 253 characters, a device's
// its path, up to PORT_ADDRESS_DEVICE_MAX, and a file
// name takes 255 in all: a longer name keeps its head and its tail (where the
// TCP port is) around a hash of the whole, so that cut names stay apart.
#define PORT_FILE_NAME_MAX 96
#define PORT_FILE_NAME_TAIL 24

static std::string boundedPortFileName(int port) {
  const std::string name = portDescription_of(port).fileName;
  if (name.size() <= PORT_FILE_NAME_MAX) return name;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  char hex[16];
  snprintf(hex, sizeof hex, "-%08x-", (unsigned)hash);
  const size_t head = PORT_FILE_NAME_MAX - PORT_FILE_NAME_TAIL - strlen(hex);
  return name.substr(0, head) + hex + name.substr(name.size() - PORT_FILE_NAME_TAIL);
}

std::string fleet_portFileName(const std::string &path, int port) {
  return withSuffix(path, "-" + boundedPortFileName(port));
}

std::string fleet_portArgument(int port) {
  const PortDescription description = portDescription_of(port);
  return description.comNumber > 0 ? std::to_string(description.comNumber) : description.name;
}

// A new, empty file of our own beside PATH (same folder, so that a rename
// moves it over PATH at once): its name in *tempPath, an open descriptor.
// -1 with errno set when the folder does not take one.
static int makeTempBeside(const std::string &path, std::string *tempPath) {
  size_t slash = path.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
#ifdef _WIN32
  static int counter = 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    *tempPath = folder + "." + base + "." + std::to_string(_getpid()) + "-" + std::to_string(++counter) + ".tmp";
    // Returns a descriptor, -1 upon failure (EEXIST: the name is taken).
    int fd = _open(tempPath->c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
#else
  *tempPath = folder + "." + base + ".XXXXXX";
  std::vector<char> name(tempPath->begin(), tempPath->end());
  name.push_back('\0');
  // Returns a descriptor of a file it made (O_EXCL), -1 upon failure.
  int fd = mkstemp(name.data());
  if (fd >= 0) {
    *tempPath = name.data();
    fchmod(fd, 0644);  // mkstemp makes it 0600; a report is for others to read
    return fd;
  }
#endif
  return -1;
}

bool fleet_newFileBeside(const std::string &path, std::string *tempPath, std::string *error) {
  const int fd = makeTempBeside(path, tempPath);
  if (fd < 0) *error = strerror(errno);
#ifdef _WIN32
  return fd >= 0 && _close(fd) == 0;
#else
  return fd >= 0 && close(fd) == 0;
#endif
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
  std::string temp, why;
  if (!fleet_newFileBeside(path, &temp, &why)) {
    *error = path + ": cannot write the report: " + why;
    return false;
  }
  remove(temp.c_str());
  return true;
}

bool fleet_writeReport(const std::string &path, const std::vector<FleetRecord> &records, std::string *error) {
  if (!reportKind(path, error)) return false;
  std::string text = endsWith(path, ".json") ? fleet_reportJson(records) : fleet_reportCsv(records);
  std::string why;
  if (fleet_replaceFile(path, text, &why)) return true;
  *error = path + ": cannot write the report: " + why;
  return false;
}

bool fleet_replaceFile(const std::string &path, const std::string &text, std::string *error) {
  // Written whole under a name of its own, flushed to the disk, then renamed
  // over PATH: the file at PATH is always complete, the earlier one until the
  // new one is in place. A link at PATH is replaced, not followed.
  std::string temp;
  int fd = makeTempBeside(path, &temp);
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  bool ok = true;
  for (size_t at = 0; ok && at < text.size();) {
#ifdef _WIN32
    int n = _write(fd, text.data() + at, (unsigned)(text.size() - at));
#else
    // Returns the byte count written, -1 upon failure.
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
#endif
    if (n <= 0) ok = false;
    else at += (size_t)n;
  }
#ifdef _WIN32
  ok = ok && _commit(fd) == 0;
  ok = _close(fd) == 0 && ok;
  ok = ok && MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) _unlink(temp.c_str());
#else
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
  } else {
    // The rename itself reaches the disk with its folder.
    size_t slash = path.rfind('/');
    int folder = open(slash == std::string::npos ? "." : path.substr(0, slash + 1).c_str(), O_RDONLY);
    if (folder >= 0) {
      fsync(folder);
      close(folder);
    }
  }
#endif
  if (!ok) *error = strerror(errno);
  return ok;
}

// A console transcript as a person reads it: each line as a terminal leaves
// it (a backspace moves back over what the next characters overwrite, so a
// percentage counting up ends as its last value; blanks that erased text past
// where the line ended are dropped), and every line end ("\r\n", "\n\r", or
// either alone) written as LINEEND.
std::string fleet_readableText(const std::string &raw, const char *lineEnd) {
  std::string text, line;
  size_t cursor = 0;
  auto takeLine = [&](bool ended) {
    if (line.find_first_not_of(' ', cursor) == std::string::npos) line.resize(cursor);
    text += line;
    if (ended) text += lineEnd;
    line.clear();
    cursor = 0;
  };
  for (size_t i = 0; i < raw.size(); i++) {
    const char c = raw[i];
    if (c == '\n' || c == '\r') {
      if (i + 1 < raw.size() && (raw[i + 1] == '\n' || raw[i + 1] == '\r') && raw[i + 1] != c) i++;
      takeLine(true);
    } else if (c == '\b') {
      if (cursor > 0) cursor--;
    } else if (cursor < line.size()) {
      line[cursor++] = c;
    } else {
      line += c;
      cursor++;
    }
  }
  if (!line.empty()) takeLine(false);
  return text;
}

std::string fleet_nativePath(const std::string &path) {
  std::string native = path;
#ifdef _WIN32
  for (char &c : native)
    if (c == '/') c = '\\';
#endif
  return native;
}
