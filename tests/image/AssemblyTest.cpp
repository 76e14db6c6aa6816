// Image assembly: placement, length, fill, diagnostics and the rejections
// that keep every write inside the image buffer.
#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"

static std::string joinRecords(const std::vector<std::string> &records, const char *lineEnd) {
  std::string text;
  for (const std::string &r : records) text += r + lineEnd;
  return text;
}

static const char kBadLineHeader[] = "\r\n intel_hex_line_is_valid \r\n";
static const char kNoTableMessage[] = "\r\nNUL extractedHexLine \r\n";

class Assembly : public ImageBufferTest {};

TEST_F(Assembly, PlacesDataAtFlatOffsets) {
  const std::vector<uint8_t> four = {0x11, 0x22, 0x33, 0x44};
  struct PlacementCase {
    const char *why;
    std::vector<std::string> records;
    int length;
    std::map<size_t, std::vector<uint8_t>> data;  // flat offset -> bytes there
  };
  const PlacementCase cases[] = {
      {"block 0, four bytes", {elaRecord(0), hexRecord(0, 0, four), EOF_RECORD}, 4, {{0, four}}},
      {"before any extended address", {hexRecord(0, 0x100, {1, 2})}, 0x102, {{0x100, {1, 2}}}},
      {"block 0x8001", {elaRecord(0x8001), hexRecord(0, 0x10, four)}, 0x10014, {{0x10010, four}}},
      {"block 0x8000", {elaRecord(0x8000), hexRecord(0, 0x10, four)}, 0x14, {{0x10, four}}},
      {"only bits 16-23 count", {elaRecord(0x120E), hexRecord(0, 0, four)}, 0xE0004,
       {{0xE0000, four}}},
      {"fill before the first byte", {elaRecord(0x8000), hexRecord(0, 0x8000, four)}, 0x8004,
       {{0x8000, four}}},
      {"gap between records", {hexRecord(0, 0, four), hexRecord(0, 0x20, four)}, 0x24,
       {{0, four}, {0x20, four}}},
      {"data after end of file", {hexRecord(0, 0, four), EOF_RECORD, hexRecord(0, 0x10, four)},
       0x14, {{0, four}, {0x10, four}}},
      {"last record below an earlier one", {hexRecord(0, 0x100, four), hexRecord(0, 0x10, four)},
       0x14, {{0x100, four}, {0x10, four}}},
      {"empty data record", {hexRecord(0, 0, four), hexRecord(0, 0x40, {})}, 0x40, {{0, four}}},
      {"only address and end records", {elaRecord(0x8000), EOF_RECORD}, 0, {}},
      {"other record types passed over",
       {hexRecord(2, 0, {0x10, 0x00}), hexRecord(3, 0, {0, 0, 0x10, 0}), hexRecord(0, 0, four),
        hexRecord(5, 0, {0x80, 0, 0x81, 0xC5}), EOF_RECORD},
       4, {{0, four}}},
      {"last byte of the buffer",
       {elaRecord(0x003F), hexRecord(0, 0xFFF0, std::vector<uint8_t>(16, 0x5A))},
       CONCAT_BUFFER_SIZE, {{CONCAT_BUFFER_SIZE - 16, std::vector<uint8_t>(16, 0x5A)}}},
      {"43 data bytes and CR LF fill the line buffer",
       {hexRecord(0, 0, std::vector<uint8_t>(43, 0x01))}, 43,
       {{0, std::vector<uint8_t>(43, 0x01)}}},
  };

  for (const PlacementCase &c : cases) {
    SCOPED_TRACE(c.why);
    std::string printed;
    EXPECT_EQ(assemble(joinRecords(c.records, "\r\n"), &printed), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(gDataConcatenatedLenght, c.length);

    std::vector<size_t> expectedOffsets;
    for (const auto &placed : c.data) {
      for (size_t k = 0; k < placed.second.size(); k++) {
        EXPECT_EQ(gDataConcatenated[placed.first + k], placed.second[k]) << placed.first + k;
        expectedOffsets.push_back(placed.first + k);
      }
    }
    std::sort(expectedOffsets.begin(), expectedOffsets.end());
    EXPECT_EQ(nonFillOffsets(), expectedOffsets) << "everything else is 0xFF";
    EXPECT_TRUE(spareBytesUntouched());
  }
}

TEST_F(Assembly, SameImageWhateverLineEndsAndCase) {
  std::vector<uint8_t> bytes;
  for (int k = 0; k < 40; k++) bytes.push_back((uint8_t)(k * 37 + 0xA0));
  std::vector<std::string> records = {elaRecord(0x8001), hexRecord(0, 0x20, bytes),
                                      hexRecord(0, 0x80, {0xAB, 0xCD}), EOF_RECORD};

  ASSERT_EQ(assemble(joinRecords(records, "\r\n")), 1);
  const int length = gDataConcatenatedLenght;
  const std::vector<uint8_t> reference(gDataConcatenated, gDataConcatenated + length);
  EXPECT_EQ(length, 0x10082);

  std::string lower = joinRecords(records, "\n");
  for (char &c : lower) c = (char)tolower((unsigned char)c);
  const std::string variants[] = {joinRecords(records, "\n"), joinRecords(records, "\r"),
                                  joinRecords(records, ""), joinRecords(records, "\n\r\n"), lower};
  for (const std::string &text : variants) {
    SCOPED_TRACE(text);
    ASSERT_EQ(assemble(text), 1);
    EXPECT_EQ(gDataConcatenatedLenght, length);
    EXPECT_EQ(std::vector<uint8_t>(gDataConcatenated, gDataConcatenated + length), reference);
  }
}

TEST_F(Assembly, BadRecordStopsWithItsLine) {
  const std::string bad = ":0400200011223344AA";  // checksum should be 0x0A
  std::string printed;
  EXPECT_EQ(assemble(joinRecords({hexRecord(0, 0, {1, 2}), hexRecord(0, 0x10, {3, 4}), bad,
                                  hexRecord(0, 0x30, {5, 6})},
                                 "\r\n"),
                     &printed),
            0);
  EXPECT_EQ(printed, std::string(kBadLineHeader) + bad + "\r\n");
  EXPECT_EQ(gDataConcatenatedLenght, 0x12) << "end of the last record placed";
  EXPECT_EQ(nonFillOffsets(), (std::vector<size_t>{0, 1, 0x10, 0x11}));
}

TEST_F(Assembly, TextWithoutRecords) {
  // Null, empty and start-code-only texts give no piece table: result 0.
  for (const char *text : {"", ":", ":::"}) {
    SCOPED_TRACE(text);
    std::string printed;
    EXPECT_EQ(assemble(text, &printed), 0);
    EXPECT_EQ(printed, kNoTableMessage);
    EXPECT_EQ(gDataConcatenatedLenght, 0);
  }
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ValidateFwAndConcatenateData(nullptr), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), kNoTableMessage);
  EXPECT_EQ(gDataConcatenatedLenght, 0);
  EXPECT_TRUE(nonFillOffsets().empty());
}

