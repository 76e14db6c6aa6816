// sendCommand and sendData over a pseudo-terminal, the test playing the unit.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../TestTiming.h"
#include "PtyFixture.h"
#include "platform/PrintableText.h"
#include "updater/TessaranFwUpgrade.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

struct Piece {  // one piece of the unit's answer, after a pause
  int pauseMs;
  std::string bytes;
};

class UnitExchange : public OpenUnitTest {
 protected:
  int readTimeoutMs() const override { return 200; }
  // The unit takes `count` bytes, then answers with the pieces.
  void startUnit(size_t count, std::vector<Piece> answer) {
    peer = std::thread([this, count, answer] {
      received = readFor(unit->master, count, 3000);
      // Each piece at its time from the first, so that a late wake-up on a
      // loaded machine delays one piece, not every piece after it.
      auto at = std::chrono::steady_clock::now();
      for (const Piece &p : answer) {
        at += std::chrono::milliseconds(p.pauseMs);
        std::this_thread::sleep_until(at);
        writeAll(unit->master, p.bytes);
      }
    });
  }
  std::string unitReceived() {
    peer.join();
    return received;
  }
  std::string nextRead() {
    char piece[64];
    int count = 0;
    ComPortAPI_ReadCOM(piece, sizeof piece, &count);
    return std::string(piece, (size_t)count);
  }

  std::string received;
};

TEST_F(UnitExchange, CommandFramingOnTheWire) {
  EXPECT_EQ(sendCommand("%fw -v", FALSE, FALSE, NULL), 1);
  EXPECT_EQ(readFor(unit->master, 10, 1000), "\x25\x25\x25\x66\x77\x20\x2D\x76\x0A\x0D");
  EXPECT_EQ(sendCommand("ver", TRUE, FALSE, NULL), 1);
  EXPECT_EQ(readFor(unit->master, 5, 1000), "ver\n\r");
  writeAll(unit->master, "1.0.3");  // not read without an expected text: it waits
  sleepMs(50);
  EXPECT_EQ(nextRead(), "1.0.3");
}

TEST_F(UnitExchange, ReplyCollectionAndComparison) {
  struct Case {
    const char *what;
    std::vector<Piece> answer;
    BOOL validate;
    const char *expected;
    BOOL result;
    const char *leftOver;  // what the next read finds
  } cases[] = {
      {"one piece", {{0, "Ready"}}, TRUE, "Ready", 1, ""},
      {"short pauses", {{0, "Re"}, {80, "ad"}, {80, "y"}}, TRUE, "Ready", 1, ""},
      {"extra line end", {{0, "Ready\r\n"}}, TRUE, "Ready", 0, ""},
      {"long pause splits", {{0, "Rea"}, {600, "dy"}}, TRUE, "Rea", 1, "dy"},
      // Each read lasts the 200 ms total: 300 ms later is the next read.
      {"NUL ends its piece", {{0, std::string("Rea\0zz", 6)}, {300, "dy"}}, TRUE, "Ready", 1, ""},
      {"silence", {}, TRUE, "Ready", 0, ""},
      {"not validated", {{0, "garbage"}}, FALSE, "Ready", 1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    startUnit(10, c.answer);
    EXPECT_EQ(sendCommand("%fw -p", FALSE, c.validate, c.expected), c.result);
    EXPECT_EQ(unitReceived(), "%%%fw -p\n\r");
    if (c.leftOver[0] != '\0') {
      sleepMs(400);
      EXPECT_EQ(nextRead(), c.leftOver);
    }
  }
}

TEST_F(UnitExchange, DataStreamAndPercentages) {
  struct Case {
    int length;
    const char *reply, *console;
    BOOL result;
  } cases[] = {
      {0, "", "1%", 1},
      {10240, "SUCCESS", "1%\b\b100%", 1},
      {10241, "SUCCESS", "1%\b\b99%\b\b\b100%", 1},
      {20480, "SUCCESS", "1%\b\b50%\b\b\b100%", 1},
      {25000, "SUCCESS", "1%\b\b40%\b\b\b81%\b\b\b100%", 1},
      {300, "FAIL\r\n",
       "1%\b\b100%\r\nExpected : SUCCESS  received : FAIL\r\n\r\n"
       "\r\nError: Expected response did  not matched !\r\n",
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.length);
    std::string data((size_t)c.length, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 31 + i / 256);
    startUnit(data.size(), {{0, c.reply}});
    CaptureStdout();
    BOOL result = sendData((const uint8_t *)data.data(), c.length, TRUE, "SUCCESS");
    EXPECT_EQ(GetCapturedStdout(), c.console);
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(unitReceived() == data);
  }
}

// The mismatch dump shows the unit's reply as received in the updater, and
// escaped in the tool, whose printer is installed: the reply may be anything.
TEST_F(UnitExchange, ReplyDumpAsReceivedOrEscaped) {
  const std::string reply = "\x1b[2J\xff";
  struct Case {
    const char *what;
    ReplyPrinter printer;
    const char *shown;
  } cases[] = {
      {"updater", NULL, "\x1b[2J\xff"},
      {"tool", printableText_print, "\\x1b[2J\\xff"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    unitExchange_setReplyPrinter(c.printer);
    startUnit(4, {{0, reply}});
    CaptureStdout();
    BOOL result = sendData((const uint8_t *)"data", 4, TRUE, "SUCCESS");
    EXPECT_EQ(GetCapturedStdout(), std::string("1%\b\b100%\r\nExpected : SUCCESS  received : ") +
                                       c.shown + "\r\n\r\nError: Expected response did  not matched !\r\n");
    EXPECT_EQ(result, 0);
    unitReceived();
  }
  unitExchange_setReplyPrinter(NULL);
}

// The unit goes away in the middle of its reply: the collection ends at once,
// and the next command reports the failed write.
TEST_F(UnitExchange, HangUpInTheMiddleOfAReply) {
  ComPortAPI_SetReadingTimeoutInMs(10000);
  peer = std::thread([this] {
    readFor(unit->master, 10, 3000);
    writeAll(unit->master, "Rea");
    sleepMs(100);
    close(unit->master);
    unit->master = -1;
  });
  long long start = nowMs();
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, "Ready"), 0);
  EXPECT_LT(nowMs() - start, slackMs(2500));  // not held for the 10 s timeout
  peer.join();
  CaptureStdout();
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, "Ready"), 0);
  EXPECT_EQ(GetCapturedStdout(), "\r\nError occurred when sending data !\r\n");
}

