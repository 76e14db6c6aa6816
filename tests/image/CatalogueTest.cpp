// The embedded release, and the image command that writes its flat images.
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "ToolCommands.h"
#include "firmware/BinImage.h"
#include "updater/ReleaseSummary.h"

static const struct {
  const char *name;
  int textLength, records, dataRecords, addressRecords, imageLength;
  uint32_t checkSum;
} kRelease[3] = {
    {"M482619_MCU_6G-SDI_61_1_04.hex", 237718, 5286, 5282, 2, 117652, 4275765850u},
    {"M482619_TX_XC7A35_1_04.mcs", 2703259, 60083, 60067, 15, 961060, 4172357864u},
    {"M482619_RX_XC7A35_1_04.mcs", 3103396, 68976, 68958, 17, 1103320, 4154370766u},
};

static std::string embeddedText(int entry) {
  return std::string(AUTOGEN_FILES[entry].fileData, (size_t)AUTOGEN_FILES[entry].fileDataLength);
}

class EmbeddedRelease : public ImageBufferTest {};

TEST_F(EmbeddedRelease, CatalogueTextsAndImages) {
  EXPECT_EQ(sizeof M482619_MCU_6G_SDI_61_1_04_hex, 237719u);
  EXPECT_EQ(sizeof M482619_TX_XC7A35_1_04_mcs, 2703260u);
  EXPECT_EQ(sizeof M482619_RX_XC7A35_1_04_mcs, 3103397u);
  for (int entry = 0; entry < 3; entry++) {
    const autogen_files &file = AUTOGEN_FILES[entry];
    SCOPED_TRACE(kRelease[entry].name);
    EXPECT_STREQ(file.filePath, kRelease[entry].name);
    EXPECT_EQ(file.filePathLength, (signed char)strlen(file.filePath));
    EXPECT_EQ(file.fileDataLength, kRelease[entry].textLength);
    EXPECT_EQ(strlen(file.fileData), (size_t)file.fileDataLength) << "the NUL comes right after the text";

    // Records, each ended by CR LF.
    const std::string text = embeddedText(entry);
    int records = 0, data = 0, address = 0;
    for (size_t at = 0; at < text.size(); at = text.find("\r\n", at) + 2, records++) {
      ASSERT_EQ(text[at], ':');
      data += text.compare(at + 7, 2, "00") == 0;
      address += text.compare(at + 7, 2, "04") == 0;
    }
    EXPECT_EQ(records, kRelease[entry].records);
    EXPECT_EQ(data, kRelease[entry].dataRecords);
    EXPECT_EQ(address, kRelease[entry].addressRecords);

    // A heap copy assembles; assembling the same, now cut, copy again sees
    // only its first record, an address record.
    ExactCopy copy(text);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ValidateFwAndConcatenateData(copy.text), 1);
    EXPECT_EQ(gDataConcatenatedLenght, kRelease[entry].imageLength);
    uint32_t sum = 0;
    for (int k = 0; k < gDataConcatenatedLenght; k++) sum += gDataConcatenated[k];
    EXPECT_EQ(sum + imageCheckSum(gDataConcatenated, gDataConcatenatedLenght), 0u);
    EXPECT_EQ(imageCheckSum(gDataConcatenated, gDataConcatenatedLenght), kRelease[entry].checkSum);
    EXPECT_NE(sum, 0xFFu * (uint32_t)gDataConcatenatedLenght) << "not all fill";
    EXPECT_EQ(ValidateFwAndConcatenateData(copy.text), 1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(gDataConcatenatedLenght, 0);
  }
}

// --version and the trace: the build's figures, without working buffer or assembly.
TEST(EmbeddedReleaseSummary, FiguresWithoutAssembly) {
  ReleaseImage im[RELEASE_IMAGE_COUNT];
  ASSERT_TRUE(gDataConcatenated == nullptr && summarizeEmbeddedRelease(im));
  for (int e = 0; e < RELEASE_IMAGE_COUNT; e++)
    EXPECT_EQ(
        std::make_tuple(std::string(im[e].name), im[e].valid, im[e].flatLength, im[e].checkSum),
        std::make_tuple(std::string(kRelease[e].name), TRUE, kRelease[e].imageLength,
                        kRelease[e].checkSum));
}

// ---- TessaranFwTool image -------------------------------------------------

static std::string tempPath(const char *name) {
  return (std::filesystem::temp_directory_path() / (std::string("image_tests_") + name)).string();
}

static std::vector<uint8_t> readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

static int runImage(std::vector<std::string> args, std::string *printed) {
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int status = runToolCommand("image", (int)argv.size(), argv.data());
  *printed = ::testing::internal::GetCapturedStdout();
  *printed += ::testing::internal::GetCapturedStderr();
  return status;
}

TEST(ImageCommand, WritesTheFlatImageOrSaysWhyNot) {
  const std::string out = tempPath("out.bin"), rx = tempPath("rx.mcs"), bad = tempPath("bad.hex"),
                    nul = tempPath("nul.hex");
  std::ofstream(rx, std::ios::binary) << embeddedText(2);
  std::ofstream(bad, std::ios::binary) << ":0200000480007B\r\n";
  std::ofstream(nul, std::ios::binary) << std::string(":00000001FF\r\n\0", 14);
  std::string printed;

  ASSERT_EQ(runImage({"--entry", "2", "-o", out}, &printed), 0) << printed;
  const std::vector<uint8_t> image = readFile(out);
  uint32_t sum = 0;
  for (uint8_t b : image) sum += b;
  EXPECT_EQ(printed, "M482619_RX_XC7A35_1_04.mcs: image length 1103320 bytes, checksum " +
                         std::to_string(0u - sum) + "\n");
  EXPECT_EQ(image.size(), 1103320u);
  ASSERT_EQ(runImage({rx, "-o", out}, &printed), 0) << printed;
  EXPECT_EQ(readFile(out), image) << "the same text from a file";
  ASSERT_EQ(runImage({"-o", out, "--entry", "0"}, &printed), 0);
  const std::vector<uint8_t> mcu = readFile(out);
  EXPECT_EQ(mcu.size(), 117652u);
  EXPECT_EQ(std::count(mcu.begin(), mcu.begin() + 0x8000, 0xFF), 0x8000) << "leading fill kept";
  EXPECT_EQ(gDataConcatenated, nullptr) << "the command releases its own buffer";
  std::filesystem::remove(out);

  const struct {
    std::vector<std::string> args;
    int status;
    std::string printed;
  } failures[] = {
      {{"--entry", "1"}, 2, "Usage"},
      {{"--entry", "3", "-o", out}, 2, "--entry takes 0, 1 or 2"},
      {{"--entry", "1", bad, "-o", out}, 2, "Usage"},
      {{tempPath("missing.hex"), "-o", out}, 1, "cannot open"},
      {{bad, "-o", out}, 1, ":1: not a valid Intel HEX record:\n:0200000480007B\n"},
      {{nul, "-o", out}, 1, "holds a NUL byte"},
  };
  for (const auto &f : failures) {
    EXPECT_EQ(runImage(f.args, &printed), f.status) << printed;
    EXPECT_NE(printed.find(f.printed), std::string::npos) << printed;
  }
  EXPECT_FALSE(std::filesystem::exists(out)) << "no image after a failure";
  for (const std::string &path : {rx, bad, nul}) std::filesystem::remove(path);
}
