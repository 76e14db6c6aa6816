#include <limits.h>
#include <stdlib.h>
#include <string.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "FleetTestSupport.h"
#include "fleet/StationHistory.h"

// What a reading of TEXT gives: "r3" for a record at line 3, "s2:1" for line 2 skipped (HistorySkip 1).
static std::string historyReading(const std::string &text, size_t piece) {
  std::string got;
  HistoryReader reader([&got](const HistoryEntry &e) { got += " r" + std::to_string(e.line); },
                       [&got](size_t line, HistorySkip why) {
                         got += " s" + std::to_string(line) + ":" + std::to_string(why);
                       });
  for (size_t at = 0; at < text.size(); at += piece) reader.feed(text.data() + at, std::min(piece, text.size() - at));
  reader.end();
  return got;
}

TEST(StationHistory, ReaderTakesRecordsAndNamesEveryOtherLine) {
  const std::string rec = "{\"result\":\"updated\",\"seconds\":5}";
  struct Case {
    std::string text;
    const char *expected;
  } cases[] = {
      {"", ""},
      {rec + "\n" + rec + "\n", " r1 r2"},
      {rec + "\r\n\r\n  \n" + rec + "\r\n", " r1 r4"},  // CRLF, blank lines
      {rec + "\nnot json\n[1]\n{\"result\":3}\n{\"result\":\"x\"\n" + rec + "\n", " r1 s2:0 s3:0 s4:0 s5:0 r6"},
      {rec + "\n" + rec.substr(0, 10), " r1 s2:2"},  // torn last line
      {rec.substr(0, 10) + "\n" + rec + "\n", " s1:0 r2"},  // the torn line closed by the next writer
      {std::string(70000, 'x') + "\n" + rec + "\n", " s1:1 r2"},
      {rec + "\n" + std::string(70000, '['), " r1 s2:2"},
  };
  for (const Case &c : cases)
    for (size_t piece : {(size_t)1, (size_t)4096, c.text.size() + 1})
      EXPECT_EQ(historyReading(c.text, piece), c.expected) << &c - cases << " " << piece;
}

