// The units' log and trace files: names and readable transcripts.
#include "fleet/FleetLogs.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "fleet/FleetReport.h"
#include "platform/Files.h"
#include "serial/PortDescription.h"

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

// A console transcript as a person reads it: each line as a terminal leaves
// it (a backspace moves back over what the next characters overwrite, so a
// percentage counting up ends as its last value; blanks that erased text past
// where the line ended are dropped), and every line end ("\r\n", "\n\r", or
// either alone) written as LINEEND.
void ReadableText::takeLine(bool ended, std::string *text) {
  if (line_.find_first_not_of(' ', cursor_) == std::string::npos) line_.resize(cursor_);
  *text += line_;
  if (ended) *text += lineEnd_;
  line_.clear();
  cursor_ = 0;
}

void ReadableText::feed(const char *raw, size_t size, std::string *text) {
  for (size_t i = 0; i < size; i++) {
    const char c = raw[i];
    const char lastEnd = lastEnd_;
    lastEnd_ = 0;
    if (c == '\n' || c == '\r') {
      if (lastEnd != 0 && lastEnd != c) continue;  // the second half of "\r\n" or "\n\r"
      takeLine(true, text);
      lastEnd_ = c;
    } else if (c == '\b') {
      if (cursor_ > 0) cursor_--;
    } else if (cursor_ < line_.size()) {
      line_[cursor_++] = c;
    } else {
      if (line_.size() >= FLEET_READABLE_LINE_MAX) {
        *text += line_;
        line_.clear();
        cursor_ = 0;
      }
      line_ += c;
      cursor_++;
    }
  }
}

void ReadableText::end(std::string *text) {
  if (!line_.empty()) takeLine(false, text);
}

std::string fleet_readableText(const std::string &raw, const char *lineEnd) {
  ReadableText readable(lineEnd);
  std::string text;
  readable.feed(raw.data(), raw.size(), &text);
  readable.end(&text);
  return text;
}

bool fleet_rewriteReadable(const std::string &log, std::string *error) {
  // Read twice at once: once to make the text, once to compare it with, so
  // that an unchanged log is left as it is.
  FILE *in = files_openPlain(log), *again = files_openPlain(log), *out = NULL;
  std::string temp;
  bool ok = in != NULL && again != NULL && files_newBeside(log, &temp, error) &&
            (out = fopen(temp.c_str(), "wb")) != NULL;
  if (!ok && error->empty()) *error = strerror(errno);
  ReadableText readable(FILES_LINE_END);
  std::string text;
  std::vector<char> raw(1u << 16), before;
  bool same = true, atEnd = false;
  while (ok && !atEnd) {
    const size_t n = fread(raw.data(), 1, raw.size(), in);
    atEnd = n < raw.size();
    text.clear();
    readable.feed(raw.data(), n, &text);
    if (atEnd) readable.end(&text);
    if (same) {
      before.resize(text.size());
      same = fread(before.data(), 1, before.size(), again) == before.size() &&
             (text.empty() || memcmp(before.data(), text.data(), text.size()) == 0);
    }
    ok = fwrite(text.data(), 1, text.size(), out) == text.size();
    if (!ok) *error = strerror(errno);
  }
  if (ok && (ferror(in) || ferror(again))) {
    ok = false;
    *error = strerror(errno);
  }
  same = ok && same && fgetc(again) == EOF;
  for (FILE *file : {in, again})
    if (file != NULL) fclose(file);
  if (out != NULL && fclose(out) != 0 && ok) {
    ok = false;
    *error = strerror(errno);
  }
  if (ok && !same) return files_replaceWith(log, temp, error);
  if (!temp.empty()) remove(temp.c_str());
  return ok;
}

std::string fleet_nativePath(const std::string &path) {
  std::string native = path;
  for (char &c : native)
    if (c == '/') c = FILES_SEPARATOR;
  return native;
}

std::string fleet_dayFolderName(time_t when) { return fleet_utcText(when, "%Y-%m-%d"); }

// FOLDER made when missing; one already there will do only when it is a
// folder itself, not a link to one: a link planted in its place is refused.
static bool makeOwnFolder(const std::string &folder, std::string *error) {
  if (files_makeFolder(folder, true)) return true;
  if (errno != EEXIST) {
    *error = folder + ": " + strerror(errno);
    return false;
  }
  std::error_code code;
  if (std::filesystem::symlink_status(folder, code).type() == std::filesystem::file_type::directory)
    return true;
  *error = code ? folder + ": " + code.message() : folder + " is not a folder (a link or a file)";
  return false;
}

bool LogNames::enterDay(const std::string &day, std::string *error) {
  if (day == day_) return true;
  if (!makeOwnFolder(fleet_nativePath(logDir_ + "/" + day), error) ||
      (!traceDir_.empty() && !makeOwnFolder(fleet_nativePath(traceDir_ + "/" + day), error)))
    return false;
  // A new day's folder: the numbers of the day before say nothing of it.
  day_ = day;
  next_.clear();
  return true;
}

bool LogNames::taken(const std::string &log, const std::string &trace, int number) const {
  return files_nameTaken(fleet_numberedName(log, number)) ||
         (!trace.empty() && files_nameTaken(fleet_numberedName(trace, number)));
}

// Past this, a name's numbers are not looked for any further.
#define LOG_NUMBER_MAX (1 << 29)

bool LogNames::next(int port, time_t when, std::string *log, std::string *trace,
                    std::string *error) {
  std::string logFolder = logDir_, traceFolder = traceDir_;
  bool ok = true;
  if (perDay_) {
    const std::string day = fleet_dayFolderName(when);
    logFolder += "/" + day;
    traceFolder += "/" + day;
    ok = enterDay(day, error);
  }
  // Not "COMn.log": Windows takes COM1 to COM9 with any extension for the
  // serial device itself, and the transcript would go out on the port. A
  // network port's name keeps only characters that both systems take, and
  // fits in a file name.
  const std::string base = fleet_portFileName(fleet_nativePath(logFolder + "/update.log"), port);
  std::string traceBase;
  if (!traceDir_.empty()) {
    const size_t slash = base.find_last_of("/\\");
    const std::string name = base.substr(slash + 1);
    traceBase = fleet_nativePath(traceFolder + "/" + name.substr(0, name.rfind('.')) + ".trace");
  }
  *log = base;
  trace->clear();
  if (!ok) return false;
  auto known = next_.find(base);
  int number = known == next_.end() ? 1 : known->second;
  if (taken(base, traceBase, number)) {
    // Taken (a run before this one named here): past it by doubling steps
    // to a free number, then halving the span between the last number
    // taken and the first free one.
    int low = number, high = number + 1;
    for (int step = 2; taken(base, traceBase, high); step *= 2) {
      if (high > LOG_NUMBER_MAX) {
        *error = base + ": every number up to " + std::to_string(high) + " is taken";
        return false;
      }
      low = high;
      high = low + step;
    }
    while (high - low > 1) {
      const int middle = low + (high - low) / 2;
      (taken(base, traceBase, middle) ? low : high) = middle;
    }
    number = high;
  }
  next_[base] = number + 1;
  *log = fleet_numberedName(base, number);
  if (!traceBase.empty()) *trace = fleet_numberedName(traceBase, number);
  return true;
}
