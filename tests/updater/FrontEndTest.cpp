// The updater executable up to the update's first reply: console text, the
// CTS handshake around detection, and the exit status of a failed update (the
// manual dialogue and whole updates run in the end-to-end suite). Standard
// input is empty, so the final key wait returns at once.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "PtyPeer.h"
#include "updater/TessaranFwUpgrade.h"

TEST(FrontEndTest, DetectedUnitWhoseUpdateFailsEndsWithStatusOne) {
  PtyPeer peer({2});
  peer.start([](const PeerEvent &event) {
    // Found at 115200, then an FPGA this release has no image for.
    if (event.command == "%fw -v") return PeerReply{"1.0.4 XC7A50T 1.4 2\r\n>>"};
    return PeerReply{event.baud == 115200 ? DETECTION_EXPECTED_RESPONSE : ""};
  });

  FILE *updater = popen("timeout 30 '" UPDATER_EXECUTABLE "' </dev/null", "r");
  ASSERT_NE(updater, nullptr);
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, updater)) > 0) output.append(buffer, n);
  int status = pclose(updater);

  EXPECT_EQ(output,
            "\n\rYou are about to upload the firmware version 1.0.4"
            "\n\r\n\rDetecting COM port and Baud Rate..................OK\r\n"
            "COM PORT Number : 2"
            "\r\nBaud rate       : 115200 \r\n\r\n"
            "Checking firmware version ..............  1.00.04 \r\n"
            "Checking fpga version ..................  XC7A50T 1.04  device:2\r\n"
            "Checking product .......... FAILED, Unknown product\r\n"
            "\n\rERROR: The update was not successful.\r\n"
            "\r\nPress any key to exit");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);

  // Detection runs without the CTS handshake, the update with it.
  std::vector<PeerEvent> events = peer.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].command, DETECTION_PROBE_COMMAND);
  EXPECT_FALSE(events[0].ctsFlow);
  EXPECT_EQ(events[1].command, "%fw -v");
  EXPECT_TRUE(events[1].ctsFlow);
}
