// Base64 codec: the in/out length contract, the text rules of the decoder,
// and round trips over every byte value and line-end style.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "webfile/Encoder.h"

namespace {

const unsigned char kSentinel = 0xA5;

const unsigned char *bytes(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

TEST(Base64Encode, StandardVectorsAndCapacity) {
  struct Row {
    std::string in;
    std::string out;
  };
  const Row rows[] = {{"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
                      {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
                      {"\x01\x02\x03\x04", "AQIDBA=="}, {"\xff", "/w=="},  {"\xfb\xff", "+/8="}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.out);
    const int n = (int)row.out.size();
    std::vector<unsigned char> dst(n + 8, kSentinel);

    // One byte short of text + NUL: refused, size needed stored, nothing written.
    int dlen = n;
    EXPECT_EQ(-1, base64_encode(dst.data(), &dlen, bytes(row.in), (int)row.in.size()));
    EXPECT_EQ(n + 1, dlen);
    EXPECT_EQ(std::vector<unsigned char>(n + 8, kSentinel), dst);

    // Exactly text + NUL: the text, its NUL, the count without the NUL.
    dlen = n + 1;
    EXPECT_EQ(0, base64_encode(dst.data(), &dlen, bytes(row.in), (int)row.in.size()));
    EXPECT_EQ(n, dlen);
    EXPECT_EQ(row.out, std::string(reinterpret_cast<char *>(dst.data()), n));
    EXPECT_EQ(0, dst[n]);
    EXPECT_EQ(kSentinel, dst[n + 1]);
  }
}

TEST(Base64Encode, LengthsOutsideTheContractTouchNothing) {
  unsigned char dst[8];
  unsigned char src[4] = {1, 2, 3, 4};
  memset(dst, kSentinel, sizeof dst);

  // Empty input: success, yet neither the length nor the buffer is touched.
  int dlen = 123;
  EXPECT_EQ(0, base64_encode(dst, &dlen, src, 0));
  EXPECT_EQ(123, dlen);

  // Negative and 2^28 or more (slen * 8 would overflow an int): refused as is.
  for (int slen : {-1, -2147483647 - 1, 1 << 28, 2147483647}) {
    SCOPED_TRACE(slen);
    dlen = (int)sizeof dst;
    EXPECT_EQ(-1, base64_encode(dst, &dlen, src, slen));
    EXPECT_EQ((int)sizeof dst, dlen);
  }
  for (unsigned char c : dst) EXPECT_EQ(kSentinel, c);

  // The largest length taken: the size is computed without overflow (the
  // capacity check fails first, so src is never read).
  dlen = 0;
  EXPECT_EQ(-1, base64_encode(dst, &dlen, src, (1 << 28) - 1));
  EXPECT_EQ(357913940 + 1, dlen);
}

TEST(Base64Decode, Rules) {
  struct Row {
    const char *name;
    std::string text;
    int capacity;
    int result;
    int dlen;             // *dlen afterwards
    std::string output;   // bytes written
  };
  const Row rows[] = {
      {"full groups", "YWJjZGVm", 6, 0, 6, "abcdef"},
      {"one pad", "YWI=", 3, 0, 2, "ab"},
      {"two pads", "YQ==", 3, 0, 1, "a"},
      {"pads count in the size called for", "YQ==", 2, -1, 3, ""},
      {"incomplete last group is dropped", "YQ", 2, 0, 0, ""},
      {"CR LF lines", "YWJj\r\nZGVm\r\n", 6, 0, 6, "abcdef"},
      {"LF lines", "YW\nJjZG\nVm\n", 6, 0, 6, "abcdef"},
      {"line end after padding", "YWI=\r\n", 3, 0, 2, "ab"},
      {"two pads split by a line end", "YQ=\n=", 3, 0, 1, "a"},
      {"only line ends", "\r\n\n", 7, 0, 7, ""},
      {"empty", "", 7, 0, 7, ""},
      {"data after padding", "YQ=A", 7, -1, 7, ""},
      {"data after padding on a later line", "YQ==\r\nYQ==", 7, -1, 7, ""},
      {"three pads", "Y===", 7, -1, 7, ""},
      {"space", "YW Jj", 7, -1, 7, ""},
      {"tab", "YW\tJj", 7, -1, 7, ""},
      {"CR without LF at the end", "YWJj\r", 7, -1, 7, ""},
      {"CR without LF inside", "YW\rJj", 7, -1, 7, ""},
      {"NUL within the length", std::string("YW\0Jj", 5), 7, -1, 7, ""},
      {"byte of 128 or more", "YW\xc3Jj", 7, -1, 7, ""},
      {"URL alphabet", "YW-_", 7, -1, 7, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<unsigned char> dst(16, kSentinel);
    int dlen = row.capacity;
    EXPECT_EQ(row.result, base64_decode(dst.data(), &dlen, bytes(row.text), (int)row.text.size()));
    EXPECT_EQ(row.dlen, dlen);
    EXPECT_EQ(row.output, std::string(reinterpret_cast<char *>(dst.data()), row.output.size()));
    // Nothing beyond the output, and no NUL after it.
    for (size_t i = row.output.size(); i < dst.size(); i++) EXPECT_EQ(kSentinel, dst[i]) << i;
  }

  // A negative length is refused; a size query without a buffer gets the size.
  int dlen = 5;
  EXPECT_EQ(-1, base64_decode(NULL, &dlen, bytes("YWJj"), -1));
  EXPECT_EQ(5, dlen);
  dlen = 0;
  EXPECT_EQ(-1, base64_decode(NULL, &dlen, bytes("YWJj"), 4));
  EXPECT_EQ(3, dlen);
}

TEST(Base64, RoundTripEveryByteAndLineEndStyle) {
  srand(7);
  for (int length : {1, 2, 3, 4, 5, 255, 256, 257, 1000}) {
    SCOPED_TRACE(length);
    std::vector<unsigned char> data(length);
    for (int i = 0; i < length; i++) data[i] = (unsigned char)(length <= 256 ? i : rand());

    std::vector<unsigned char> text(4 * ((length + 2) / 3) + 1);
    int textLength = (int)text.size();
    ASSERT_EQ(0, base64_encode(text.data(), &textLength, data.data(), length));
    std::string plain(reinterpret_cast<char *>(text.data()), textLength);

    // The same text with CR LF or LF inserted every few characters.
    for (const char *lineEnd : {"", "\r\n", "\n"}) {
      std::string cut;
      for (size_t i = 0; i < plain.size(); i++) {
        cut += plain[i];
        if (i % 7 == 6) cut += lineEnd;
      }
      std::vector<unsigned char> back(length + 2);
      int backLength = (int)back.size();
      ASSERT_EQ(0, base64_decode(back.data(), &backLength, bytes(cut), (int)cut.size()));
      ASSERT_EQ(length, backLength);
      back.resize(length);
      EXPECT_EQ(data, back);
    }
  }
}

}  // namespace
