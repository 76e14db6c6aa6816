// The web file checker: one file per kind of disagreement, the problem it names.
#include <gtest/gtest.h>

#include <string>

#include "webfile/WebFileVerifier.h"

namespace {

const std::string kHeader = "ZarVel\r\n482619\r\n1.0.4\r\n";
const std::string kFourBytes = kHeader + "4294967286\r\n4\r\nAQIDBAAA";
const std::string kLine(928, 'A');  // 696 zero bytes

TEST(WebFileVerifier, AcceptsWhatTheWriterWritesAndNamesEveryDisagreement) {
  struct Row {
    const char *name;
    std::string file;
    std::string problem;  // a part of the message; empty when the file is good
  };
  const Row rows[] = {
      {"four-byte image", kFourBytes, ""},
      {"empty image", kHeader + "0\r\n0\r\n", ""},
      {"two lines", kHeader + "0\r\n697\r\n" + kLine + "\r\nAAAA", ""},
      {"two full lines", kHeader + "0\r\n1392\r\n" + kLine + "\r\n" + kLine, ""},
      {"length also fits the same groups", kHeader + "4294967286\r\n5\r\nAQIDBAAA", ""},

      {"empty file", "", "maker line does not end in CR LF"},
      {"maker", "Zarvel\r\n482619\r\n1.0.4\r\n0\r\n0\r\n", "maker line is \"Zarvel\""},
      {"model", "ZarVel\r\n482618\r\n1.0.4\r\n0\r\n0\r\n", "model line"},
      {"release", "ZarVel\r\n482619\r\n1.0.3\r\n0\r\n0\r\n", "release line"},
      {"LF header", "ZarVel\n482619\n1.0.4\n0\n0\n", "maker line does not end in CR LF"},
      {"long header line", kHeader + "1234567890123456\r\n0\r\n", "longer than 15"},
      {"header cut short", kHeader + "0\r\n", "length line does not end in CR LF"},
      {"leading zero", kHeader + "04294967286\r\n4\r\nAQIDBAAA", "checksum line"},
      {"checksum beyond 32 bits", kHeader + "4294967296\r\n4\r\nAQIDBAAA", "checksum line"},
      {"signed checksum", kHeader + "-10\r\n4\r\nAQIDBAAA", "checksum line"},
      {"length not a number", kHeader + "4294967286\r\n4x\r\nAQIDBAAA", "length line"},
      {"length beyond the image buffer", kHeader + "0\r\n4194305\r\n", "length line"},

      {"wrong checksum", kHeader + "4294967285\r\n4\r\nAQIDBAAA", "checksum is 4294967286"},
      {"nonzero padding byte", kHeader + "4294967285\r\n4\r\nAQIDBAAB", "padding byte 5"},
      {"standard padding", kHeader + "4294967286\r\n4\r\nAQIDBA==", "padding character"},
      {"body too short", kHeader + "4294967286\r\n7\r\nAQIDBAAA", "needs 12"},
      {"body without image", kHeader + "0\r\n0\r\nAAAA", "needs 0"},
      {"image without body", kHeader + "0\r\n3\r\n", "needs 4"},
      {"checksum of an empty image", kHeader + "5\r\n0\r\n", "checksum 0"},
      {"CR LF after the last line", kFourBytes + "\r\n", "ends in CR LF"},
      {"LF between lines", kHeader + "0\r\n697\r\n" + kLine + "\nAAAA", "line 1 does not end in CR LF"},
      {"short line before CR LF", kHeader + "0\r\n697\r\n" + kLine.substr(4) + "\r\nAAAAAAAA",
       "line 1 holds 924 characters"},
      {"empty line", kHeader + "0\r\n697\r\n" + kLine + "\r\n\r\nAAAA", "line 2 holds 0"},
      {"last line too long", kHeader + "0\r\n699\r\n" + kLine + "AAAA", "line 1 holds 932"},
      {"space in the body", kHeader + "4294967286\r\n4\r\nAQID BAA", "not Base64 (code 32)"},
      {"NUL in the body", kHeader + "4294967286\r\n4\r\nAQID" + std::string(1, '\0') + "AAA",
       "not Base64 (code 0)"},

      // A header line is the expected text or a plain number, NUL bytes and
      // what follows them included; what it holds is shown escaped.
      {"NUL in the maker line", std::string("ZarVel\0EVIL\r\n482619\r\n1.0.4\r\n0\r\n0\r\n", 34),
       "maker line is \"ZarVel\\x00EVIL\""},
      {"NUL in the release line", std::string("ZarVel\r\n482619\r\n1.0.4\0Y\r\n0\r\n0\r\n", 31),
       "release line is \"1.0.4\\x00Y\""},
      {"NUL in the length line", kHeader + "4294967286\r\n4" + std::string(1, '\0') + "W\r\nAQIDBAAA",
       "length line \"4\\x00W\""},
      {"NUL in the checksum line", kHeader + "0" + std::string(1, '\0') + "\r\n0\r\n",
       "checksum line \"0\\x00\""},
      {"escape sequence in the model line",
       "ZarVel\r\n\x1b]0;x\x07\x1b[2J\r\n1.0.4\r\n0\r\n0\r\n",
       "model line is \"\\x1b]0;x\\x07\\x1b[2J\""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    WebFileReport report;
    int ok = webFileVerifier_verify((const unsigned char *)row.file.data(), row.file.size(), &report);
    EXPECT_EQ(row.problem.empty() ? 1 : 0, ok);
    for (const char *text : {report.problem, report.maker, report.model, report.release})
      for (const char *c = text; *c != 0; c++) EXPECT_TRUE(*c >= 0x20 && *c < 0x7F) << text;
    if (row.problem.empty())
      EXPECT_STREQ("", report.problem);
    else
      EXPECT_NE(std::string::npos, std::string(report.problem).find(row.problem)) << report.problem;
  }

  // What a good file holds.
  WebFileReport report;
  ASSERT_EQ(1, webFileVerifier_verify((const unsigned char *)kFourBytes.data(), kFourBytes.size(), &report));
  EXPECT_STREQ("ZarVel", report.maker);
  EXPECT_EQ(4294967286u, report.headerCheckSum);
  EXPECT_EQ(4, report.headerLength);
  EXPECT_EQ(8, report.bodyCharacters);
  EXPECT_EQ(1, report.bodyLines);
  EXPECT_EQ(6, report.decodedBytes);
  EXPECT_EQ(4294967286u, report.decodedCheckSum);

  // Oversized input is refused before a byte of it is read.
  EXPECT_EQ(0, webFileVerifier_verify((const unsigned char *)kFourBytes.data(),
                             (size_t)WEB_FILE_MAX_SIZE + 1, &report));
  EXPECT_NE(std::string::npos, std::string(report.problem).find("larger than"));
}

}  // namespace
