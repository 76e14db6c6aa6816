#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "FleetTestSupport.h"
#include "fleet/FleetLogs.h"
#include "platform/Files.h"

TEST(FleetNames, NumberAndPortGoBeforeTheExtension) {
  struct Case {
    const char *path;
    int number;  // 0: the port's name, COM3; -1: rfc2217://127.0.0.1:3001's
    const char *expected;
  } cases[] = {
      {"wire.txt", -1, "wire-rfc2217-127.0.0.1-3001.txt"},
      {"logs/update-COM3.log", 1, "logs/update-COM3.log"},
      {"logs/update-COM3.log", 2, "logs/update-COM3-2.log"},
      {"update-all-20261208T083000Z", 3, "update-all-20261208T083000Z-3"},
      {"a.b/trace", 2, "a.b/trace-2"},
      {"wire.txt", 0, "wire-COM3.txt"},
      {"C:\\traces\\wire", 0, "C:\\traces\\wire-COM3"},
      {"/var/tmp/.trace", 0, "/var/tmp/.trace-COM3"},
  };
  for (const Case &c : cases) {
    std::string got = c.number < 0    ? fleet_portFileName(c.path, registeredPort("rfc2217://127.0.0.1:3001"))
                      : c.number == 0 ? fleet_portFileName(c.path, 3)
                                      : fleet_numberedName(c.path, c.number);
    EXPECT_EQ(got, c.expected) << c.path;
  }
  // A host name of 253 characters: cut to fit, hashed whole, so that two cut alike stay apart.
  std::string host = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                     std::string(61, 'd');
  const std::string cut = fleet_portFileName("wire.txt", registeredPort(("rfc2217://" + host + ":3001").c_str()));
  EXPECT_EQ(cut, "wire-rfc2217-" + std::string(54, 'a') + "-cec149a0-" + std::string(19, 'd') + "-3001.txt");
  host[130] = 'x';
  EXPECT_NE(fleet_portFileName("wire.txt", registeredPort(("rfc2217://" + host + ":3001").c_str())), cut);
}

TEST(FleetLog, ATranscriptReadsAsTheTerminalLeftIt) {
  struct Case {
    const char *raw, *lf, *crlf;
  } cases[] = {
      {"\n\rA\n\r\n\rB.....", "\nA\n\nB.....", "\r\nA\r\n\r\nB....."},
      {"OK\r\nRate : 9600 \r\n\r\nX", "OK\nRate : 9600 \n\nX", "OK\r\nRate : 9600 \r\n\r\nX"},
      {"Sending 1%\b\b5%\b\b10%\b\b\b99%OK\r\n", "Sending 99%OK\n", "Sending 99%OK\r\n"},
      {"wait   0%\b\b\b\b 50%\b\b\b\b100% OK\n\r", "wait 100% OK\n", "wait 100% OK\r\n"},
      {"Looking COM12\b\b\b\b\b     \b\b\b\b\bOK\r\n", "Looking OK\n", "Looking OK\r\n"},
      {"\b\bab\bc\n\n\r\r", "ac\n\n\n", "ac\r\n\r\n\r\n"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(fleet_readableText(c.raw, "\n"), c.lf) << c.raw;
    EXPECT_EQ(fleet_readableText(c.raw, "\r\n"), c.crlf) << c.raw;
    const std::string raw = c.raw;
    for (size_t at = 0; at <= raw.size(); at++) {
      ReadableText readable("\n");
      std::string text;
      readable.feed(raw.data(), at, &text);
      readable.feed(raw.data() + at, raw.size() - at, &text);
      readable.end(&text);
      EXPECT_EQ(text, c.lf) << raw << " split at " << at;
    }
  }
  // A log of many parts, rewritten a part at a time: line ends and
  // backspaces across the parts' edges, and a line longer than one part.
  const std::string log = testing::TempDir() + "readable.log";
  std::string raw, readable;
  for (int i = 0; i < 100000; i++) raw += "Sent 1%\b\b5%\n\r", readable += "Sent 5%" FILES_LINE_END;
  raw += std::string(300000, 'x'), readable += std::string(300000, 'x');
  std::ofstream(log, std::ios::binary) << raw;
  std::string error;
  EXPECT_TRUE(fleet_rewriteReadable(log, &error)) << error;
  EXPECT_TRUE(fileText(log) == readable);
  EXPECT_TRUE(fleet_rewriteReadable(log, &error)) << error;
  EXPECT_TRUE(fileText(log) == readable);
}
