// Image assembly: placement, length, fill, diagnostics, and the rejections
// that keep every write inside the image buffer.
#include <ctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"

static std::string joined(const std::vector<std::string> &records, const char *lineEnd = "\r\n") {
  std::string text;
  for (const std::string &r : records) text += r + lineEnd;
  return text;
}

static const std::string kBadLine = "\r\n intel_hex_line_is_valid \r\n";

class Assembly : public ImageBufferTest {};

TEST_F(Assembly, PlacesDataAtFlatOffsets) {
  const std::vector<uint8_t> four = {0x11, 0x22, 0x33, 0x44};
  struct PlacementCase {
    const char *why;
    std::vector<std::string> records;
    int length;
    std::vector<std::pair<size_t, std::vector<uint8_t>>> placed;
  } const cases[] = {
      {"block 0", {elaRecord(0), hexRecord(0, 0, four), ":00000001FF"}, 4, {{0, four}}},
      {"no address record yet", {hexRecord(0, 0x100, four)}, 0x104, {{0x100, four}}},
      {"block 0x8001", {elaRecord(0x8001), hexRecord(0, 0x10, four)}, 0x10014, {{0x10010, four}}},
      {"block 0x8000", {elaRecord(0x8000), hexRecord(0, 0x10, four)}, 0x14, {{0x10, four}}},
      {"bits 16-23 only", {elaRecord(0x120E), hexRecord(0, 0, four)}, 0xE0004, {{0xE0000, four}}},
      {"gap stays 0xFF", {hexRecord(0, 0, four), hexRecord(0, 0x8000, four)}, 0x8004,
       {{0, four}, {0x8000, four}}},
      {"after end of file", {hexRecord(0, 0, four), ":00000001FF", hexRecord(0, 0x10, four)}, 0x14,
       {{0, four}, {0x10, four}}},
      {"last record lower", {hexRecord(0, 0x100, four), hexRecord(0, 0x10, four)}, 0x14,
       {{0x100, four}, {0x10, four}}},
      {"empty data record", {hexRecord(0, 0, four), hexRecord(0, 0x40, {})}, 0x40, {{0, four}}},
      {"no data at all", {elaRecord(0x8000), ":00000001FF"}, 0, {}},
      {"other types passed over",
       {hexRecord(2, 0, {0x10, 0}), hexRecord(3, 0, {0, 0, 1, 0}), hexRecord(5, 0, {0, 0, 1, 0})}, 0, {}},
      {"last byte of the buffer", {elaRecord(0x3F), hexRecord(0, 0xFFFC, four)}, CONCAT_BUFFER_SIZE,
       {{CONCAT_BUFFER_SIZE - 4, four}}},
      {"43 bytes and CR LF fill the line buffer", {hexRecord(0, 0, std::vector<uint8_t>(43, 1))}, 43,
       {{0, std::vector<uint8_t>(43, 1)}}},
  };
  for (const PlacementCase &c : cases) {
    SCOPED_TRACE(c.why);
    std::string printed;
    EXPECT_EQ(assemble(joined(c.records), &printed), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(gDataConcatenatedLenght, c.length);
    std::vector<size_t> expected;
    for (const auto &p : c.placed) {
      EXPECT_EQ(std::vector<uint8_t>(gDataConcatenated + p.first, gDataConcatenated + p.first + p.second.size()),
                p.second);
      for (size_t k = 0; k < p.second.size(); k++) expected.push_back(p.first + k);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(nonFillOffsets(), expected) << "0xFF everywhere else";
  }
}

TEST_F(Assembly, SameImageWhateverLineEndsAndCase) {
  std::vector<uint8_t> bytes;
  for (int k = 0; k < 40; k++) bytes.push_back((uint8_t)(k * 37 + 0xA0));
  const std::vector<std::string> records = {elaRecord(0x8001), hexRecord(0, 0x20, bytes), ":00000001FF"};
  ASSERT_EQ(assemble(joined(records)), 1);
  const std::vector<uint8_t> reference(gDataConcatenated, gDataConcatenated + 0x10048);
  EXPECT_EQ(gDataConcatenatedLenght, 0x10048);

  std::string lower = joined(records, "\n");
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  for (const std::string &text : {joined(records, "\n"), joined(records, "\r"), joined(records, ""), lower}) {
    ASSERT_EQ(assemble(text), 1) << text;
    EXPECT_EQ(std::vector<uint8_t>(gDataConcatenated, gDataConcatenated + gDataConcatenatedLenght), reference);
  }
}

TEST_F(Assembly, BadRecordOrNoRecordPrintsAndFails) {
  const std::string bad = ":0400200011223344AA";  // the checksum should be 0x0A
  std::string printed;
  EXPECT_EQ(assemble(joined({hexRecord(0, 0, {1, 2}), hexRecord(0, 0x10, {3, 4}), bad, hexRecord(0, 0x30, {5})}),
                     &printed),
            0);
  EXPECT_EQ(printed, kBadLine + bad + "\r\n");
  EXPECT_EQ(gDataConcatenatedLenght, 0x12) << "the end of the last record placed";
  EXPECT_EQ(nonFillOffsets(), (std::vector<size_t>{0, 1, 0x10, 0x11}));

  // Null, empty and start-code-only texts give no piece table.
  for (const char *text : {"", ":", ":::"}) {
    EXPECT_EQ(assemble(text, &printed), 0);
    EXPECT_EQ(printed, "\r\nNUL extractedHexLine \r\n");
  }
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ValidateFwAndConcatenateData(nullptr), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\r\nNUL extractedHexLine \r\n");
  EXPECT_EQ(gDataConcatenatedLenght, 0);
}

// Texts that would overrun the line buffer, write outside the image buffer or
// read past an address record: refused with the usual diagnostic.
TEST_F(Assembly, RejectsWhatWouldOverrunBuffers) {
  const std::string sixty = hexRecord(0, 0, std::vector<uint8_t>(60, 0x42));
  const std::string fortyFour = hexRecord(0, 0, std::vector<uint8_t>(44, 1));
  struct RejectCase {
    std::vector<std::string> records;
    std::string printedLine;
  } const cases[] = {
      {{sixty}, sixty.substr(0, 99)},  // cut to what the line buffer holds
      {{fortyFour}, fortyFour},        // 98 characters, and CR LF after them
      {{elaRecord(0x40), hexRecord(0, 0, {1})}, hexRecord(0, 0, {1})},
      {{elaRecord(0x3F), hexRecord(0, 0xFFFD, {1, 2, 3, 4})}, hexRecord(0, 0xFFFD, {1, 2, 3, 4})},
      {{elaRecord(0x40), hexRecord(0, 1, {})}, hexRecord(0, 1, {})},  // its length would pass the buffer
      {{hexRecord(4, 0, {1}), hexRecord(0, 0, {1})}, hexRecord(4, 0, {1})},
      {{hexRecord(4, 0, {})}, hexRecord(4, 0, {})},
  };
  for (const RejectCase &c : cases) {
    std::string printed;
    EXPECT_EQ(assemble(joined(c.records), &printed), 0);
    EXPECT_EQ(printed, kBadLine + c.printedLine + "\r\n");
  }
  EXPECT_EQ(assemble(fortyFour), 1) << "without a line end it fits";
}

TEST(ImageHelpers, CheckSumAndLineEnds) {
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(imageCheckSum(bytes, 3), 4294967290u);
  EXPECT_EQ(imageCheckSum(bytes, 0), 0u);
  std::vector<uint8_t> ff(1 << 25, 0xFF);  // the byte sum passes 2^32
  EXPECT_EQ(imageCheckSum(ff.data(), 256), 4294902016u);
  EXPECT_EQ(imageCheckSum(ff.data(), 1 << 25), 0u - 0xFFu * (1u << 25));

  char blanks[] = "a\r\nb\rc\n";
  EXPECT_EQ(StrRemoveNL(blanks, ' '), 1);
  EXPECT_STREQ(blanks, "a  b c ");
  char cut[] = "ab\r\ncd";
  StrRemoveNL(cut, '\0');
  EXPECT_STREQ(cut, "ab");
}
