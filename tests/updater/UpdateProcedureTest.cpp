// The update procedure against a scripted unit on a pseudo-terminal (COM1).
// None of these runs reach the reboot wait: each unit stops answering (or
// hangs up) before its second image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PtyPeer.h"
#include "serial/ComPortAPI.h"
#include "serial/UpdateProgress.h"
#include "updater/TessaranFwUpgrade.h"

namespace {

const std::string kTx = VALIDATE_TX_PRODUCT_ID_STRING;
const std::string kRx = VALIDATE_RX_PRODUCT_ID_STRING;
const std::string kGoodVersionReply = "1.0.4 XC7A35T 1.4 1\r\n>>";
const std::string kGoodVersionLines =
    "Checking firmware version ..............  1.00.04 \r\n"
    "Checking fpga version ..................  XC7A35T 1.04  device:1\r\n";
const std::string kProductCheck = "Checking product .......... ";

bool startsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string announce(const char *prefix, const ImageFigures &image) {
  return std::string(prefix) + std::to_string(0u - image.sum) + " " + std::to_string(image.length);
}

// The state the front end leaves before the update: buffers ready, COM1 open
// at the unit's rate, CTS handshake on.
class UpdateFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(allocateWorkingBuffers()); }
  void TearDown() override {
    if (opened) ComPortAPI_CloseCOM();
    releaseWorkingBuffers();
  }
  void openUnitAt(int rate) {
    ComPortAPI_SetHardwareFlowControl(FALSE);
    ComPortAPI_SetBaudRate(rate);
    ASSERT_TRUE(ComPortAPI_OpenCOM(1));
    opened = true;
    ComPortAPI_SetHardwareFlowControl(TRUE);
    gComPortNumber = 1;
    gBaudRate = rate;
  }
  // Runs the update and gives what it printed.
  std::string runUpdate(BOOL *result) {
    StdoutCapture capture;
    *result = updateFirmware();
    return capture.finish();
  }
  bool opened = false;
};

}  // namespace

// ---- Version reply ------------------------------------------------------------

struct VersionCase {
  const char *name;
  std::string reply;
  std::string versionLines;  // printed before "Checking product"
  bool productAccepted;      // device code 1 found: identification follows
};

class VersionReplyTest : public UpdateFixture, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionReplyTest, LinesAndProductCheck) {
  const VersionCase &c = GetParam();
  PtyPeer peer({1});
  peer.start([&](const PeerEvent &event) {
    if (event.command == "%fw -v") return PeerReply{c.reply};
    return PeerReply{"", true};  // stop at identification
  });
  openUnitAt(9600);

  BOOL result = TRUE;
  std::string printed = runUpdate(&result);
  EXPECT_FALSE(result);

