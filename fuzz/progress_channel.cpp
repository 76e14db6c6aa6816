// Fuzzes the parent's reader of the progress channel: whatever a child writes,
// in whatever pieces the pipe gives it, the reader holds a bounded line and
// hands back only events that could have been meant.
//
// The first byte chooses where the input is cut into pieces; the rest is what
// the child wrote.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fleet/ProgressChannel.h"

static bool sameLines(const std::vector<ProgressLine> &a, const std::vector<ProgressLine> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (a[i].kind != b[i].kind || a[i].stepText != b[i].stepText || a[i].percent != b[i].percent ||
        a[i].key != b[i].key || a[i].value != b[i].value)
      return false;
  }
  return true;
}

static void check(const ProgressLine &line) {
  switch (line.kind) {
    case ProgressLine::STEP:
      if (line.stepText.empty() || line.stepText.find('\n') != std::string::npos) abort();
      if (line.step != fleet_stepOf(line.stepText)) abort();
      break;
    case ProgressLine::PERCENT:
      if (line.percent < 0 || line.percent > 100) abort();
      break;
    case ProgressLine::FACT:
      if (line.key.empty() || line.key.find(' ') != std::string::npos) abort();
      if (line.value.find('\n') != std::string::npos) abort();
      break;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const unsigned stride = data[0] % 64 + 1;
  const char *text = (const char *)data + 1;
  const size_t length = size - 1;

  ProgressReader whole;
  std::vector<ProgressLine> once = whole.feed(text, length);
  for (const ProgressLine &line : once) check(line);

  // Cut into pieces (an empty read included), the same events come out as
  // long as no unfinished line outgrew the reader's bound.
  ProgressReader pieces;
  std::vector<ProgressLine> bit;
  bit = pieces.feed(text, 0);
  for (size_t at = 0; at < length; at += stride) {
    size_t n = length - at < stride ? length - at : stride;
    std::vector<ProgressLine> got = pieces.feed(text + at, n);
    bit.insert(bit.end(), got.begin(), got.end());
  }
  if (length <= 4096 && !sameLines(once, bit)) abort();

  // Every line the child side writes for a fact reads back as that fact.
  std::string key(text, length < 8 ? length : 8), value(text, length);
  for (char &c : key)
    if (c == ' ' || c == '\n' || c == '\r' || c == '\0') c = '_';
  key.insert(0, "k");  // a key is never empty
  std::string fact = progressChannel_factLine(key.c_str(), value.c_str());
  ProgressReader back;
  std::vector<ProgressLine> read = back.feed(fact.data(), fact.size());
  if (read.size() != 1 || read[0].kind != ProgressLine::FACT || read[0].key != key) abort();
  return 0;
}
