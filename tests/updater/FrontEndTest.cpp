// The updater executable end to end up to the update's first reply: console
// text, the manual dialogue, the CTS handshake around detection and the exit
// status. Standard input is a pipe, so the final key wait reads from it.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "PtyPeer.h"
#include "TessaranFwUpgrade.h"

namespace {

struct RunResult {
  int status = -1000;  // exit status as main returned it (-1 stays -1)
  std::string output;
};

// Runs the updater with `input` on its standard input and collects its output.
RunResult runUpdater(const std::string &input, int timeoutSeconds) {
  RunResult result;
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return result;
  signal(SIGPIPE, SIG_IGN);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close(toChild[0]);
    close(toChild[1]);
    close(fromChild[0]);
    close(fromChild[1]);
    execl(UPDATER_EXECUTABLE, UPDATER_EXECUTABLE, (char *)NULL);
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  if (!input.empty() && write(toChild[1], input.data(), input.size()) < 0) {
    ADD_FAILURE() << "could not feed the updater";
  }
  close(toChild[1]);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "the updater did not end in " << timeoutSeconds << " s";
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd fd = {fromChild[0], POLLIN, 0};
    if (poll(&fd, 1, (int)left.count()) <= 0) continue;
    ssize_t n = read(fromChild[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.output.append(buffer, (size_t)n);
  }
  close(fromChild[0]);

  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.status = (signed char)WEXITSTATUS(status);
  return result;
}

const std::string kStart =
    "\n\rYou are about to upload the firmware version 1.0.4"
    "\n\r\n\rDetecting COM port and Baud Rate..................";
const std::string kUnknownProduct =
    "Checking firmware version ..............  1.00.04 \r\n"
    "Checking fpga version ..................  XC7A50T 1.04  device:2\r\n"
    "Checking product .......... FAILED, Unknown product\r\n";
const std::string kUpdateFailedEnd =
    "\n\rERROR: The update was not successful.\r\n"
    "\r\nPress any key to exit";

// A unit that answers the version query with an FPGA we have no image for.
PeerReply wrongDeviceUnit(const PeerEvent &event, int consoleRate) {
  if (event.command == DETECTION_PROBE_COMMAND && event.baud == consoleRate) {
    return PeerReply{DETECTION_EXPECTED_RESPONSE};
  }
  if (event.command == "%fw -v") return PeerReply{"1.0.4 XC7A50T 1.4 2\r\n>>"};
  return PeerReply{};
}

}  // namespace

TEST(FrontEndTest, ManualPortThatDoesNotExistEndsWithMinusOne) {
  PtyPeer noPorts({});
  RunResult run = runUpdater("7\n", 20);
  EXPECT_EQ(run.output, kStart +
                            "FAILED"
                            "\n\r\n\rEnter the COM port number : "
                            "\r\nOpening COM7...................."
                            "ERROR: Opening COM7 failed !"
                            "\r\nPress any key to exit");
  EXPECT_EQ(run.status, -1);
}

TEST(FrontEndTest, DetectedUnitWhoseUpdateFailsEndsWithStatusOne) {
  PtyPeer peer({2});
  peer.start([](const PeerEvent &event) { return wrongDeviceUnit(event, 115200); });
  RunResult run = runUpdater("", 30);

  EXPECT_EQ(run.output, kStart +
                            "OK\r\n"
                            "COM PORT Number : 2"
                            "\r\nBaud rate       : 115200 \r\n\r\n" +
                            kUnknownProduct + kUpdateFailedEnd);
  EXPECT_EQ(run.status, 1);

  // Detection runs without the CTS handshake, the update with it.
  std::vector<PeerEvent> events = peer.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].command, DETECTION_PROBE_COMMAND);
  EXPECT_FALSE(events[0].ctsFlow);
  EXPECT_EQ(events[1].command, "%fw -v");
  EXPECT_TRUE(events[1].ctsFlow);
}

// COM3 exists but stays silent during detection (six seconds of probes).
TEST(FrontEndLongTest, ManualPortAndRateAreUsedForTheUpdate) {
  PtyPeer peer({3});
  peer.start([](const PeerEvent &event) {
    if (event.command == "%fw -v" && event.baud == 4800) return PeerReply{"1.0.4 XC7A50T 1.4 2\r\n>>"};
    return PeerReply{};
  });
  RunResult run = runUpdater("3\n4800\n", 60);

  EXPECT_EQ(run.output, kStart +
                            "FAILED"
                            "\n\r\n\rEnter the COM port number : "
                            "\r\nOpening COM3...................."
                            "OK\r\n"
                            "\n\r\n\rEnter the BAUD RATE       : "
                            "\r\nSetting baud rate at 4800.........."
                            "OK\r\n" +
                            kUnknownProduct + kUpdateFailedEnd);
  EXPECT_EQ(run.status, 1);

  std::vector<PeerEvent> events = peer.events();
  ASSERT_EQ(events.size(), 13u);
  for (size_t k = 0; k < 12; k++) EXPECT_FALSE(events[k].ctsFlow) << k;
  EXPECT_EQ(events[12].command, "%fw -v");
  EXPECT_EQ(events[12].baud, 4800);
  EXPECT_TRUE(events[12].ctsFlow);
}

TEST(FrontEndLongTest, ManualRateThatCannotBeSetEndsWithMinusOne) {
  PtyPeer peer({3});
  peer.start([](const PeerEvent &) { return PeerReply{}; });
  RunResult run = runUpdater("3\n12345\n", 60);

  EXPECT_EQ(run.output, kStart +
                            "FAILED"
                            "\n\r\n\rEnter the COM port number : "
                            "\r\nOpening COM3...................."
                            "OK\r\n"
                            "\n\r\n\rEnter the BAUD RATE       : "
                            "\r\nSetting baud rate at 12345.........."
                            "\r\nPress any key to exit");
  EXPECT_EQ(run.status, -1);
}
