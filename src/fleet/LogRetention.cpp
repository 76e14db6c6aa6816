// A watch's retention of its logs: day folders past --keep-logs removed whole,
// a bounded part a round.
#include "fleet/LogRetention.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "fleet/StationHistory.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

bool logRetention_dayOf(const std::string &name, long long *day) {
  time_t when = -1;
  if (name.size() != 10 || !stationHistory_parseTime(name, false, &when)) return false;
  *day = (long long)when / 86400;
  return true;
}

void LogRetention::note(const std::string &folder, const std::string &why,
                        std::vector<std::string> *notes) {
  if (said_.insert(folder).second)
    notes->push_back(folder + " is past --keep-logs but kept: " + why);
}

void LogRetention::beginPass(time_t wallNow) {
  const long long today = (long long)wallNow / 86400;
  std::vector<std::pair<long long, std::string>> found;
  for (const std::string &top : folders_) {
    std::error_code code;
    for (fs::directory_iterator it(top, code), end; !code && it != end; it.increment(code)) {
      const std::string name = it->path().filename().string();
      long long day = 0;
      if (logRetention_dayOf(name, &day) && day + keepDays_ + 2 <= today)
        found.emplace_back(day, top + FILES_SEPARATOR + name);
    }
  }
  // The oldest last: it goes first.
  std::sort(found.begin(), found.end(), std::greater<std::pair<long long, std::string>>());
  due_.clear();
  for (const auto &folder : found) due_.push_back(folder.second);
  files_.clear();
  listed_ = false;
}

// Lists due_.back() into files_ when it is ours; FALSE (said) when it is not
// or cannot be listed.
bool LogRetention::takeFolder(std::vector<std::string> *notes) {
  const std::string &folder = due_.back();
  std::error_code code;
  if (fs::symlink_status(folder, code).type() != fs::file_type::directory) {
    if (!code) note(folder, "it is no folder of its own (a link or a file)", notes);
    return false;
  }
  files_.clear();
  for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
    const std::string name = it->path().filename().string();
    const bool ours = name.compare(0, 7, "update-") == 0 || name.compare(0, 8, ".update-") == 0;
    std::error_code kind;
    if (!ours || it->symlink_status(kind).type() == fs::file_type::directory) {
      note(folder, "it holds " + name + ", which is no log of ours", notes);
      return false;
    }
    files_.push_back(it->path().string());
  }
  if (code) note(folder, code.message(), notes);
  return !code;
}

void LogRetention::step(double now, time_t wallNow, std::vector<std::string> *notes) {
  if (due_.empty() && (passAt_ < 0 || now - passAt_ >= LOG_RETENTION_PASS_SECONDS)) {
    passAt_ = now;
    beginPass(wallNow);
  }
  for (int budget = LOG_RETENTION_STEP_FILES; !due_.empty() && budget > 0;) {
    const std::string folder = due_.back();
    if (!listed_ && !takeFolder(notes)) {
      due_.pop_back();
      continue;
    }
    listed_ = true;
    std::error_code code;
    for (; !files_.empty() && budget > 0 && !code; budget--) {
      fs::remove(files_.back(), code);  // a link goes, not what it names
      if (code == std::errc::no_such_file_or_directory) code.clear();
      if (code) note(folder, "cannot remove " + files_.back() + ": " + code.message(), notes);
      files_.pop_back();
    }
    if (!code && !files_.empty()) break;  // this step's share is done
    // Emptied (or given up): the folder itself, unless something came meanwhile.
    if (!code && !fs::remove(folder, code) && code)
      note(folder, "cannot remove it: " + code.message(), notes);
    due_.pop_back();
    files_.clear();
    listed_ = false;
  }
}
