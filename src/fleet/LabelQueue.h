// Scanned labels: the lines typed on standard input (a barcode scanner types
// a line and Enter), queued until a unit takes the oldest. A label is the
// unit's identity in the report and the history, so a line that cannot be
// one exactly (a control character, a byte outside ASCII, too long) is
// refused whole, never cut or altered, with a note that shows it escaped.
#ifndef LABELQUEUE_H
#define LABELQUEUE_H

#include <stddef.h>

#include <deque>
#include <string>
#include <vector>

// The longest label taken, in characters.
#define LABEL_MAX_CHARS 128
// Labels queued at most; a line beyond is refused.
#define LABEL_QUEUE_MAX 1000

// TEXT as a label: the blanks (spaces, tabs) around it trimmed. FALSE with the
// reason in *why when it is empty or cannot be a label: only printable ASCII
// (0x20 to 0x7E), at most LABEL_MAX_CHARS.
bool labelQueue_check(const std::string &text, std::string *label, std::string *why);

class LabelQueue {
 public:
  // Bytes of the input, split anywhere. Each line they complete (ended by LF,
  // CR or CR LF) joins the queue as labelQueue_check takes it; an empty line
  // (blanks only) is passed over; a refused one is said in *notes, and so is
  // a label already waiting in the queue (scanned twice), which is not queued
  // again.
  void feed(const char *bytes, size_t size, std::vector<std::string> *notes);
  // The input ended: a last line without its end counts as a line.
  void end(std::vector<std::string> *notes);
  bool ended() const { return ended_; }

  bool empty() const { return labels_.empty(); }
  size_t size() const { return labels_.size(); }
  // The queue, the oldest first.
  const std::deque<std::string> &labels() const { return labels_; }
  // The oldest label, out of the queue ("" when none).
  std::string take();

 private:
  void endLine(std::vector<std::string> *notes);
  std::string line_;
  bool overlong_ = false;  // line_ was cut at its bound: the line is refused
  bool ended_ = false;
  std::deque<std::string> labels_;
};

#endif  // LABELQUEUE_H
