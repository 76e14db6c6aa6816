// The web update file writer, run on small Intel HEX texts in a scratch
// folder, with standard input fed from a file so that the key wait returns.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "WebTestSupport.h"
#include "updater/TessaranFwUpgrade.h"
#include "webfile/Encoder.h"
#include "webfile/FileAPI.h"
#include "webfile/WebFileVerifier.h"

namespace {

using webtest::hexRecord;
using webtest::hexText;
using webtest::readFile;
using webtest::writeFile;

const std::string kFileName = "FwToUpload.bin";
const std::string kHeaderStart = "ZarVel\r\n482619\r\n1.0.4\r\n";
const std::string kOpenFailed = "ERROR: File does not exists\n";
const std::string kNotOpened = "ERROR: File does not exists or Not opened !\n";

std::string validOutput(const std::string &checkSum, long length) {
  return "\r\n Firmware data is valid !\r\n"
         "\r\n Firmware CheckSum = " + checkSum + " !\r\n"
         "\r\n Firmware CheckSum u = " + checkSum + " !\r\n"
         "\r\n Firmware data length = " + std::to_string(length) + " !\r\n";
}
const std::string kKeyWait = "\r\nPress any key to exit";

std::vector<uint8_t> sampleImage(size_t length) {
  std::vector<uint8_t> image(length);
  for (size_t i = 0; i < length; i++) image[i] = (uint8_t)(i * 7 + 3);
  return image;
}

// Splits the body after the five header lines at its CR LF line ends.
std::vector<std::string> bodyLines(const std::string &file) {
  size_t pos = 0;
  for (int line = 0; line < 5; line++) pos = file.find("\r\n", pos) + 2;
  std::vector<std::string> lines;
  while (pos < file.size()) {
    size_t end = file.find("\r\n", pos);
    if (end == std::string::npos) end = file.size();
    lines.push_back(file.substr(pos, end - pos));
    pos = end == file.size() ? end : end + 2;
  }
  return lines;
}

class WebUpdateFileTest : public webtest::ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    // Three keys ready for the key wait; keysRead() tells how many were taken.
    writeFile("keys", "abc");
    ASSERT_NE(nullptr, freopen("keys", "r", stdin));
    ASSERT_TRUE(allocateWorkingBuffers());
  }
  void TearDown() override {
    releaseWorkingBuffers();
    ScratchFolderTest::TearDown();
  }

  // Puts a writable copy of `text` in gHexFirmware, as the start-up state has it.
  void setFirmwareText(const std::string &text) {
    free(gHexFirmware);
    gHexFirmware = (char *)calloc(text.size() + 16, 1);
    memcpy(gHexFirmware, text.data(), text.size());
  }

  BOOL run() {
    ::testing::internal::CaptureStdout();
    BOOL result = createFirmwareFileForWeb();
    output_ = ::testing::internal::GetCapturedStdout();
    return result;
  }

  long keysRead() { return ftell(stdin); }

  std::string output_;
};

