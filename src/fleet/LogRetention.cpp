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
  listing_.reset();
  listed_ = false;
}

// Lists up to *BUDGET more entries of due_.back() into files_, after a look
// at the folder itself: TRUE while it is ours so far, FALSE (said) once it
// is not, or cannot be listed.
bool LogRetention::listFolder(int *budget, std::vector<std::string> *notes) {
  const std::string &folder = due_.back();
  std::error_code code;
  if (!listing_) {
    if (fs::symlink_status(folder, code).type() != fs::file_type::directory) {
      if (!code) note(folder, "it is no folder of its own (a link or a file)", notes);
      return false;
    }
    listing_.reset(new fs::directory_iterator(folder, code));
  }
  fs::directory_iterator &it = *listing_;
  for (; !code && it != fs::directory_iterator() && *budget > 0; it.increment(code), --*budget) {
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
  if (!code && it == fs::directory_iterator()) listed_ = true;
  return !code;
}

void LogRetention::dropFolder() {
  due_.pop_back();
  files_.clear();
  listing_.reset();
  listed_ = false;
}

void LogRetention::step(double now, time_t wallNow, std::vector<std::string> *notes) {
  if (due_.empty() && (passAt_ < 0 || now - passAt_ >= LOG_RETENTION_PASS_SECONDS)) {
    passAt_ = now;
    beginPass(wallNow);
  }
  for (int budget = LOG_RETENTION_STEP_FILES; !due_.empty() && budget > 0;) {
    const std::string folder = due_.back();
    // Listed whole before anything goes: a folder that turns out not ours is
    // left as it was.
    if (!listed_) {
      if (!listFolder(&budget, notes)) dropFolder();
      continue;
    }
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
    dropFolder();
  }
}
