// Fuzzes the Telnet decoder on what a terminal server might send. The first
// byte gives how many of the next bytes set the chunk sizes and data buffer
// sizes of a split feed; the rest is the server's stream. Checks that:
// - the stream fed whole and fed in pieces gives the same data, events,
//   answers, error and verdict on the opening;
// - no call consumes more than it was given or fills more than its buffer;
// - an option whose state is confirmed is never answered (no negotiation loop);
// - escaping the stream as our data and decoding it gives it back, no event.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "serial/TelnetCodec.h"

namespace {

struct Run {
  std::string data;
  std::string events;  // names and answers, in order
  bool failed = false;
  std::string opening;  // pending, refused and why, or agreed
};

// The rule against loops: WILL/DO are answered only from OFF, WONT/DONT
// only from ON.
void checkAnswer(const TelnetEvent &event, const TelnetCodec &before) {
  if (event.kind != TELNET_EVENT_NEGOTIATION) {
    if (event.answer.length != 0) abort();
    return;
  }
  const bool serverSide = event.verb == TELNET_WILL || event.verb == TELNET_WONT;
  const uint8_t state = serverSide ? before.remote[event.option] : before.local[event.option];
  const bool on = event.verb == TELNET_WILL || event.verb == TELNET_DO;
  const bool answered = event.answer.length != 0;
  if (answered != (on ? state == TELNET_OPTION_OFF : state == TELNET_OPTION_ON)) abort();
  if (answered && (event.answer.length != 3 || event.answer.bytes[0] != TELNET_IAC ||
                   event.answer.bytes[2] != event.option))
    abort();
}

// Feeds `stream` in chunks of sizes taken in turn from `pattern` (the whole
// stream at once when it is empty), with data buffers sized likewise.
Run decodeInPieces(const std::string &stream, const std::string &pattern, bool opened) {
  TelnetCodec codec;
  telnetCodec_init(&codec);
  TelnetMessage opening;
  if (opened) telnetCodec_opening(&codec, &opening);
  Run run;
  std::vector<uint8_t> data(stream.size() + 1);
  size_t start = 0;
  for (size_t k = 0; start < stream.size(); k++) {
    size_t chunk = stream.size() - start;
    size_t capacity = data.size();
    if (!pattern.empty()) {
      const uint8_t p = (uint8_t)pattern[k % pattern.size()];
      if (p % 64 + 1u < chunk) chunk = p % 64 + 1u;
      capacity = p / 64 + 1u;
    }
    const uint8_t *bytes = (const uint8_t *)stream.data() + start;
    while (chunk > 0) {
      const TelnetCodec before = codec;
      size_t dataLength = SIZE_MAX;
      TelnetEvent event;
      const size_t used =
          telnetCodec_decode(&codec, bytes, chunk, data.data(), capacity, &dataLength, &event);
      if (used > chunk || dataLength > capacity || (used == 0 && dataLength == 0)) abort();
      checkAnswer(event, before);
      if (before.error != NULL && (event.kind != TELNET_EVENT_ERROR || dataLength != 0)) abort();
      run.data.append((const char *)data.data(), dataLength);
      if (event.kind != TELNET_EVENT_NONE && before.error == NULL) {
        char name[96];
        telnetCodec_eventName(&event, name, sizeof name);
        if (name[0] == '\0' || strlen(name) >= sizeof name) abort();
        run.events += name;
        run.events += '|';
        run.events.append((const char *)event.answer.bytes, event.answer.length);
      }
      bytes += used;
      chunk -= used;
      start += used;
    }
  }
  run.failed = telnetCodec_error(&codec) != NULL;
  const char *refusal = telnetCodec_refusal(&codec);
  run.opening = telnetCodec_openingPending(&codec) ? "pending" : refusal != NULL ? refusal : "";
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
  if (size == 0) return 0;
  const size_t patternLength = input[0] % 17 < size - 1 ? input[0] % 17 : size - 1;
  const std::string pattern((const char *)input + 1, patternLength);
  const std::string stream((const char *)input + 1 + patternLength, size - 1 - patternLength);
  const bool opened = input[0] & 0x80;

  const Run whole = decodeInPieces(stream, "", opened);
  const Run pieces = decodeInPieces(stream, pattern.empty() ? "\x01" : pattern, opened);
  if (whole.data != pieces.data || whole.events != pieces.events || whole.failed != pieces.failed ||
      whole.opening != pieces.opening)
    abort();
  if (whole.data.size() > stream.size()) abort();

  // The stream as our own data: escaped in pieces, it decodes to itself.
  std::string escaped;
  uint8_t out[16];
  for (size_t taken = 0, k = 0; taken < stream.size(); k++) {
    const size_t room = pattern.empty() ? sizeof out : (uint8_t)pattern[k % patternLength] % 15 + 2;
    size_t consumed = 0;
    const size_t written = telnetCodec_escape((const uint8_t *)stream.data() + taken,
                                              stream.size() - taken, out, room, &consumed);
    if (consumed == 0 || written > room || written < consumed) abort();
    escaped.append((const char *)out, written);
    taken += consumed;
  }
  const Run back = decodeInPieces(escaped, pattern, false);
  if (back.data != stream || !back.events.empty() || back.failed) abort();
  return 0;
}