  if (c.productAccepted) {
    EXPECT_TRUE(startsWith(printed, c.versionLines + kProductCheck)) << printed;
    EXPECT_TRUE(peer.waitForCommand(1, "%fw -p"));
  } else {
    EXPECT_EQ(printed, c.versionLines + kProductCheck + "FAILED, Unknown product\r\n");
    EXPECT_EQ(peer.commands(), std::vector<std::string>{"%fw -v"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, VersionReplyTest,
    ::testing::Values(
        VersionCase{"Complete", kGoodVersionReply, kGoodVersionLines, true},
        VersionCase{"FamilyWordOverSevenCharactersIsCutAndTheRestStillParses",
                    "1.0.4 XC7A35TQ-FGG484 1.4 1\r\n>>", kGoodVersionLines, true},
        VersionCase{"LineBreaksCountAsSpaces", "1.0.4\r\nXC7A35T\n1.4\r1\r\n>>", kGoodVersionLines,
                    true},
        VersionCase{"TextAfterTheSeventhFieldIsIgnored", "12.3.45 XC7A35T 2.10 1 build 77\r\n>>",
                    "Checking firmware version ..............  12.03.45 \r\n"
                    "Checking fpga version ..................  XC7A35T 2.10  device:1\r\n",
                    true},
        VersionCase{"SixFields", "1.0.4 XC7A35T 1.4\r\n>>", "", false},
        VersionCase{"DeviceCode2", "1.0.4 XC7A50T 1.4 2\r\n>>",
                    "Checking firmware version ..............  1.00.04 \r\n"
                    "Checking fpga version ..................  XC7A50T 1.04  device:2\r\n",
                    false},
        VersionCase{"Silent", "", "", false}),
    [](const ::testing::TestParamInfo<VersionCase> &info) { return std::string(info.param.name); });

// ---- Identification and the first announce ---------------------------------------

struct IdentificationCase {
  const char *name;
  std::string productReply;   // the unit's answer to every "%fw -p"
  std::string printedAfterCheck;
  size_t productQueries;      // "%fw -p" sent
  int imageIndex;             // FPGA image announced, -1 for none
};

class IdentificationTest : public UpdateFixture,
                           public ::testing::WithParamInterface<IdentificationCase> {};

TEST_P(IdentificationTest, PicksTheImageOfTheUnitType) {
  const IdentificationCase &c = GetParam();
  PtyPeer peer({1});
  peer.start([&](const PeerEvent &event) {
    if (event.command == "%fw -v") return PeerReply{kGoodVersionReply};
    if (event.command == "%fw -p") return PeerReply{c.productReply};
    return PeerReply{"", true};  // unplugged at the announce
  });
  openUnitAt(57600);

  BOOL result = TRUE;
  std::string printed = runUpdate(&result);
  EXPECT_FALSE(result);
  EXPECT_EQ(printed, kGoodVersionLines + kProductCheck + c.printedAfterCheck);

  std::vector<std::string> expected{"%fw -v"};
  expected.insert(expected.end(), c.productQueries, "%fw -p");
  if (c.imageIndex >= 0) {
    ASSERT_NE(gHexFPGA_Code, nullptr);
    expected.push_back(announce("%fw -l ", assembledImageFigures(c.imageIndex)));
    ASSERT_TRUE(peer.waitForCommand(1, expected.back()));
  } else {
    EXPECT_EQ(gHexFPGA_Code, nullptr);
  }
  EXPECT_EQ(peer.commands(), expected);
  for (const PeerEvent &event : peer.events()) EXPECT_EQ(event.baud, 57600) << event.command;
}

const std::string kNotReady =
    "Preparing to Upload Programmable Logic ............ FAILED [Unit not ready]\r\n";
INSTANTIATE_TEST_SUITE_P(
    Units, IdentificationTest,
    ::testing::Values(
        IdentificationCase{"TxUnit", kTx, "TX OK\r\n" + kTx + "\r\n" + kNotReady, 1, 1},
        IdentificationCase{"RxUnitIsAskedTwice", kRx, "RX OK\r\n" + kRx + "\r\n" + kNotReady, 2, 2},
        IdentificationCase{"ExtraCarriageReturnMatchesNeither", kTx + "\r", "FAILED\r\n", 2, -1}),
    [](const ::testing::TestParamInfo<IdentificationCase> &info) {
      return std::string(info.param.name);
    });

// ---- Both announces and the first stream -------------------------------------------

using UpdateProcedureLongTest = UpdateFixture;

TEST_F(UpdateProcedureLongTest, ImagesGoAt115200WhileTheConsoleRateServesTheCommands) {
  const ImageFigures logic = assembledImageFigures(1);
  const ImageFigures firmware = assembledImageFigures(0);
  ASSERT_GT(logic.length, 0);
  ASSERT_GT(firmware.length, 0);

  PtyPeer peer({1});
  peer.start([&](const PeerEvent &event) {
    if (event.command == "%fw -v") return PeerReply{kGoodVersionReply};
    if (event.command == "%fw -p") return PeerReply{kTx};
    if (startsWith(event.command, "%fw -l ")) return PeerReply{"Ready", false, (uint32_t)logic.length};
    if (event.isData) return PeerReply{"SUCCESS"};
    return PeerReply{"", true};  // unplugged at the second announce
  });
  openUnitAt(9600);

  // What a progress listener hears: steps, facts and the stream's last percentage.
  std::vector<std::string> heard;
  UpdateListener record = [](const UpdateEvent *event, void *context) {
    auto *lines = static_cast<std::vector<std::string> *>(context);
    if (event->kind == UPDATE_EVENT_STEP) lines->push_back(updateProgress_stepName(event->step));
    if (event->kind == UPDATE_EVENT_FACT) lines->push_back(std::string(event->key) + "=" + event->value);
    if (event->kind == UPDATE_EVENT_PERCENT && event->percent == 100) lines->push_back("100%");
  };
  updateProgress_reset();
  ASSERT_TRUE(updateProgress_addListener(record, &heard));

  BOOL result = TRUE;
  std::string printed = runUpdate(&result);
  updateProgress_removeListener(record, &heard);
  EXPECT_FALSE(result);
  const std::vector<std::string> expectedHeard = {
      "checking", "firmware=1.0.4", "fpga_family=XC7A35T", "fpga_version=1.4",
      "fpga_device=1", "type=TX", "sending logic", "100%", "sending firmware",
      "message=unit not ready for the microcontroller image", "failed"};
  EXPECT_EQ(heard, expectedHeard);

  const std::string before = kGoodVersionLines + kProductCheck + "TX OK\r\n" + kTx + "\r\n" +
                             "Preparing to Upload Programmable Logic ............ OK\r\n"
                             "Sending Programmable Logic data ................... 1%";
  const std::string after =
      "100%OK\r\nPreparing to Upload Firmware ...................... FAILED [Unit not ready]\r\n";
  EXPECT_TRUE(startsWith(printed, before)) << printed;
  ASSERT_GE(printed.size(), after.size());
  EXPECT_EQ(printed.substr(printed.size() - after.size()), after);

  ASSERT_TRUE(peer.waitForCommand(1, announce("%fw -h ", firmware)));
  std::vector<PeerEvent> events = peer.events();
  ASSERT_EQ(events.size(), 5u);
  const struct {
    std::string command;
    int baud;
  } expected[] = {{"%fw -v", 9600},
                  {"%fw -p", 9600},
                  {announce("%fw -l ", logic), 9600},
                  {"", 115200},  // the FPGA image
                  {announce("%fw -h ", firmware), 115200}};
  for (size_t k = 0; k < events.size(); k++) {
    SCOPED_TRACE(k);
    EXPECT_EQ(events[k].command, expected[k].command);
    EXPECT_EQ(events[k].baud, expected[k].baud);
    EXPECT_TRUE(events[k].ctsFlow);
  }
  EXPECT_TRUE(events[3].isData);
  EXPECT_EQ(events[3].dataLength, (uint32_t)logic.length);
  EXPECT_EQ(events[3].dataSum, logic.sum);

  // A failure after the first stream leaves the line at 115200.
  EXPECT_EQ(g_dcb.BaudRate, 115200u);
  EXPECT_EQ(g_cto.ReadIntervalTimeout, 5000u);
}