TEST_F(WebUpdateFileTest, FourByteImageGivesThe46ByteFile) {
  setFirmwareText(hexText({0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(1, run());
  EXPECT_EQ(kHeaderStart + "4294967286\r\n4\r\nAQIDBAAA", readFile(kFileName));
  EXPECT_EQ(46u, readFile(kFileName).size());
  EXPECT_EQ(validOutput("4294967286", 4) + kKeyWait, output_);
  EXPECT_EQ(1, keysRead());
  EXPECT_EQ(4294967286u, gDataConcatenatedCheckSum);
  EXPECT_EQ(4, gDataConcatenatedLenght);
}

TEST_F(WebUpdateFileTest, HeaderBodyLinesAndPadding) {
  struct Row {
    std::vector<uint8_t> image;
    std::string checkSum;
    std::vector<size_t> lineLengths;
    std::string bodyEnd;  // the last characters of the body
  };
  const Row rows[] = {
      {{0xFF}, "4294967041", {4}, "/wAA"},
      {{0x01, 0x02}, "4294967293", {4}, "AQIA"},             // one "=" written as "A"
      {{0x00, 0x00, 0x00}, "0", {4}, "AAAA"},
      {{0xFB, 0xFF, 0xBF}, "4294966599", {4}, "+/+/"},        // no padding: nothing replaced
      {sampleImage(696), "", {928}, ""},
      {sampleImage(697), "", {928, 4}, "AA"},
      {sampleImage(1392), "", {928, 928}, ""},
      {sampleImage(70000), "", {}, ""},  // crosses a 64 KiB block; 101 lines
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.image.size());
    setFirmwareText(hexText(row.image));
    ASSERT_EQ(1, run());
    const std::string file = readFile(kFileName);

    // Independent checks of header, structure, checksum and padding.
    WebFileReport report;
    EXPECT_EQ(1, webFileVerifier_verify((const unsigned char *)file.data(), file.size(), &report))
        << report.problem;
    EXPECT_EQ((long)row.image.size(), report.headerLength);
    if (!row.checkSum.empty()) {
      EXPECT_EQ(row.checkSum, std::to_string(report.headerCheckSum));
    }

    std::vector<std::string> lines = bodyLines(file);
    if (!row.lineLengths.empty()) {
      std::vector<size_t> lengths;
      for (const std::string &line : lines) lengths.push_back(line.size());
      EXPECT_EQ(row.lineLengths, lengths);
    }
    EXPECT_EQ(std::string::npos, file.find('='));
    EXPECT_NE("\r\n", file.substr(file.size() - 2));
    const std::string last = lines.back();
    EXPECT_EQ(row.bodyEnd, last.substr(last.size() - row.bodyEnd.size()));

    // The body decodes to the image followed by zero bytes up to a whole group.
    std::string body;
    for (const std::string &line : lines) body += line;
    std::vector<uint8_t> decoded(body.size());
    int decodedLength = (int)decoded.size();
    ASSERT_EQ(0, base64_decode(decoded.data(), &decodedLength, (const unsigned char *)body.data(),
                               (int)body.size()));
    decoded.resize(decodedLength);
    std::vector<uint8_t> expected = row.image;
    expected.resize((row.image.size() + 2) / 3 * 3, 0);
    EXPECT_EQ(expected, decoded);
  }
}

TEST_F(WebUpdateFileTest, TwoRunsLeaveOneHeaderAndOneBody) {
  const std::string text = hexText(sampleImage(1000));
  setFirmwareText(text);
  ASSERT_EQ(1, run());
  const std::string first = readFile(kFileName);
  setFirmwareText(text);  // assembly cut the previous copy up
  ASSERT_EQ(1, run());
  EXPECT_EQ(first, readFile(kFileName));
  EXPECT_EQ(2, keysRead());
}

TEST_F(WebUpdateFileTest, EmptyImageGivesTheHeaderOnly) {
  setFirmwareText(hexText({}));
  EXPECT_EQ(1, run());
  EXPECT_EQ(kHeaderStart + "0\r\n0\r\n", readFile(kFileName));
  EXPECT_EQ(validOutput("0", 0) + kKeyWait, output_);
  EXPECT_EQ(1, keysRead());
}

TEST_F(WebUpdateFileTest, Base64BufferHoldsImagesUpTo460797Bytes) {
  // One byte at offset 0, one at the end: the 0xFF gap between them is image.
  for (unsigned length : {460797u, 460798u}) {
    SCOPED_TRACE(length);
    const unsigned last = length - 1;
    setFirmwareText(hexRecord(4, 0, {0, 0}) + hexRecord(0, 0, {0x01}) +
                    hexRecord(4, 0, {0, (uint8_t)(last >> 16)}) +
                    hexRecord(0, last & 0xFFFF, {0x02}) + hexRecord(1, 0, {}));
    const long keysBefore = keysRead();
    const BOOL result = run();
    const std::string file = readFile(kFileName);
    WebFileReport report;
    const int verified =
        webFileVerifier_verify((const unsigned char *)file.data(), file.size(), &report);
    if (length == 460797u) {
      EXPECT_EQ(1, result);
      EXPECT_EQ(1, verified) << report.problem;
      EXPECT_EQ(614396, report.bodyCharacters);
    } else {
      // The encoder refuses: the file keeps its header, the run stops there.
      EXPECT_EQ(0, result);
      EXPECT_EQ(0, verified);
      EXPECT_EQ(0, file.compare(0, kHeaderStart.size(), kHeaderStart));
      EXPECT_EQ("\r\n460798\r\n", file.substr(file.size() - 10));
      const std::string tail =
          "\r\n ERROR BASE 64 !\r\n"
          "\r\nERROR: The image is too large, FwToUpload.bin holds the header only and is "
          "incomplete !\r\n";
      EXPECT_EQ(tail, output_.substr(output_.size() - tail.size()));
      EXPECT_EQ(keysBefore, keysRead());
    }
  }
}

TEST_F(WebUpdateFileTest, InvalidFirmwareLeavesTheFileUntouched) {
  writeFile(kFileName, "earlier file");
  // The second data record's checksum is wrong.
  std::string text = hexText({1, 2, 3, 4});
  text.insert(text.find(":00000001"), ":0400040001020304F0\r\n");
  setFirmwareText(text);
  EXPECT_EQ(0, run());
  EXPECT_EQ("earlier file", readFile(kFileName));
  const std::string tail = "\r\nERROR: Firmware data is not valid !\r\n";
  ASSERT_GE(output_.size(), tail.size());
  EXPECT_EQ(tail, output_.substr(output_.size() - tail.size()));
  EXPECT_EQ(std::string::npos, output_.find("CheckSum"));
  EXPECT_EQ(std::string::npos, output_.find("Press any key"));
  EXPECT_EQ(0, keysRead());
}

TEST_F(WebUpdateFileTest, FileThatCannotBeCreatedIsAFailure) {
  // A folder in the file's place: every open fails, even for root.
  std::filesystem::create_directory(kFileName);
  setFirmwareText(hexText({0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(0, run());
  EXPECT_EQ(validOutput("4294967286", 4) + kOpenFailed + kNotOpened + kNotOpened + kOpenFailed +
                kNotOpened + kNotOpened +
                "\r\nERROR: FwToUpload.bin could not be written completely !\r\n" + kKeyWait,
            output_);
  EXPECT_EQ(1, keysRead());
}

TEST_F(WebUpdateFileTest, FullDiskIsAFailure) {
  // Writes into the stream's buffer succeed; the close reports ENOSPC.
  std::filesystem::create_symlink("/dev/full", kFileName);
  setFirmwareText(hexText(sampleImage(3000)));
  EXPECT_EQ(0, run());
  EXPECT_NE(std::string::npos, output_.find("ERROR: Closing file failed"));
  const std::string tail =
      "\r\nERROR: FwToUpload.bin could not be written completely !\r\n" + kKeyWait;
  EXPECT_EQ(tail, output_.substr(output_.size() - tail.size()));
}

// The file layer on its own, on paths that fail only on POSIX systems.
TEST(FileApiPosix, UnopenablePathAndFullDisk) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(0, FileAPI_CreateFile("/dev/null/x", 1));
  EXPECT_EQ(0, FileAPI_writeToFileBinary("x", 1));
  EXPECT_EQ(kOpenFailed + kNotOpened, ::testing::internal::GetCapturedStdout());

  // A small write stays in the buffer: only the close can tell.
  ASSERT_EQ(1, FileAPI_CreateFile("/dev/full", 1));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(1, FileAPI_writeToFileBinary("abc", 3));
  EXPECT_EQ(0, FileAPI_CloseFile());
  EXPECT_EQ("ERROR: Closing file failed, its end may be lost !\n",
            ::testing::internal::GetCapturedStdout());

  // A write larger than the buffer fails at once.
  std::vector<char> big(1 << 20, 'x');
  ASSERT_EQ(1, FileAPI_OpenFile_ToWrite("/dev/full", 1));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(0, FileAPI_writeToFileBinary(big.data(), (uint32_t)big.size()));
  EXPECT_EQ(0, FileAPI_writeToFile(std::string(1 << 20, 'y').c_str()));
  FileAPI_CloseFile();
  const std::string messages = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, messages.find("ERROR: Writing to file failed !\nERROR: Writing to file failed !\n"));
}

}  // namespace
