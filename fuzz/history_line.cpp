// Fuzzes the reader of the station history: whatever a history file holds,
// read in whatever pieces, every line is either a record or a skip named by
// its number, in order, no line held past its bound; and a date or time the
// filters take writes back as the same moment.
//
// A line the quick reader of the writers' form (HistoryLine.h) takes must be
// one the full parser takes too, read to the same fields, and written back
// by its dump byte for byte (--json prints the line itself), with the same
// CSV: readings with and without the parsed objects must tell the same.
//
// The first byte chooses where the input is cut into pieces; the rest is the file.
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fleet/StationHistory.h"

static std::string fields(const HistoryEntry &e) {
  const FleetRecord &r = e.record;
  char numbers[256];
  snprintf(numbers, sizeof numbers, " %d %a %d %d %d %lld %lld %a %a %a", r.baud, r.seconds,
           r.hookStatus, r.startHookStatus, (int)r.result, (long long)e.started,
           (long long)e.finished, r.runSeconds, e.runStart, e.runEnd);
  std::string all = e.result + "|" + e.slot + numbers;
  for (const std::string *text :
       {&r.address, &r.device, &r.type, &r.failedStep, &r.firmwareBefore, &r.firmwareAfter,
        &r.fpgaBefore, &r.fpgaAfter, &r.message, &r.log, &r.label, &r.started, &r.finished,
        &r.location, &r.serialNumber, &r.vid, &r.pid, &r.runStarted})
    all += "|" + *text;
  return all;
}

static std::string reading(const char *text, size_t length, size_t stride, bool withoutJson) {
  static const std::vector<std::string> keys = stationHistory_keys();
  HistoryLineReader csv;
  std::string got;
  size_t last = 0;
  HistoryReader reader(
      [&](const HistoryEntry &e) {
        if (e.line <= last || (!withoutJson && (!e.json.is_object() || !e.json["result"].is_string())))
          abort();
        last = e.line;
        if (e.json.is_object()) {
          // The fields as the full parser reads them, its dump, its CSV.
          HistoryEntry parsed, bare = e;
          stationHistory_readObject(e.json, &parsed);
          bare.json = nullptr;
          if (fields(parsed) != fields(e) ||
              e.text != e.json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) ||
              csv.csvLine(bare, keys) != fleet_csvLine(e.json, keys))
            abort();
        }
        got += "r" + std::to_string(e.line) + fields(e) + "\n" + e.text + "\n" + csv.csvLine(e, keys);
      },
      [&](size_t line, HistorySkip why) {
        if (line <= last) abort();
        last = line;
        got += "s" + std::to_string(line) + ":" + std::to_string(why) + "\n";
      });
  if (withoutJson) reader.recordsWithoutJson();
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
  if (reading(text, length, length + 1, false) != reading(text, length, stride, true)) abort();

  time_t when = -1;
  const std::string asTime(text, length < 32 ? length : 32);
  if (stationHistory_parseTime(asTime, false, &when)) {
    time_t back = -1;
    if (when < 0 || !stationHistory_parseTime(fleet_isoTime(when), false, &back) || back != when)
      abort();
  }
  return 0;
}
