// The embedded release and the image command that writes its flat images.
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "ToolCommands.h"
#include "firmware/BinImage.h"

namespace {

struct ReleaseShape {
  const char *name;
  int textLength;
  size_t arraySize;
  int records;
  int dataRecords;
  int addressRecords;
  int imageLength;
};

// The release carried by this updater, entry by entry.
const ReleaseShape kRelease[3] = {
    {"M482619_MCU_6G-SDI_61_1_04.hex", 237718, sizeof M482619_MCU_6G_SDI_61_1_04_hex, 5286, 5282, 2,
     117652},
    {"M482619_TX_XC7A35_1_04.mcs", 2703259, sizeof M482619_TX_XC7A35_1_04_mcs, 60083, 60067, 15,
     961060},
    {"M482619_RX_XC7A35_1_04.mcs", 3103396, sizeof M482619_RX_XC7A35_1_04_mcs, 68976, 68958, 17,
     1103320},
};

std::string heapText(int entry) {
  return std::string(AUTOGEN_FILES[entry].fileData, (size_t)AUTOGEN_FILES[entry].fileDataLength);
}

}  // namespace

class EmbeddedRelease : public ImageBufferTest {};

TEST_F(EmbeddedRelease, CatalogueMatchesTexts) {
  for (int entry = 0; entry < 3; entry++) {
    const autogen_files &file = AUTOGEN_FILES[entry];
    const ReleaseShape &shape = kRelease[entry];
    SCOPED_TRACE(shape.name);
    EXPECT_STREQ(file.filePath, shape.name);
    EXPECT_EQ(file.filePathLength, (signed char)strlen(file.filePath));
    EXPECT_EQ(file.fileDataLength, shape.textLength);
    EXPECT_EQ(strlen(file.fileData), (size_t)file.fileDataLength);
    EXPECT_EQ(file.fileData[file.fileDataLength], '\0');
    EXPECT_EQ(shape.arraySize, (size_t)shape.textLength + 1);

    // Record shape, counted on the text itself.
    std::string text = heapText(entry);
    int records = 0, dataRecords = 0, addressRecords = 0;
    size_t at = 0;
    while ((at = text.find(':', at)) != std::string::npos) {
      records++;
      if (text.compare(at + 7, 2, "00") == 0) dataRecords++;
      if (text.compare(at + 7, 2, "04") == 0) addressRecords++;
      size_t end = text.find("\r\n", at);
      ASSERT_NE(end, std::string::npos) << "every record ends in CR LF";
      at = end + 2;
    }
    EXPECT_EQ(records, shape.records);
    EXPECT_EQ(dataRecords, shape.dataRecords);
    EXPECT_EQ(addressRecords, shape.addressRecords);
    EXPECT_EQ(text.substr(text.size() - 13), ":00000001FF\r\n");
  }
}

TEST_F(EmbeddedRelease, EachTextAssemblesFromAHeapCopy) {
  for (int entry = 0; entry < 3; entry++) {
    SCOPED_TRACE(kRelease[entry].name);
    std::string printed;
    ASSERT_EQ(assemble(heapText(entry), &printed), 1) << printed;
    EXPECT_EQ(gDataConcatenatedLenght, kRelease[entry].imageLength);
    EXPECT_TRUE(spareBytesUntouched());

    // Not all one value, and the checksum balances the byte sum.
    uint32_t sum = 0;
    int distinct[256] = {0};
    for (int k = 0; k < gDataConcatenatedLenght; k++) {
      sum += gDataConcatenated[k];
      distinct[gDataConcatenated[k]] = 1;
    }
    int values = 0;
    for (int v : distinct) values += v;
    EXPECT_GT(values, 200);
    EXPECT_EQ(sum + imageCheckSum(gDataConcatenated, gDataConcatenatedLenght), 0u);
  }
  // The microcontroller image starts with 32 KiB of fill, then its stack pointer.
  ASSERT_EQ(assemble(heapText(0)), 1);
  for (int k = 0; k < 0x8000; k++) ASSERT_EQ(gDataConcatenated[k], 0xFF) << k;
  EXPECT_NE(gDataConcatenated[0x8000] & gDataConcatenated[0x8003], 0xFF);
}

