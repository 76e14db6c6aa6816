// Hex digits, hex bytes, record lines and the text splitter.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "IntelHex.h"
#include "StringOperations.h"

TEST(HexText, DigitsAndBytes) {
  struct DigitCase {
    char c;
    uint8_t value;
  };
  const DigitCase digits[] = {{'0', 0}, {'9', 9},  {'a', 10}, {'A', 10}, {'f', 15},     {'F', 15},
                              {'G', 0}, {' ', 0},  {'\0', 0}, {'g', 0},  {(char)0xC1, 0}, {':', 0}};
  for (const DigitCase &d : digits) EXPECT_EQ(int_from_hex_char(d.c), d.value) << (int)d.c;

  struct ByteCase {
    const char *text;
    uint8_t value;
  };
  const ByteCase bytes[] = {{"7", 7},      {"", 0},     {"A5FF", 0xA5}, {"G5", 5},
                            {"5G", 0x50},  {"a5", 0xA5}, {"ff", 0xFF},   {"00", 0}};
  for (const ByteCase &b : bytes) {
    ExactCopy copy(b.text);
    EXPECT_EQ(u8_from_hex_string(copy.get()), b.value) << b.text;
  }
  EXPECT_EQ(u8_from_hex_string(nullptr), 0);

  EXPECT_EQ(capitalizeChar('a'), 'A');
  EXPECT_EQ(capitalizeChar('z'), 'Z');
  EXPECT_EQ(capitalizeChar('A'), 'A');
  EXPECT_EQ(capitalizeChar('5'), '5');
}

// One row per record line: what every operation says about it. Each line is
// held in a block of exactly its size, so a read past it fails under ASan.
TEST(IntelHexRecord, LineOperations) {
  const std::string sixteenFF = ":10000000" + std::string(32, 'F') + "00";
  std::string count252 = hexRecord(0, 0, std::vector<uint8_t>(252, 0x11));
  std::string count251 = hexRecord(0, 0, std::vector<uint8_t>(251, 0x11));
  std::string withOffset = hexRecord(0, 0x1234, {1, 2, 3, 4});
  std::string withOffsetBadSum = withOffset;
  withOffsetBadSum.back() = withOffsetBadSum.back() == '0' ? '1' : '0';

  struct LineCase {
    std::string line;
    bool valid;
    uint8_t type;
    uint8_t count;
    uint16_t address;  // what intel_hex_line_address answers
    std::vector<uint8_t> data;
    const char *why;
  };
  const LineCase cases[] = {
      {":020000040000FA", true, 4, 2, 0, {0x00, 0x00}, "extended linear address 0"},
      {sixteenFF, true, 0, 16, 0, std::vector<uint8_t>(16, 0xFF), "sixteen 0xFF"},
      {":10000000" + std::string(32, 'F') + "01", false, 0, 16, 0, {}, "checksum low digit"},
      {":10000000" + std::string(32, 'F') + "10", false, 0, 16, 0, {}, "checksum high digit"},
      {":0200000480007A", true, 4, 2, 0, {0x80, 0x00}, "extended linear address 0x8000"},
      {":0200000480007a", true, 4, 2, 0, {0x80, 0x00}, "lower-case checksum"},
      {":0200000480007A\r", false, 4, 2, 0, {}, "stray CR"},
      {":01000000FF00\r", true, 0, 1, 0, {0xFF}, "checksum 00 survives a stray CR"},
      {":00000001FF", true, 1, 0, 0, {}, "end of file"},
      {withOffset, true, 0, 4, 0x1234, {1, 2, 3, 4}, "load offset"},
      {withOffsetBadSum, false, 0, 4, 0, {}, "bad checksum hides the load offset"},
      {":020000140000EA", true, 4, 2, 0, {0x00, 0x00}, "type 14 reads as 4"},
      {":0400001001020304E2", true, 0, 4, 0, {1, 2, 3, 4}, "type 10 reads as 0"},
      {"0200000480007A", false, 8, 0x20, 0, {}, "no start code"},
      {"", false, (uint8_t)-48, 0, 0, {}, "empty"},
      {":", false, (uint8_t)-48, 0, 0, {}, "start code alone"},
      {":10000000FF", false, 0, 16, 0, {}, "shorter than its byte count"},
      {":1000000000", false, 0, 16, 0, {}, "checksum walk would leave the line"},
      {count252, false, 0, 252, 0, {}, "252 data bytes"},
      {count251, true, 0, 251, 0, std::vector<uint8_t>(251, 0x11), "251 data bytes"},
      {":0100000000FF" "junk" "FF", true, 0, 1, 0, {0x00}, "text before the checksum ignored"},
  };

  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.why);
    ExactCopy line(c.line);
    EXPECT_EQ(intel_hex_line_is_valid(line.get()), c.valid ? INTEL_HEX_STRING_OK
                                                           : INTEL_HEX_STRING_INVALID);
    EXPECT_EQ(intel_hex_start_code_present(line.get()), c.line.size() > 0 && c.line[0] == ':');
    EXPECT_EQ(intel_hex_line_record_type(line.get()), c.type);
    EXPECT_EQ(intel_hex_line_is_data_record(line.get()), c.type == 0);
    EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(line.get()), c.type == 4);
    EXPECT_EQ(intel_hex_line_data_length(line.get()), c.count);
    EXPECT_EQ(intel_hex_line_address(line.get()), c.address);

    uint8_t *data = new_u8_data_array_from_intel_hex_string(line.get());
    if (c.valid) {
      ASSERT_NE(data, nullptr);  // an empty record still gets a block
      EXPECT_EQ(std::vector<uint8_t>(data, data + c.count), c.data);
    } else {
      EXPECT_EQ(data, nullptr);
    }
    free(data);
    EXPECT_EQ(std::string(line.get()), c.line) << "the line must not change";
  }
}

