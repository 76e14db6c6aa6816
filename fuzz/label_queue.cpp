// Fuzzes the scanned labels' queue: whatever standard input brings, in
// whatever pieces, every label queued is printable ASCII within its bound,
// every note is safe to print, and the pieces change nothing.
//
// The first byte chooses where the input is cut into pieces; the rest is the input.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fleet/LabelQueue.h"

static bool printable(const std::string &text) {
  for (unsigned char c : text)
    if (c < 0x20 || c > 0x7e) return false;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const size_t stride = data[0] % 64 + 1;
  const char *text = (const char *)data + 1;
  const size_t length = size - 1;
  LabelQueue whole, pieces;
  std::vector<std::string> notes, pieceNotes;
  whole.feed(text, length, &notes);
  whole.end(&notes);
  for (size_t at = 0; at < length; at += stride)
    pieces.feed(text + at, length - at < stride ? length - at : stride, &pieceNotes);
  pieces.end(&pieceNotes);
  if (whole.labels() != pieces.labels() || notes != pieceNotes) abort();
  for (const std::string &label : whole.labels())
    if (label.empty() || label.size() > LABEL_MAX_CHARS || !printable(label) || label[0] == ' ' ||
        label.back() == ' ')
      abort();
  for (const std::string &note : notes)
    if (!printable(note)) abort();
  return 0;
}
