// Scanned labels: lines to labels, and their queue.
#include "fleet/LabelQueue.h"

#include <algorithm>

#include "platform/PrintableText.h"

// A line is kept up to this many bytes (blanks around a label included);
// a longer one is refused whole without being held in memory.
#define LINE_KEPT_MAX (4 * LABEL_MAX_CHARS)
// The note shows this much of a refused line.
#define NOTE_TEXT_MAX 40

static bool isBlank(char c) { return c == ' ' || c == '\t'; }

// TEXT escaped and, past NOTE_TEXT_MAX characters, cut: "\"SN\\x1b[2J\"".
static std::string quotedLabel(const std::string &text) {
  const bool cut = text.size() > NOTE_TEXT_MAX;
  return "\"" + printableText_escape(text.substr(0, NOTE_TEXT_MAX)) + (cut ? "...\"" : "\"");
}

// Why TEXT is refused for its length.
static std::string tooLong(const std::string &text) {
  return quotedLabel(text) + " is longer than " + std::to_string(LABEL_MAX_CHARS) + " characters";
}

bool labelQueue_check(const std::string &text, std::string *label, std::string *why) {
  size_t begin = 0, end = text.size();
  while (begin < end && isBlank(text[begin])) begin++;
  while (end > begin && isBlank(text[end - 1])) end--;
  const std::string trimmed = text.substr(begin, end - begin);
  const auto unprintable = [](unsigned char c) { return c < 0x20 || c > 0x7e; };
  if (trimmed.empty()) {
    *why = "an empty label";
  } else if (trimmed.size() > LABEL_MAX_CHARS) {
    *why = tooLong(trimmed);
  } else if (std::any_of(trimmed.begin(), trimmed.end(), unprintable)) {
    *why = quotedLabel(trimmed) +
           " holds a character other than printable ASCII (a control character "
           "or a byte from 0x80 up)";
  } else {
    *label = trimmed;
    return true;
  }
  return false;
}

void LabelQueue::endLine(std::vector<std::string> *notes) {
  std::string label, why;
  if (overlong_) {
    notes->push_back("label refused: " + tooLong(line_));
  } else if (std::all_of(line_.begin(), line_.end(), isBlank)) {
    // An empty line: Enter alone, or the LF of a CR LF.
  } else if (!labelQueue_check(line_, &label, &why)) {
    notes->push_back("label refused: " + why);
  } else if (std::find(labels_.begin(), labels_.end(), label) != labels_.end()) {
    notes->push_back("label " + quotedLabel(label) + " is in the queue already: not queued twice");
  } else if (labels_.size() >= LABEL_QUEUE_MAX) {
    notes->push_back("label refused: " + quotedLabel(label) + ": the queue holds " +
                     std::to_string(LABEL_QUEUE_MAX) + " labels already");
  } else {
    labels_.push_back(label);
  }
  line_.clear();
  overlong_ = false;
}

void LabelQueue::feed(const char *bytes, size_t size, std::vector<std::string> *notes) {
  for (size_t i = 0; i < size; i++) {
    if (bytes[i] == '\n' || bytes[i] == '\r')
      endLine(notes);
    else if (line_.size() < LINE_KEPT_MAX)
      line_ += bytes[i];
    else
      overlong_ = true;
  }
}

void LabelQueue::end(std::vector<std::string> *notes) {
  if (ended_) return;
  ended_ = true;
  if (!line_.empty() || overlong_) endLine(notes);
}

std::string LabelQueue::take() {
  if (labels_.empty()) return "";
  std::string label = labels_.front();
  labels_.pop_front();
  return label;
}