// A reply of exactly one buffer's worth is whole; one byte more is cut, and a
// unit that never stops talking does not hold the exchange.
TEST_F(UnitExchange, ReplyCap) {
  std::string longest((size_t)READ_CHUNK_SIZE, 'B');
  startUnit(10, {{0, longest}});
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, longest.c_str()), 1);
  unitReceived();
  startUnit(10, {{0, longest + "B"}});
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, longest.c_str()), 0);
  unitReceived();

  std::atomic<bool> stop(false);
  peer = std::thread([this, &stop] {
    readFor(unit->master, 10, 3000);
    fcntl(unit->master, F_SETFL, fcntl(unit->master, F_GETFL) | O_NONBLOCK);
    std::string chunk(4096, 'A');
    while (!stop) {
      struct pollfd pfd = {unit->master, POLLOUT, 0};
      if (poll(&pfd, 1, 50) > 0) (void)!write(unit->master, chunk.data(), chunk.size());
    }
  });
  long long start = nowMs();
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, "A"), 0);
  stop = true;
  EXPECT_LT(nowMs() - start, slackMs(30000));
}

// Replies are bounded in time as well: with the 200 ms timeout of these tests a
// read begun more than 200 + 2 x 616 + 200 ms after the collection's start must
// bring nothing. The longest legitimate reply, sent late at the 1200-baud pace
// or in pieces, is collected whole; the same text trickled out byte by byte
// never lets the line fall silent and is cut at the bound, not when it stops.
TEST_F(UnitExchange, ReplyTimeBound) {
  const std::string help = DETECTION_EXPECTED_RESPONSE;
  const std::string probe = std::string("%%") + DETECTION_PROBE_COMMAND + "\n\r";
  std::vector<Piece> at1200 = {{150, help.substr(0, 1)}};  // 1200 baud: 8.3 ms a byte
  for (size_t i = 1; i < help.size(); i++) at1200.push_back({8, help.substr(i, 1)});
  // Gaps well inside the 200 ms: a wake-up late by tens of ms on a loaded
  // machine must not make a silence the reader would rightly end on.
  std::vector<Piece> inPieces = {
      {150, help.substr(0, 9)}, {120, help.substr(9, 50)}, {120, help.substr(59)}};
  for (const std::vector<Piece> &answer : {at1200, inPieces}) {
    startUnit(probe.size(), answer);
    EXPECT_EQ(sendCommand(DETECTION_PROBE_COMMAND, FALSE, TRUE, help.c_str()), 1);
    EXPECT_EQ(unitReceived(), probe);
  }

  std::atomic<bool> stop(false);
  peer = std::thread([this, &stop, help, probe] {
    readFor(unit->master, probe.size(), 3000);
    for (size_t i = 0; i < 400 && !stop; i++) {  // 20 s of one byte every 50 ms
      writeAll(unit->master, help.substr(i % help.size(), 1));
      sleepMs(50);
    }
  });
  long long start = nowMs();
  EXPECT_EQ(sendCommand(DETECTION_PROBE_COMMAND, FALSE, TRUE, help.c_str()), 0);
  long long elapsed = nowMs() - start;
  stop = true;
  // Reads begin every 200 ms: the one begun at 1800 ms is the last.
  EXPECT_GE(elapsed, 1600);
  EXPECT_LT(elapsed, slackMs(5000));  // cut, not held to the trickle's end
}

}  // namespace
