// sendCommand and sendData over a pseudo-terminal, with the test playing the
// unit on the master side.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "PtyFixture.h"
#include "TessaranFwUpgrade.h"

namespace {

// One piece of the unit's answer, sent after a pause.
struct Piece {
  int pauseMs;
  std::string bytes;
};

class UnitExchange : public PtyTest {
 protected:
  void SetUp() override {
    PtyTest::SetUp();
    savedDataBuffer = gDataBuffer;
    gDataBuffer = (char *)calloc(DATA_BUFFER_SIZE, 1);
    unit = &addPort(1);
    ComPortAPI_SetHardwareFlowControl(FALSE);
    ComPortAPI_SetBaudRate(115200);
    ComPortAPI_SetReadingTimeoutInMs(200);
    StdoutCapture quiet;
    ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  }
  void TearDown() override {
    if (peer.joinable()) peer.join();
    PtyTest::TearDown();
    free(gDataBuffer);
    gDataBuffer = savedDataBuffer;
  }
  // The unit: takes `expectBytes` bytes, then answers with the pieces.
  void startUnit(size_t expectBytes, std::vector<Piece> answer) {
    peer = std::thread([this, expectBytes, answer] {
      received = readBytes(unit->master, expectBytes, 10000);
      for (const Piece &p : answer) {
        sleepMs(p.pauseMs);
        writeAll(unit->master, p.bytes);
      }
    });
  }
  std::string finishUnit() {
    peer.join();
    return received;
  }

  PtyPort *unit = nullptr;
  std::thread peer;
  std::string received;
  char *savedDataBuffer = nullptr;
};

TEST_F(UnitExchange, CommandFramingOnTheWire) {
  EXPECT_EQ(sendCommand("%fw -v", FALSE, FALSE, NULL), 1);
  EXPECT_EQ(readBytes(unit->master, 10, 2000),
            std::string("\x25\x25\x25\x66\x77\x20\x2D\x76\x0A\x0D", 10));
  EXPECT_EQ(sendCommand("ver", TRUE, FALSE, NULL), 1);
  EXPECT_EQ(readBytes(unit->master, 5, 2000), "ver\n\r");
  // No read without an expected text: the answer waits for the caller.
  writeAll(unit->master, "1.0.3 A7 2.1 1");
  sleepMs(50);
  char piece[64] = {0};
  int count = 0;
  ComPortAPI_ReadCOM(piece, sizeof piece - 1, &count);
  EXPECT_EQ(std::string(piece, count), "1.0.3 A7 2.1 1");
}

TEST_F(UnitExchange, ReplyCollectionAndComparison) {
  struct Case {
    const char *what;
    std::vector<Piece> answer;
    BOOL validate;
    const char *expected;
    BOOL result;
    std::string leftOver;  // what the next read finds
  } cases[] = {
      {"one piece", {{0, "Ready"}}, TRUE, "Ready", 1, ""},
      {"pieces with short pauses", {{0, "Re"}, {80, "ad"}, {80, "y"}}, TRUE, "Ready", 1, ""},
      {"extra line end", {{0, "Ready\r\n"}}, TRUE, "Ready", 0, ""},
      {"missing prompt", {{0, "SUCCESS\r\n"}}, TRUE, "SUCCESS\r\n>>", 0, ""},
      {"long pause splits", {{0, "Rea"}, {600, "dy"}}, TRUE, "Rea", 1, "dy"},
      // Each read lasts the 200 ms total: "dy" comes in the second read.
      {"NUL ends a piece only", {{0, std::string("Rea\0zz", 6)}, {300, "dy"}}, TRUE, "Ready", 1, ""},
      {"NUL in the same read", {{0, std::string("Rea\0zz", 6)}, {50, "dy"}}, TRUE, "Rea", 1, ""},
      {"silence matches empty", {}, TRUE, "", 1, ""},
      {"silence", {}, TRUE, "Ready", 0, ""},
      {"not validated", {{0, "garbage"}}, FALSE, "Ready", 1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    startUnit(10, c.answer);  // "%%%fw -p\n\r"
    EXPECT_EQ(sendCommand("%fw -p", FALSE, c.validate, c.expected), c.result);
    EXPECT_EQ(finishUnit(), "%%%fw -p\n\r");
    if (!c.leftOver.empty()) {
      sleepMs(400);
      char rest[16] = {0};
      int count = 0;
      ComPortAPI_ReadCOM(rest, sizeof rest - 1, &count);
      EXPECT_EQ(std::string(rest, count), c.leftOver);
    }
  }
}

std::string pattern(int length) {
  std::string data((size_t)length, '\0');
  for (int i = 0; i < length; i++) data[(size_t)i] = (char)(i * 31 + i / 256);
  return data;
}

TEST_F(UnitExchange, DataStreamAndPercentages) {
  struct Case {
    int length;
    const char *console;
  } cases[] = {
      {10240, "1%\b\b100%"},
      {10241, "1%\b\b99%\b\b\b100%"},
      {20480, "1%\b\b50%\b\b\b100%"},
      {25000, "1%\b\b40%\b\b\b81%\b\b\b100%"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.length);
    std::string data = pattern(c.length);
    startUnit(data.size(), {{0, "SUCCESS"}});
    StdoutCapture out;
    BOOL result = sendData((const uint8_t *)data.data(), c.length, TRUE, "SUCCESS");
    EXPECT_EQ(out.finish(), c.console);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(finishUnit() == data);
  }
  {  // Nothing to send: no write, no read.
    StdoutCapture out;
    long long start = nowMs();
    EXPECT_EQ(sendData((const uint8_t *)"", 0, TRUE, "SUCCESS"), 1);
    EXPECT_LT(nowMs() - start, 150);
    EXPECT_EQ(out.finish(), "1%");
    EXPECT_EQ(readUntilSilent(unit->master, 100), "");
  }
}

TEST_F(UnitExchange, DataReplyMismatchAndNoExpectedText) {
  std::string data = pattern(300);
  startUnit(data.size(), {{0, "FAIL\r\n"}});
  StdoutCapture out;
  EXPECT_EQ(sendData((const uint8_t *)data.data(), 300, TRUE, "SUCCESS"), 0);
  EXPECT_EQ(out.finish(),
            "1%\b\b100%\r\nExpected : SUCCESS  received : FAIL\r\n\r\n"
            "\r\nError: Expected response did  not matched !\r\n");
  finishUnit();

  // Without an expected text, sendData returns right after the last write,
  // even under a long timeout.
  ComPortAPI_SetReadingTimeoutInMs(3000);
  startUnit(data.size(), {{0, "SUCCESS"}});
  StdoutCapture quiet;
  long long start = nowMs();
  EXPECT_EQ(sendData((const uint8_t *)data.data(), 300, TRUE, NULL), 1);
  EXPECT_LT(nowMs() - start, 1500);
  quiet.finish();
  finishUnit();
}

// The unit goes away in the middle of its reply: the collection ends at once
// with what came, and the next command reports the failed write.
TEST_F(UnitExchange, HangUpInTheMiddleOfAReply) {
  ComPortAPI_SetReadingTimeoutInMs(3000);
  peer = std::thread([this] {
    readBytes(unit->master, 10, 5000);
    writeAll(unit->master, "Rea");
    sleepMs(100);
    hangUp(*unit);
  });
  long long start = nowMs();
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, "Ready"), 0);
  EXPECT_LT(nowMs() - start, 2500);
  peer.join();
  StdoutCapture out;
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, "Ready"), 0);
  EXPECT_EQ(out.finish(), "\r\nError occurred when sending data !\r\n");
}