// Texts the record rules alone would let write outside the image buffer,
// overrun the line buffer or read past a record: each is refused with the
// usual diagnostic, and nothing lands outside the buffer.
TEST_F(Assembly, RejectsWhatWouldOverrunBuffers) {
  const std::string longData = hexRecord(0, 0, std::vector<uint8_t>(60, 0x42));
  struct RejectCase {
    const char *why;
    std::vector<std::string> records;
    std::string printedLine;
  };
  const RejectCase cases[] = {
      {"piece longer than the line buffer", {longData}, longData.substr(0, 99)},
      {"44 data bytes plus CR LF", {hexRecord(0, 0, std::vector<uint8_t>(44, 1))},
       hexRecord(0, 0, std::vector<uint8_t>(44, 1))},
      {"data at the end of the buffer", {elaRecord(0x0040), hexRecord(0, 0, {1})},
       hexRecord(0, 0, {1})},
      {"data running past the buffer",
       {elaRecord(0x003F), hexRecord(0, 0xFFF1, std::vector<uint8_t>(16, 1))},
       hexRecord(0, 0xFFF1, std::vector<uint8_t>(16, 1))},
      {"empty record beyond the buffer", {elaRecord(0x0040), hexRecord(0, 1, {})},
       hexRecord(0, 1, {})},
      {"address record with one byte", {hexRecord(4, 0, {0x01}), hexRecord(0, 0, {1})},
       hexRecord(4, 0, {0x01})},
      {"address record with no byte", {hexRecord(4, 0, {})}, hexRecord(4, 0, {})},
  };
  for (const RejectCase &c : cases) {
    SCOPED_TRACE(c.why);
    std::string printed;
    EXPECT_EQ(assemble(joinRecords(c.records, "\r\n"), &printed), 0);
    EXPECT_EQ(printed, std::string(kBadLineHeader) + c.printedLine + "\r\n");
    EXPECT_TRUE(spareBytesUntouched());
    EXPECT_LE(gDataConcatenatedLenght, CONCAT_BUFFER_SIZE);
  }

  // Without a line end the 44-byte record fits exactly.
  EXPECT_EQ(assemble(hexRecord(0, 0, std::vector<uint8_t>(44, 1))), 1);
  EXPECT_EQ(gDataConcatenatedLenght, 44);
}

TEST_F(Assembly, TextIsCutSoSecondAssemblySeesOneRecord) {
  std::string text = joinRecords(
      {hexRecord(0, 0, {1, 2, 3, 4}), hexRecord(0, 0x100, {5, 6}), EOF_RECORD}, "\r\n");
  ExactCopy copy(text);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ValidateFwAndConcatenateData(copy.get()), 1);
  EXPECT_EQ(gDataConcatenatedLenght, 0x102);
  EXPECT_EQ(ValidateFwAndConcatenateData(copy.get()), 1);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(gDataConcatenatedLenght, 4);
  EXPECT_EQ(nonFillOffsets(), (std::vector<size_t>{0, 1, 2, 3}));
}

TEST(ImageHelpers, CheckSumAndLineEnds) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03};
  EXPECT_EQ(imageCheckSum(bytes, 3), 4294967290u);
  EXPECT_EQ(imageCheckSum(bytes, 0), 0u);
  EXPECT_EQ(imageCheckSum(nullptr, 5), 0u);
  std::vector<uint8_t> ff(256, 0xFF);
  EXPECT_EQ(imageCheckSum(ff.data(), 256), 4294902016u);
  std::vector<uint8_t> big(1 << 25, 0xFF);  // byte sum beyond 2^32
  EXPECT_EQ(imageCheckSum(big.data(), (int)big.size()) + 0xFFu * (uint32_t)big.size(), 0u);

  char blanks[] = "a\r\nb\rc\n";
  EXPECT_EQ(StrRemoveNL(blanks, ' '), 1);
  EXPECT_STREQ(blanks, "a  b c ");
  char cut[] = ":00000001FF\r\n:0";
  EXPECT_EQ(StrRemoveNL(cut, '\0'), 1);
  EXPECT_STREQ(cut, ":00000001FF");
  EXPECT_EQ(StrRemoveNL(nullptr, ' '), 1);
}
