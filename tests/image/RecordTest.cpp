// Hex digits, hex bytes, record lines and the text splitter.
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "image/IntelHex.h"
#include "image/StringOperations.h"

TEST(HexText, DigitsAndBytes) {
  const std::pair<char, int> digits[] = {{'9', 9}, {'a', 10}, {'A', 10}, {'f', 15}, {'F', 15},
                                         {'G', 0}, {' ', 0},  {'\0', 0}, {(char)0xC1, 0}};
  for (const auto &d : digits) EXPECT_EQ(int_from_hex_char(d.first), d.second) << (int)d.first;

  const std::pair<const char *, int> bytes[] = {{"7", 7},  {"", 0},     {"A5FF", 0xA5},
                                                {"G5", 5}, {"5G", 0x50}, {"a5", 0xA5}};
  for (const auto &b : bytes) EXPECT_EQ(u8_from_hex_string(ExactCopy(b.first).text), b.second) << b.first;
}

// One row per line: what every operation answers. Lines are held in blocks of
// exactly their size, so a read past a line fails under ASan.
TEST(IntelHexRecord, LineOperations) {
  const std::string ff16 = ":10000000" + std::string(32, 'F');
  const std::string at1234 = hexRecord(0, 0x1234, {1, 2, 3, 4});
  const std::string at1234Bad = at1234.substr(0, at1234.size() - 1) + (at1234.back() == '0' ? "1" : "0");
  const uint8_t noType = (uint8_t)('\0' - '0');  // the line ends before its type character
  struct LineCase {
    std::string line;
    bool valid;
    uint8_t type, count;
    uint16_t address;
    std::vector<uint8_t> data;
  } const cases[] = {
      {":020000040000FA", true, 4, 2, 0, {0, 0}},
      {ff16 + "00", true, 0, 16, 0, std::vector<uint8_t>(16, 0xFF)},
      {ff16 + "01", false, 0, 16, 0, {}},
      {ff16 + "10", false, 0, 16, 0, {}},
      {":0200000480007a", true, 4, 2, 0, {0x80, 0}},
      {":0200000480007A\r", false, 4, 2, 0, {}},     // a stray CR spoils the checksum...
      {":01000000FF00\r", true, 0, 1, 0, {0xFF}},    // ...unless the checksum is 00
      {":00000001FF", true, 1, 0, 0, {}},            // empty data, still an allocation
      {at1234, true, 0, 4, 0x1234, {1, 2, 3, 4}},
      {at1234Bad, false, 0, 4, 0, {}},               // not valid: the address reads 0
      {":020000140000EA", true, 4, 2, 0, {0, 0}},    // only the second type character counts
      {":0400001001020304E2", true, 0, 4, 0, {1, 2, 3, 4}},
      {"0200000480007A", false, 8, 0x20, 0, {}},     // no start code
      {"", false, noType, 0, 0, {}},
      {":", false, noType, 0, 0, {}},
      {":10000000FF", false, 0, 16, 0, {}},          // shorter than its byte count announces
      {hexRecord(0, 0, std::vector<uint8_t>(252, 1)), false, 0, 252, 0, {}},
      {hexRecord(0, 0, std::vector<uint8_t>(251, 1)), true, 0, 251, 0, std::vector<uint8_t>(251, 1)},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.line);
    ExactCopy line(c.line);
    EXPECT_EQ(intel_hex_line_is_valid(line.text), c.valid);
    EXPECT_EQ(intel_hex_line_record_type(line.text), c.type);
    EXPECT_EQ(intel_hex_line_is_data_record(line.text), c.type == 0);
    EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(line.text), c.type == 4);
    EXPECT_EQ(intel_hex_line_data_length(line.text), c.count);
    EXPECT_EQ(intel_hex_line_address(line.text), c.address);
    uint8_t *data = new_u8_data_array_from_intel_hex_string(line.text);
    EXPECT_EQ(data != nullptr, c.valid);
    if (data != nullptr) {
      EXPECT_EQ(std::vector<uint8_t>(data, data + c.count), c.data);
    }
    free(data);
  }
  // A walk over more bytes than the text holds stops at its end.
  EXPECT_EQ(u8_checksum_from_hex_string(ExactCopy("0102").text, 4), 0xFD);
}

TEST(StrSplit, PiecesAndGrowingTable) {
  char text[] = ":ab::cd:e";
  char **table = str_split(text, ":");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[0], text + 1);
  EXPECT_STREQ(table[1], "cd");
  EXPECT_STREQ(table[2], "e");
  EXPECT_EQ(table[3], nullptr);
  EXPECT_EQ(text[0], ':') << "a leading delimiter stays in place";
  free(table);
  EXPECT_EQ(str_split(nullptr, ":"), nullptr);
  EXPECT_EQ(str_split(text, nullptr), nullptr);
  EXPECT_EQ(str_split(ExactCopy(":::").text, ":"), nullptr) << "no piece, no table";

  // Counts on both sides of a doubling of the table, up to the largest image.
  for (int count : {1, 2, 3, 4, 131071, 131072}) {
    std::string many;
    for (int k = 0; k < count; k++) many += ":" + std::to_string(k);
    ExactCopy copy(many);
    char **pieces = str_split(copy.text, ":");
    int k = 0;
    while (pieces[k] != nullptr && std::to_string(k) == pieces[k]) k++;
    EXPECT_EQ(k, count);
    EXPECT_EQ(pieces[k], nullptr);
    free(pieces);
  }
}