// A line the quick reader takes (in the writers' form) reads as the full
// parser reads it, and --json and --csv write it as from the parsed object;
// any other line is left to the full parser.
TEST(StationHistory, QuickReadingOfTheWritersLinesIsTheFullParsersReading) {
  FleetRecord r;
  r.address = "COM3", r.result = FLEET_RESULT_FAILED, r.seconds = 95.3, r.baud = 9600;
  r.runStarted = "2026-12-09T08:00:00Z", r.runSeconds = 3600.25, r.started = "2026-12-09T07:10:00Z";
  const StationContext context = stationHistory_context("9.9");
  auto writers = [&](const char *label) {
    r.label = label;
    std::string line = stationHistory_line(r, context);
    return line.substr(0, line.size() - 1);
  };
  auto edited = [&](const char *from, const char *to) {
    std::string line = writers("L");
    return line.replace(line.find(from), strlen(from), to);
  };
  const struct {
    std::string line;
    bool quick;
  } cases[] = {
      {writers("SN 1"), true},
      {writers("q\"b\\s\n\t\x01\x7f"), true},  // escapes, as the dump writes them
      {writers("\xc3\xa9 \xf0\x9f\x98\x80 \xc2\x85"), true},  // UTF-8, a C1 control
      {writers("=1,\"2\""), true},  // quoted and kept from a spreadsheet in the CSV
      {edited("\"seconds\":95.3", "\"seconds\":-0.0"), true},
      {edited("\"seconds\":95.3", "\"seconds\":12345678901234.5"), true},  // tenths, the most
      {edited("\"baud\":9600", "\"baud\":-12345678901234567"), true},
      {edited("\"attempts\":1", "\"attempts\":3"), true},
      {edited("\"label\":\"L\"", "\"label\":true,\"x\":null"), true},
      {edited("\"run_seconds\":3600.3", "\"run_seconds\":null"), true},  // never started
      {edited("\"run_seconds\":3600.3", "\"run_seconds\":4000000000.0"), true},  // a century
      {edited(",\"run_started\":\"2026-12-09T08:00:00Z\",\"run_seconds\":3600.3", ""), true},
      {edited("\"run_started\":\"2026-12-09T08:00:00Z\"", "\"run_started\":\"8:00\""), true},
      {edited("\"baud\":9600", "\"baud\":1e10"), false},  // the dump writes 10000000000.0
      {edited("\"baud\":9600", "\"baud\":-0"), false},
      {edited("\"seconds\":95.3", "\"seconds\":95.30"), false},
      {edited("\"seconds\":95.3", "\"seconds\":1234567890123456789"), false},  // not past 18 digits
      {edited("\"label\":\"L\"", "\"label\": \"L\""), false},
      {edited("\"label\":\"L\"", "\"label\":\"\\u00e9\\/\""), false},
      {edited("\"label\":\"L\"", "\"label\":\"\\u001F\""), false},
      {edited("\"label\":\"L\"", "\"label\":\"\\u0009\""), false},
      {edited("\"label\":\"L\"", "\"label\":\"A\",\"label\":\"B\""), false},  // the parser keeps B
      {edited("\"label\":\"L\"", "\"label\":{\"a\":[1]}"), false},
      {edited("\"result\":\"failed\"", "\"result\":3"), false},
      {edited("\"label\":\"L\"", "\"label\":\"\xed\xa0\x80\""), false},  // a surrogate: no record
  };
  const std::vector<std::string> keys = stationHistory_keys();
  for (const auto &c : cases) {
    HistoryLineReader quick;
    HistoryEntry e;
    EXPECT_EQ(quick.read(c.line.data(), c.line.size(), &e), c.quick) << c.line;
    std::vector<HistoryEntry> read[2];
    for (int without : {0, 1}) {
      HistoryReader reader([&](const HistoryEntry &entry) { read[without].push_back(entry); },
                           [](size_t, HistorySkip) {});
      if (without) reader.recordsWithoutJson();
      reader.feed((c.line + "\n").data(), c.line.size() + 1);
    }
    ASSERT_EQ(read[0].size(), read[1].size()) << c.line;
    if (read[0].empty()) continue;
    const HistoryEntry &parsed = read[0][0], &quickly = read[1][0];
    EXPECT_EQ(quickly.json.is_null(), c.quick);
    EXPECT_EQ(quickly.text, parsed.json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    EXPECT_TRUE(quickly.text == c.line || !c.quick) << c.line;
    EXPECT_EQ(quick.csvLine(quickly, keys), fleet_csvLine(parsed.json, keys)) << c.line;
    const FleetRecord &a = parsed.record, &b = quickly.record;
    EXPECT_EQ(std::tie(a.label, a.address, a.result, a.seconds, a.baud, a.hookStatus, a.attempts,
                       parsed.slot, a.runStarted, a.runSeconds, parsed.runStart, parsed.runEnd),
              std::tie(b.label, b.address, b.result, b.seconds, b.baud, b.hookStatus, b.attempts,
                       quickly.slot, b.runStarted, b.runSeconds, quickly.runStart, quickly.runEnd))
        << c.line;
    if (c.line.find("1e10") != std::string::npos) {
      EXPECT_EQ(b.baud, INT_MAX);  // not a cast past int
    }
  }
}

TEST(StationHistory, FiltersChooseUnitsAndTheFooterCountsThem) {
  const char *lines[] = {
      "{\"result\":\"updated\",\"label\":\"A\",\"address\":\"COM3\",\"location\":\"1-1.4\",\"vid\":\"0403\","
      "\"started\":\"2026-12-09T08:00:00Z\",\"finished\":\"2026-12-09T08:05:00Z\",\"seconds\":300}",
      "{\"result\":\"failed\",\"label\":\"B\",\"address\":\"socket://h:1\",\"slot\":\"socket://h:1\","
      "\"started\":\"2026-12-09T08:01:00Z\",\"finished\":\"2026-12-09T08:02:00Z\",\"seconds\":60}",
      "{\"result\":\"current\",\"label\":\"C\",\"address\":\"COM4\",\"device\":\"/dev/ttyUSB1\","
      "\"started\":\"2026-12-09T08:10:00Z\",\"finished\":\"2026-12-09T08:10:30Z\",\"seconds\":30}"};
  std::vector<HistoryEntry> entries;
  HistoryReader reader([&](const HistoryEntry &e) { entries.push_back(e); }, [](size_t, HistorySkip) {});
  for (const char *line : lines) reader.feed((std::string(line) + "\n").c_str(), strlen(line) + 1);
  ASSERT_EQ(entries.size(), 3u);
  struct Case {
    const char *since, *until, *result, *label, *slot, *port, *expected;
  } cases[] = {
      {"", "", "", "", "", "", "ABC"},
      {"2026-12-09T08:03", "", "", "", "", "", "AC"},
      {"", "2026-12-09T08:02:00Z", "", "", "", "", "B"},  // up to that second, included
      {"2026-12-09", "2026-12-09", "", "", "", "", "ABC"},  // the whole day
      {"", "2026-12-08", "", "", "", "", ""},
      {"", "", "failed", "", "", "", "B"},
      {"", "", "", "C", "", "", "C"},
      {"", "", "", "", "1-1.4", "", "A"},
      {"", "", "", "", "usb:1-1.4", "", "A"},
      {"", "", "", "", "COM4", "", "C"},  // no location: the slot is the address
      {"", "", "", "", "", "3", "A"},
      {"", "", "", "", "", "com4", "C"},
      {"", "", "", "", "", "/dev/ttyUSB1", "C"},
      {"", "", "", "", "", "socket://h:1", "B"},
  };
  for (const Case &c : cases) {
    HistoryFilter f;
    EXPECT_TRUE(!*c.since || stationHistory_parseTime(c.since, false, &f.since)) << c.since;
    EXPECT_TRUE(!*c.until || stationHistory_parseTime(c.until, true, &f.until)) << c.until;
    f.result = c.result, f.label = c.label, f.slot = c.slot, f.port = c.port;
    std::string chosen;
    for (const HistoryEntry &e : entries)
      if (historyFilter_matches(f, e)) chosen += e.record.label;
    EXPECT_EQ(chosen, c.expected) << &c - cases;
  }
  time_t when = 0;
  for (const char *bad : {"2026-02-29", "2026-12-09Z", "2026-1-09", "09.12.2026", "2026-12-09T24:00", "2026-12-09T08"})
    EXPECT_FALSE(stationHistory_parseTime(bad, false, &when)) << bad;
  HistoryFooter footer, none;
  for (const HistoryEntry &e : entries) footer.add(e);
  footer.skipped(HISTORY_TORN);
  EXPECT_EQ(footer.lines(), (std::vector<std::string>{
                                "3 units: updated 1, current 1, failed 1, interrupted 0",
                                "median time per updated unit 5:00; updated units per hour 5.7 (1 "
                                "of 3 updated in 10:30 from the first start to the last end)",
                                "1 line skipped: 0 not a record, 0 too long, 1 torn"}));
  for (size_t i : {1, 2}) none.add(entries[i]);  // a time spent, nothing updated
  EXPECT_EQ(none.lines()[1], "median time per updated unit -; updated units per hour 0.0 (0 of 2 "
                             "updated in 9:30 from the first start to the last end)");
}

#ifndef _WIN32
// Two processes appending at once, after a writer killed mid-line: every
// record whole, the torn line closed as a line of its own; a planted link refused.
TEST(StationHistory, AppendsFromTwoProcessesAtOnceStayWholeLines) {
  // A folder of this process's own: two suites run at once must not share it.
  const std::string folder = testing::TempDir() + "fleet-history-" + std::to_string(getpid()) + "/",
                    path = folder + "a/b/history.jsonl";
  system(("rm -rf " + folder).c_str());
  FleetRecord r;
  r.address = "COM3", r.type = "TX", r.result = FLEET_RESULT_UPDATED, r.label = std::string(3000, 'L');
  const StationContext context = stationHistory_context("9.9");
  std::string error;
  ASSERT_TRUE(stationHistory_append(path, r, context, &error)) << error;
  std::ofstream(path, std::ios::app) << stationHistory_line(r, context).substr(0, 100);
  pid_t children[2];
  for (pid_t &child : children)
    if ((child = fork()) == 0) {
      for (int i = 0; i < 300; i++)
        if (!stationHistory_append(path, r, context, &error)) _exit(1);
      _exit(0);
    }
  for (pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(historyReading(fileText(path), 65536), " r1 s2:0" + [] {
    std::string rest;
    for (int line = 3; line < 603; line++) rest += " r" + std::to_string(line);
    return rest;
  }());
  nlohmann::json line = nlohmann::json::parse(stationHistory_line(r, context));
  EXPECT_EQ(line["slot"], "COM3");
  EXPECT_EQ(line["tool_version"], "9.9");
  EXPECT_EQ(line["fpga_checksum"], context.txLogic.checksum);
  EXPECT_EQ(line.size(), 35u);
  EXPECT_EQ(line["attempts"], 1);
  // history --csv: the columns added later come last, in their order, the others where they were.
  const std::vector<std::string> keys = stationHistory_keys();
  EXPECT_EQ(std::vector<std::string>(keys.end() - 4, keys.end()),
            (std::vector<std::string>{"fpga_checksum", "attempts", "run_started", "run_seconds"}));
  ASSERT_EQ(symlink(path.c_str(), (folder + "link").c_str()), 0);
  EXPECT_FALSE(stationHistory_append(folder + "link", r, context, &error));
  EXPECT_NE(error.find("link"), std::string::npos) << error;
  system(("rm -rf " + folder).c_str());
}
#endif
