#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "FleetTestSupport.h"
#include "fleet/FleetLogs.h"
#include "fleet/LogRetention.h"
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

namespace fs = std::filesystem;
#define DAY 86400

static void plantLink(const std::string &target, const std::string &path) {  // Windows: a file
#ifdef _WIN32
  std::ofstream(path) << target;
#else
  fs::create_symlink(target, path);
#endif
}

// Names never an earlier run's (a link included), a number free for log and trace alike, a folder
// per day under a watch, and a run started again on the folders carrying on past every number taken.
TEST(FleetNames, EachLogIsNewAndNumberedWithoutASearchThatGrows) {
  const std::string top = testing::TempDir() + "names/";
  fs::remove_all(top);
  for (const char *folder : {"traces", "logs"}) fs::create_directories(top + folder);
  for (const char *taken : {"logs/update-COM3.log", "logs/update-COM3-2.log", "traces/update-COM5.trace"})
    std::ofstream(top + taken) << "earlier";
  plantLink(top + "victim", top + "logs/update-COM4.log");
  const time_t d = 20432 * (time_t)DAY;  // 2025-12-10
  LogNames flat(top + "logs", top + "traces", false), daily(top + "logs", "", true);
  std::string log, trace, error;
  for (auto [port, expected] : std::vector<std::pair<int, std::string>>{
           {3, "update-COM3-3"}, {4, "update-COM4-2"}, {5, "update-COM5-2"}, {3, "update-COM3-4"}}) {
    EXPECT_TRUE(flat.next(port, d, &log, &trace, &error)) << error;
    EXPECT_EQ(log + trace, fleet_nativePath(top + "logs/" + expected + ".log" + top + "traces/" + expected + ".trace"));
  }
  for (int i = 0; i < 1000; i++) daily.next(3, d + 60, &log, &trace, &error), std::ofstream(log) << "its child's";
  EXPECT_EQ(log + trace, fleet_nativePath(top + "logs/2025-12-10/update-COM3-1000.log"));
  LogNames again(top + "logs", "", true);
  for (auto [when, expected] : std::vector<std::pair<time_t, std::string>>{
           {d + DAY - 1, "logs/2025-12-10/update-COM3-1001.log"}, {d + DAY, "logs/2025-12-11/update-COM3.log"}})
    EXPECT_TRUE(again.next(3, when, &log, &trace, &error) && log == fleet_nativePath(top + expected)) << log;
  plantLink(top + "traces", top + "logs/2025-12-12");
  EXPECT_FALSE(again.next(3, d + 2 * DAY, &log, &trace, &error));
  EXPECT_EQ(error, fleet_nativePath(top + "logs/2025-12-12") + " is not a folder (a link or a file)");
}

// Only whole day folders of ours past the retention go, a bounded part a
// step, and another pass only an hour after the last.
TEST(LogRetention, RemovesOurDayFoldersPastTheRetentionOnly) {
  const std::string logs = testing::TempDir() + "retention";
  fs::remove_all(logs);
  for (auto [day, files, other] : std::vector<std::tuple<std::string, int, std::string>>{
           {"2025-12-10", 1, ""}, {"2025-11-09", 1, ".update-COM1.log.Ab12"}, {"2025-11-08", 600, ""},
           {"2024-02-29", 1, ".update-COM2.log.x"}, {"2025-11-01", 1, "notes.txt"}, {"2025-02-29", 1, ""},
           {"old", 1, ""}}) {
    fs::create_directories(logs + "/" + day);
    for (int i = 1; i <= files; i++) std::ofstream(logs + "/" + day + "/update-COM1-" + std::to_string(i) + ".log");
    std::ofstream(logs + "/" + day + "/" + (other.empty() ? "update-COM2.log" : other));
  }
  plantLink(logs + "/2025-12-10", logs + "/2025-01-01");
  const time_t today = 20432 * (time_t)DAY + 3600;  // 2025-12-10 01:00: 11-09 is 30 days past 11-10
  LogRetention retention({fleet_nativePath(logs)}, 30);
  std::vector<std::string> notes, left;
  int steps = 0;
  for (double now = 0; steps == 0 || retention.busy(); now += 0.1, steps++) retention.step(now, today, &notes);
  EXPECT_EQ(steps, 5);  // 603 files listed then removed, 256 a step
  for (const auto &entry : fs::directory_iterator(logs)) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"2025-01-01", "2025-02-29", "2025-11-01", "2025-11-09", "2025-12-10", "old"}));
  const std::string past = " is past --keep-logs but kept: ";
  EXPECT_EQ(notes, (std::vector<std::string>{
                       fleet_nativePath(logs + "/2025-01-01") + past + "it is no folder of its own (a link or a file)",
                       fleet_nativePath(logs + "/2025-11-01") + past + "it holds notes.txt, which is no log of ours"}));
  EXPECT_TRUE(fs::exists(logs + "/2025-12-10/update-COM1-1.log"));
  retention.step(3599, today + DAY, &notes);  // within the hour: no pass
  EXPECT_TRUE(fs::exists(logs + "/2025-11-09"));
  retention.step(3600, today + DAY, &notes);
  EXPECT_FALSE(fs::exists(logs + "/2025-11-09"));
}
