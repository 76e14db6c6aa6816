// The Telnet codec: what we send, and the decoding of what a terminal server
// sends, each input fed whole, byte by byte and into a 3-byte data buffer.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <string>

#include "serial/TelnetCodec.h"

using namespace std::string_literals;

#define IAC "\xff"
#define WILL "\xfb"
#define WONT "\xfc"
#define DO "\xfd"
#define DONT "\xfe"
#define SB IAC "\xfa"
#define SE IAC "\xf0"
#define BIN "\x00"
#define ECH "\x01"
#define SGA "\x03"
#define TTYPE "\x18"
#define CPO "\x2c"

namespace {

std::string repeat(const std::string &text, int times) {
  std::string out;
  while (times-- > 0) out += text;
  return out;
}

std::string bytesOf(const TelnetMessage &message) {
  return std::string((const char *)message.bytes, message.length);
}

TEST(TelnetCodec, Encoding) {
  TelnetCodec codec;
  telnetCodec_init(&codec);
  TelnetMessage opening, baud, baudIac, dtr, size, purge;
  telnetCodec_opening(&codec, &opening);
  telnetCodec_setBaudRate(57600, &baud);
  telnetCodec_setBaudRate(0xFF00FFFF, &baudIac);
  telnetCodec_comPortCommand(COM_PORT_SET_CONTROL, COM_PORT_CONTROL_DTR_OFF, &dtr);
  telnetCodec_comPortCommand(COM_PORT_SET_DATASIZE, 0xFF, &size);
  telnetCodec_comPortCommand(COM_PORT_PURGE_DATA, COM_PORT_PURGE_BOTH, &purge);
  const struct {
    std::string got, expected;
  } cases[] = {
      {bytesOf(opening), IAC WILL BIN IAC DO BIN IAC WILL SGA IAC DO SGA IAC WILL CPO ""s},
      {bytesOf(baud), SB CPO "\x01" BIN BIN "\xe1" BIN SE ""s},
      {bytesOf(baudIac), SB CPO "\x01" IAC IAC BIN IAC IAC IAC IAC SE ""s},
      {bytesOf(dtr), SB CPO "\x05\x09" SE},
      {bytesOf(size), SB CPO "\x02" IAC IAC SE},
      {bytesOf(purge), SB CPO "\x0c\x03" SE},
  };
  for (const auto &c : cases) EXPECT_EQ(c.got, c.expected);

  // Escaping never splits a doubled IAC over two buffers.
  const uint8_t data[] = {'a', 0xFF, 'b'};
  uint8_t out[6];
  size_t consumed = 9;
  EXPECT_EQ(telnetCodec_escape(data, 3, out, 6, &consumed), 4u);
  EXPECT_EQ(std::string((char *)out, 4), "a" IAC IAC "b");
  EXPECT_EQ(consumed, 3u);
  EXPECT_EQ(telnetCodec_escape(data, 3, out, 2, &consumed), 1u);
  EXPECT_EQ(consumed, 1u);
}

struct Outcome {
  std::string data, events, answers;
};

Outcome decode(const std::string &input, bool opened, size_t chunk, size_t capacity) {
  TelnetCodec codec;
  telnetCodec_init(&codec);
  TelnetMessage opening;
  if (opened) telnetCodec_opening(&codec, &opening);
  Outcome out;
  for (size_t start = 0; start < input.size() && !telnetCodec_error(&codec); start += chunk) {
    const uint8_t *bytes = (const uint8_t *)input.data() + start;
    size_t left = std::min(chunk, input.size() - start);
    while (left > 0) {
      uint8_t data[64];
      size_t dataLength = 99;
      TelnetEvent event;
      const size_t used =
          telnetCodec_decode(&codec, bytes, left, data, capacity, &dataLength, &event);
      out.data.append((const char *)data, dataLength);
      if (event.kind != TELNET_EVENT_NONE) {
        char name[96];
        out.events += telnetCodec_eventName(&event, name, sizeof name) + "|"s;
        out.answers += bytesOf(event.answer);
      }
      if (used == 0 && dataLength == 0) {
        ADD_FAILURE() << "no progress at byte " << start;
        return out;
      }
      bytes += used;
      left -= used;
    }
  }
  if (telnetCodec_error(&codec)) {  // sticky: nothing more comes through
    uint8_t data[8];
    size_t dataLength;
    TelnetEvent event;
    EXPECT_EQ(telnetCodec_decode(&codec, (const uint8_t *)"abc", 3, data, 8, &dataLength, &event),
              3u);
    EXPECT_EQ(event.kind, TELNET_EVENT_ERROR);
    EXPECT_EQ(dataLength, 0u);
  }
  return out;
}

const char *const kFlood = "error: option flood: more than 256 negotiation commands without data|";

TEST(TelnetCodec, Decoding) {
  const struct {
    const char *name;
    bool opened;  // our opening was sent first
    std::string input, data, events, answers;
  } cases[] = {
      // clang-format off
      {"escaped data", false, "ab" IAC IAC "c" IAC "\xf1" IAC "\xf9", "ab" IAC "c", "", ""},
      {"server confirms our opening", true,
       IAC DO BIN IAC WILL BIN IAC DO SGA IAC WILL SGA IAC DO CPO ""s, "",
       "DO BINARY|WILL BINARY|DO SUPPRESS-GO-AHEAD|WILL SUPPRESS-GO-AHEAD|DO COM-PORT-OPTION|", ""},
      {"server asks first", false, IAC WILL SGA IAC DO BIN IAC WILL ECH IAC DO TTYPE ""s, "",
       "WILL SUPPRESS-GO-AHEAD, answered DO|DO BINARY, answered WILL|WILL ECHO, answered DONT|"
       "DO TERMINAL-TYPE, answered WONT|",
       IAC DO SGA IAC WILL BIN IAC DONT ECH IAC WONT TTYPE ""s},
      {"a state confirmed is not answered", false,
       IAC WILL BIN IAC WILL BIN IAC WONT BIN IAC WONT BIN IAC DONT ECH ""s, "",
       "WILL BINARY, answered DO|WILL BINARY|WONT BINARY, answered DONT|WONT BINARY|DONT ECHO|",
       IAC DO BIN IAC DONT BIN ""s},
      {"server refuses, then asks", true, IAC DONT CPO IAC WONT BIN "x" IAC DO CPO ""s, "x",
       "DONT COM-PORT-OPTION|WONT BINARY|DO COM-PORT-OPTION, answered WILL|", IAC WILL CPO},
      {"port replies between data", true,
       "a" SB CPO "\x65" BIN BIN "\xe1" BIN SE "b" SB CPO "\x66\x08" SE SB CPO "\x67\x01" SE
       SB CPO "\x68\x01" SE SB CPO "\x69\x03" SE SB CPO "\x70\x03" SE
       SB CPO "\x6a\x60" SE SB CPO "\x6b\x30" SE "c"s, "abc",
       "SET-BAUDRATE 57600 acknowledged|SET-DATASIZE 8 acknowledged|SET-PARITY NONE acknowledged|"
       "SET-STOPSIZE 1 acknowledged|SET-CONTROL flow hardware acknowledged|"
       "PURGE-DATA both acknowledged|NOTIFY-LINESTATE 0x60|NOTIFY-MODEMSTATE 0x30|", ""},
      {"IAC inside a reply's value", false, SB CPO "\x65" BIN BIN IAC IAC IAC IAC SE ""s, "",
       "SET-BAUDRATE 65535 acknowledged|", ""},
      {"malformed, foreign and unterminated subnegotiations", false,
       SB CPO "\x65" BIN "\x01" SE SB TTYPE "\x01" SE SB CPO "\x66" IAC WILL ECH "x"s, "x",
       "SET-BAUDRATE reply with 2 value bytes ignored|WILL ECHO, answered DONT|", IAC DONT ECH},
      {"subnegotiation of 64 bytes", false, SB + repeat("a", 64) + SE "ok", "ok", "", ""},
      {"subnegotiation too long", false, "ok" SB + repeat("a", 65) + SE "lost", "ok",
       "error: subnegotiation longer than 64 bytes|", ""},
      {"option flood", false, repeat(IAC WILL "c", 256) + "d" + repeat(IAC WILL "c", 257) + "lost",
       "d", repeat("WILL option 99, answered DONT|", 512) + kFlood, repeat(IAC DONT "c", 512)},
      {"IAC at every byte", false, repeat(IAC IAC, 100000), repeat(IAC, 100000), "", ""},
      // clang-format on
  };
  const struct { size_t chunk, capacity; } feeds[] = {{SIZE_MAX, 64}, {1, 64}, {7, 3}};
  for (const auto &c : cases)
    for (const auto &feed : feeds) {
      SCOPED_TRACE(c.name + " in chunks of "s + std::to_string(feed.chunk));
      const Outcome got = decode(c.input, c.opened, feed.chunk, feed.capacity);
      EXPECT_EQ(got.data, c.data);
      EXPECT_EQ(got.events, c.events);
      EXPECT_EQ(got.answers, c.answers);
    }
}

}  // namespace