// A unit that never stops talking: collection stops after a buffer's worth,
// and the reply counts as a mismatch.
TEST_F(UnitExchange, EndlessReplyIsCut) {
  std::atomic<bool> stop(false);
  for (BOOL validate : {TRUE, FALSE}) {
    stop = false;
    peer = std::thread([this, &stop] {
      readBytes(unit->master, 10, 5000);
      fcntl(unit->master, F_SETFL, fcntl(unit->master, F_GETFL) | O_NONBLOCK);
      std::string chunk(4096, 'A');
      while (!stop) {
        struct pollfd pfd = {unit->master, POLLOUT, 0};
        if (poll(&pfd, 1, 50) > 0) (void)!write(unit->master, chunk.data(), chunk.size());
      }
    });
    long long start = nowMs();
    EXPECT_EQ(sendCommand("%fw -p", FALSE, validate, "A"), validate ? 0 : 1);
    stop = true;
    peer.join();
    EXPECT_LT(nowMs() - start, 30000);
    readUntilSilent(unit->master, 50);
    PurgeComm(g_hCOM, 0x0F);
  }
}

// A reply of exactly one buffer's worth is still whole; one byte more is cut.
TEST_F(UnitExchange, LongestReplyThatFits) {
  std::string longest((size_t)READ_CHUNK_SIZE, 'B');
  startUnit(10, {{0, longest}});
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, longest.c_str()), 1);
  finishUnit();
  startUnit(10, {{0, longest + "B"}});
  EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, longest.c_str()), 0);
  finishUnit();
}

}  // namespace
