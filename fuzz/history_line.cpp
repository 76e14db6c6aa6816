// Fuzzes the reader of the station history: whatever a history file holds,
// read in whatever pieces, every line is either a record or a skip named by
// its number, in order, no line held past its bound; and a date or time the
// filters take writes back as the same moment.
//
// The first byte chooses where the input is cut into pieces; the rest is the file.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fleet/StationHistory.h"

static std::string reading(const char *text, size_t length, size_t stride) {
  std::string got;
  size_t last = 0;
  HistoryReader reader(
      [&](const HistoryEntry &e) {
        if (e.line <= last || !e.json.is_object() || !e.json["result"].is_string()) abort();
        last = e.line;
        got += "r" + std::to_string(e.line) + e.result + "\n";
      },
      [&](size_t line, HistorySkip why) {
        if (line <= last) abort();
        last = line;
        got += "s" + std::to_string(line) + ":" + std::to_string(why) + "\n";
      });
  for (size_t at = 0; at < length; at += stride)
    reader.feed(text + at, length - at < stride ? length - at : stride);
  reader.end();
  size_t lines = 1;
  for (size_t i = 0; i < length; i++) lines += text[i] == '\n';
  if (last > lines) abort();
  return got;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const size_t stride = data[0] % 64 + 1;
  const char *text = (const char *)data + 1;
  const size_t length = size - 1;
  if (reading(text, length, length + 1) != reading(text, length, stride)) abort();

  time_t when = -1;
  const std::string asTime(text, length < 32 ? length : 32);
  if (stationHistory_parseTime(asTime, false, &when)) {
    time_t back = -1;
    if (when < 0 || !stationHistory_parseTime(fleet_isoTime(when), false, &back) || back != when)
      abort();
  }
  return 0;
}