TEST_F(EmbeddedRelease, SecondAssemblyOfOneCopyKeepsOneRecord) {
  // Each text begins with an extended linear address record, so the cut
  // copy holds no data the second time.
  for (int entry = 0; entry < 3; entry++) {
    ExactCopy copy(heapText(entry));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ValidateFwAndConcatenateData(copy.get()), 1);
    EXPECT_EQ(ValidateFwAndConcatenateData(copy.get()), 1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(gDataConcatenatedLenght, 0);
  }
}

// ---- TessaranFwTool image --------------------------------------------------

namespace {

std::string tempPath(const char *name) {
  return (std::filesystem::temp_directory_path() / ("image_tests_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" + name)).string();
}

std::vector<uint8_t> readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

int runImage(std::vector<std::string> args, std::string *printed = nullptr) {
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int status = runImageCommand((int)argv.size(), argv.data());
  std::string out = ::testing::internal::GetCapturedStdout();
  out += ::testing::internal::GetCapturedStderr();
  if (printed != nullptr) *printed = out;
  return status;
}

}  // namespace

TEST(ImageCommand, WritesTheFlatImage) {
  ASSERT_EQ(gDataConcatenated, nullptr) << "the command brings its own buffer";
  const std::string out = tempPath("entry.bin");
  std::string printed;
  ASSERT_EQ(runImage({"--entry", "2", "-o", out}, &printed), 0) << printed;
  EXPECT_EQ(printed, "M482619_RX_XC7A35_1_04.mcs: image length 1103320 bytes, checksum " +
                         std::to_string(0u - [&] {
                           std::vector<uint8_t> image = readFile(out);
                           uint32_t sum = 0;
                           for (uint8_t b : image) sum += b;
                           return sum;
                         }()) + "\n");
  std::vector<uint8_t> fromEntry = readFile(out);
  EXPECT_EQ(fromEntry.size(), 1103320u);
  EXPECT_EQ(gDataConcatenated, nullptr) << "and releases it";

  // The same text read from a file gives the same image.
  const std::string hexFile = tempPath("rx.mcs");
  writeFile(hexFile, heapText(2));
  ASSERT_EQ(runImage({hexFile, "-o", out}), 0);
  EXPECT_EQ(readFile(out), fromEntry);

  // The microcontroller image keeps its leading fill.
  ASSERT_EQ(runImage({"-o", out, "--entry", "0"}), 0);
  std::vector<uint8_t> mcu = readFile(out);
  ASSERT_EQ(mcu.size(), 117652u);
  EXPECT_EQ(std::vector<uint8_t>(mcu.begin(), mcu.begin() + 0x8000),
            std::vector<uint8_t>(0x8000, 0xFF));

  std::filesystem::remove(out);
  std::filesystem::remove(hexFile);
}

TEST(ImageCommand, FailuresAreReported) {
  const std::string out = tempPath("fail.bin");
  const std::string bad = tempPath("bad.hex");
  writeFile(bad, ":0200000480007B\r\n");
  const std::string withNul = tempPath("nul.hex");
  writeFile(withNul, std::string(":00000001FF\r\n\0:00000001FF\r\n", 27));

  struct FailureCase {
    std::vector<std::string> args;
    int status;
    const char *printed;  // a part of what is printed
  };
  const FailureCase cases[] = {
      {{}, 2, "Usage"},
      {{"--entry", "1"}, 2, "Usage"},
      {{"--entry", "3", "-o", out}, 2, "--entry takes 0, 1 or 2"},
      {{"--entry", "10", "-o", out}, 2, "--entry takes 0, 1 or 2"},
      {{"--entry", "1", bad, "-o", out}, 2, "Usage"},
      {{"--bogus", "-o", out}, 2, "Usage"},
      {{tempPath("missing.hex"), "-o", out}, 1, "cannot open"},
      {{bad, "-o", out}, 1, "\r\n intel_hex_line_is_valid \r\n:0200000480007B\r\n"},
      {{bad, "-o", out}, 1, "is not a valid Intel HEX text"},
      {{withNul, "-o", out}, 1, "holds a NUL byte"},
  };
  for (const FailureCase &c : cases) {
    std::string printed;
    EXPECT_EQ(runImage(c.args, &printed), c.status) << printed;
    EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
  }
  EXPECT_FALSE(std::filesystem::exists(out)) << "no image after a failure";
  std::filesystem::remove(bad);
  std::filesystem::remove(withNul);
}
