// Detection against scripted units on pseudo-terminals.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "../TestTiming.h"
#include "PtyPeer.h"
#include "serial/ComPortAPI.h"
#include "updater/TessaranFwUpgrade.h"

namespace {

const int kRates[] = {115200, 9600, 57600, 4800, 2400, 1200};

// The start-up state detection expects: buffers, no port open, the CTS
// handshake off and the initial 500 ms read timeout in the driver's records.
class DetectionFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(allocateWorkingBuffers());
    ComPortAPI_SetHardwareFlowControl(FALSE);
    ComPortAPI_SetReadingTimeoutInMs(MAX_WAIT_READ);
  }
  void TearDown() override {
    if (portLeftOpen) ComPortAPI_CloseCOM();
    releaseWorkingBuffers();
  }
  bool portLeftOpen = false;
};

struct Probe {
  int port;
  int baud;
  bool operator==(const Probe &o) const { return port == o.port && baud == o.baud; }
};
std::ostream &operator<<(std::ostream &out, const Probe &p) {
  return out << "COM" << p.port << "@" << p.baud;
}

std::vector<Probe> probesSeen(PtyPeer &peer) {
  std::vector<Probe> probes;
  for (const PeerEvent &event : peer.events()) {
    EXPECT_EQ(event.command, DETECTION_PROBE_COMMAND);
    EXPECT_FALSE(event.ctsFlow) << "a probe ran under the CTS handshake";
    probes.push_back({event.port, event.baud});
  }
  return probes;
}

}  // namespace

using DetectionTest = DetectionFixture;
using DetectionLongTest = DetectionFixture;

TEST_F(DetectionTest, NoPortsGivesFalseAtOnceAndSilently) {
  // Only COM33 exists, and it would answer: detection never looks that far.
  PtyPeer peer({33});
  peer.start([](const PeerEvent &) { return PeerReply{DETECTION_EXPECTED_RESPONSE}; });

  StdoutCapture capture;
  auto start = std::chrono::steady_clock::now();
  BOOL found = detectComPortAndBaudrate();
  auto elapsed = std::chrono::steady_clock::now() - start;
  std::string printed = capture.finish();

  EXPECT_FALSE(found);
  EXPECT_EQ(printed, "");
  EXPECT_LT(elapsed, std::chrono::milliseconds(slackMs(1000)));
  EXPECT_TRUE(peer.events().empty());
}

TEST_F(DetectionLongTest, UnitOnCom5At57600IsFoundAfterEveryRateOfTheSilentPorts) {
  PtyPeer peer({1, 2, 3, 4, 5});
  peer.start([](const PeerEvent &event) {
    if (event.port == 5 && event.baud == 57600) return PeerReply{DETECTION_EXPECTED_RESPONSE};
    return PeerReply{};
  });

  StdoutCapture capture;
  BOOL found = detectComPortAndBaudrate();
  std::string printed = capture.finish();
  portLeftOpen = found;

  ASSERT_TRUE(found);
  EXPECT_EQ(gComPortNumber, 5);
  EXPECT_EQ(gBaudRate, 57600);
  EXPECT_EQ(g_dcb.BaudRate, 57600u);
  EXPECT_EQ(printed, "");

  // Each silent port is asked twice at every rate, in table order; COM5
  // twice at 115200 and 9600, and once at 57600.
  std::vector<Probe> expected;
  for (int port = 1; port <= 4; port++) {
    for (int rate : kRates) expected.insert(expected.end(), 2, Probe{port, rate});
  }
  expected.insert(expected.end(), 2, Probe{5, 115200});
  expected.insert(expected.end(), 2, Probe{5, 9600});
  expected.push_back({5, 57600});
  EXPECT_EQ(probesSeen(peer), expected);

  // COM5 is still open: a command reaches the unit there.
  EXPECT_TRUE(sendCommand("still there", FALSE, FALSE, NULL));
  EXPECT_TRUE(peer.waitForCommand(5, "still there"));
}

// A unit on COM3 whose answers at 115200 are given per attempt and which
// answers correctly at 9600.
struct AnswerCase {
  const char *name;
  std::vector<std::string> answersAt115200;
  int expectedRate;
  size_t expectedProbes;
};

class DetectionAnswerTest : public DetectionFixture,
                            public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(DetectionAnswerTest, OnlyTheExactHelpTextCounts) {
  const AnswerCase &c = GetParam();
  size_t attempt = 0;  // outlives the peer thread that counts with it
  PtyPeer peer({3});
  peer.start([&](const PeerEvent &event) {
    if (event.baud == 9600) return PeerReply{DETECTION_EXPECTED_RESPONSE};
    if (event.baud != 115200) return PeerReply{};
    const std::string &answer = c.answersAt115200[std::min(attempt, c.answersAt115200.size() - 1)];
    attempt++;
    return PeerReply{answer};
  });

  BOOL found = detectComPortAndBaudrate();
  portLeftOpen = found;
  ASSERT_TRUE(found);
  EXPECT_EQ(gComPortNumber, 3);
  EXPECT_EQ(gBaudRate, c.expectedRate);
  EXPECT_EQ(probesSeen(peer).size(), c.expectedProbes);
}

const std::string kHelp = DETECTION_EXPECTED_RESPONSE;
INSTANTIATE_TEST_SUITE_P(
    Answers, DetectionAnswerTest,
    ::testing::Values(
        AnswerCase{"WrongFirstRightSecond", {"version\n\r garbage", kHelp}, 115200, 2},
        AnswerCase{"NoPrompt", {kHelp.substr(0, kHelp.size() - 2)}, 9600, 3},
        AnswerCase{"TextAfterPrompt", {kHelp + "\r\n"}, 9600, 3}),
    [](const ::testing::TestParamInfo<AnswerCase> &info) { return std::string(info.param.name); });