TEST(IntelHexRecord, ChecksumOfHexBytes) {
  struct ChecksumCase {
    const char *text;
    uint8_t count;
    uint8_t sum;
  };
  const ChecksumCase cases[] = {
      {"010203", 3, 0xFA}, {"FF", 1, 0x01}, {"", 0, 0},  {"0102", 0, 0},
      {"01020", 3, 0xFD},  // the odd digit reads as 0x00 and the walk stops
      {"0102", 4, 0xFD},   // a short text adds nothing past its end
  };
  for (const ChecksumCase &c : cases) {
    ExactCopy text(c.text);
    EXPECT_EQ(u8_checksum_from_hex_string(text.get(), c.count), c.sum) << c.text;
  }
}

static std::vector<std::string> pieces(char **table) {
  std::vector<std::string> out;
  for (size_t k = 0; table[k] != nullptr; k++) out.push_back(table[k]);
  return out;
}

TEST(StrSplit, PiecesDelimitersAndNullInput) {
  {
    char text[] = ":ab::cd:e";
    char **table = str_split(text, ":");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(pieces(table), (std::vector<std::string>{"ab", "cd", "e"}));
    EXPECT_EQ(text[0], ':') << "a leading delimiter stays in place";
    EXPECT_EQ(text[3], '\0') << "the delimiter after a piece becomes NUL";
    EXPECT_EQ(table[0], text + 1) << "pieces stay inside the text";
    free(table);
  }
  {
    char text[] = "a,b;c";
    char **table = str_split(text, ",;");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(pieces(table), (std::vector<std::string>{"a", "b", "c"}));
    free(table);
  }
  char text[] = "abc";
  EXPECT_EQ(str_split(nullptr, ":"), nullptr);
  EXPECT_EQ(str_split(text, nullptr), nullptr);

  // A text without any piece yields no table.
  for (const char *empty : {"", ":", ":::"}) {
    ExactCopy copy(empty);
    EXPECT_EQ(str_split(copy.get(), ":"), nullptr) << "'" << empty << "'";
  }
}

TEST(StrSplit, TableGrowsForManyPieces) {
  // Every count around a doubling of the table, and one large text.
  for (int count : {1, 2, 3, 4, 7, 8, 9, 1000, 131071, 131072}) {
    std::string text;
    for (int k = 0; k < count; k++) text += ":" + std::to_string(k);
    ExactCopy copy(text);
    char **table = str_split(copy.get(), ":");
    ASSERT_NE(table, nullptr);
    int k = 0;
    for (; table[k] != nullptr; k++) ASSERT_EQ(std::string(table[k]), std::to_string(k));
    EXPECT_EQ(k, count);
    free(table);
  }
}
