#include <stdio.h>
#include <string.h>
#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "../TestTiming.h"
#include "fleet/FleetLogs.h"
#include "fleet/FleetProbe.h"
#include "fleet/FleetReport.h"
#include "fleet/LabelQueue.h"
#include "fleet/ProgressChannel.h"
#include "fleet/StationHistory.h"
#include "fleet/UnitHooks.h"
#include "platform/Files.h"
#include "platform/PortList.h"
#include "platform/Subprocess.h"
#include "serial/PortDescription.h"
#include "serial/PortAddress.h"

TEST(FleetPortList, ParsesRangesAndRefusesTheRest) {
  struct Case {
    const char *text;
    bool ok;
    std::vector<int> ports;
  } cases[] = {
      {"1-8,12", true, {1, 2, 3, 4, 5, 6, 7, 8, 12}},
      {"3,1", true, {3, 1}},
      {"1-3,2", true, {1, 2, 3}},
      {"255", true, {255}},
      {"", false, {}},
      {"0", false, {}},
#ifdef _WIN32  // Windows numbers COM ports up to 4096
      {"4096", true, {4096}},
      {"4097", false, {}},
#else
      {"256", false, {}},
#endif
      {"5-3", false, {}},
      {"1,,2", false, {}},
      {"1,", false, {}},
      {"1-", false, {}},
      {"COM1", false, {}},
      {"1 2", false, {}},
  };
  for (const Case &c : cases) {
    std::vector<int> ports;
    EXPECT_EQ(portList_parse(c.text, &ports), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(ports, c.ports) << c.text;
    }
  }
}

TEST(ProgressChannel, LinesSurviveAnySplitAndBadLinesAreDropped) {
  UpdateEvent step = {UPDATE_EVENT_STEP, UPDATE_STEP_SENDING_LOGIC, 0, NULL, NULL};
  UpdateEvent percent = {UPDATE_EVENT_PERCENT, UPDATE_STEP_SENDING_LOGIC, 42, NULL, NULL};
  UpdateEvent fact = {UPDATE_EVENT_FACT, UPDATE_STEP_SENDING_LOGIC, 42, "message", "Expected\r\nSUCCESS"};
  std::string stream = progressChannel_line(step) + "percent 101\nnonsense\n" + progressChannel_line(percent) +
                       progressChannel_line(fact) + "step failed";  // the last line is not ended yet
  EXPECT_EQ(progressChannel_line(step), "step sending logic\n");
  EXPECT_EQ(progressChannel_line(fact), "fact message Expected  SUCCESS\n");
  // Every split of the stream into two pieces gives the same events.
  for (size_t cut = 0; cut <= stream.size(); cut++) {
    ProgressReader reader;
    std::vector<ProgressLine> lines = reader.feed(stream.data(), cut);
    std::vector<ProgressLine> more = reader.feed(stream.data() + cut, stream.size() - cut);
    lines.insert(lines.end(), more.begin(), more.end());
    ASSERT_EQ(lines.size(), 3u) << cut;
    EXPECT_EQ(lines[0].kind, ProgressLine::STEP);
    EXPECT_EQ(lines[0].step, FLEET_STEP_SENDING_LOGIC);
    EXPECT_EQ(lines[1].kind, ProgressLine::PERCENT);
    EXPECT_EQ(lines[1].percent, 42);
    EXPECT_EQ(lines[2].kind, ProgressLine::FACT);
    EXPECT_EQ(lines[2].key, "message");
    EXPECT_EQ(lines[2].value, "Expected  SUCCESS");
    std::vector<ProgressLine> last = reader.feed("\n", 1);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].step, FLEET_STEP_FAILED);
  }
}

// Every step a child writes is one the parent knows, under the same text; a
// newer child's step is kept as it named it; each result has its own text.
TEST(FleetStates, EachStepAndResultHasOneTextBothWays) {
  for (int s = UPDATE_STEP_IDLE; s <= UPDATE_STEP_FAILED; s++) {
    const std::string line =
        progressChannel_line({UPDATE_EVENT_STEP, (UpdateStep)s, 0, NULL, NULL});
    std::vector<ProgressLine> lines = ProgressReader().feed(line.data(), line.size());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].step, FLEET_STEP_UNKNOWN) << updateProgress_stepName((UpdateStep)s);
    EXPECT_STREQ(fleet_stepName(lines[0].step), updateProgress_stepName((UpdateStep)s));
  }
  std::vector<ProgressLine> newer = ProgressReader().feed("step unpacking\n", 15);
  ASSERT_EQ(newer.size(), 1u);
  EXPECT_EQ(newer[0].step, FLEET_STEP_UNKNOWN);
  EXPECT_EQ(newer[0].stepText, "unpacking");
  for (int s = FLEET_STEP_WAITING; s <= FLEET_STEP_INTERRUPTED; s++)
    EXPECT_EQ(fleet_stepOf(fleet_stepName((FleetStep)s)), s) << fleet_stepName((FleetStep)s);
  const char *results[] = {"", "updated", "failed", "interrupted", "current"};
  for (int r = FLEET_RESULT_NONE; r <= FLEET_RESULT_CURRENT; r++) {
    EXPECT_STREQ(fleet_resultName((FleetResult)r), results[r]);
    EXPECT_EQ(fleet_resultOf(results[r]), r);
  }
}

// Each row's input fed whole and a byte at a time, then ended: the labels
// queued, and the beginning of each note.
TEST(LabelQueue, LinesBecomeLabelsExactlyOrAreRefusedWhole) {
  const std::string longest(LABEL_MAX_CHARS, 'A');
  struct Case {
    std::string input;
    std::vector<std::string> labels, notes;
  } cases[] = {
      {"SN-1\nSN-2\r\nSN-3\rSN-4", {"SN-1", "SN-2", "SN-3", "SN-4"}, {}},  // the last one unended
      {" \tSN 5  \r\n\n \t\r\n", {"SN 5"}, {}},
      {"A\x1b[2J\nB\tC\n\xc3\xa9\nD\x7f\nok\n",
       {"ok"},
       {"label refused: \"A\\x1b[2J\" holds a character other than printable ASCII",
        "label refused: \"B\\x09C\" holds", "label refused: \"\\xc3\\xa9\" holds",
        "label refused: \"D\\x7f\" holds"}},
      {longest + "\n" + longest + "B\n",
       {longest},
       {"label refused: \"" + longest.substr(0, 40) + "...\" is longer than 128 characters"}},
      {std::string(100000, 'x') + "\nnext", {"next"}, {"label refused: \"xxxx"}},
      {"SN1\nSN2\nSN1\n", {"SN1", "SN2"}, {"label \"SN1\" is in the queue already"}},
  };
  for (const Case &c : cases) {
    for (size_t piece : {c.input.size(), (size_t)1}) {
      LabelQueue queue;
      std::vector<std::string> notes;
      for (size_t at = 0; at < c.input.size(); at += piece)
        queue.feed(c.input.data() + at, std::min(piece, c.input.size() - at), &notes);
      queue.end(&notes);
      EXPECT_EQ(std::vector<std::string>(queue.labels().begin(), queue.labels().end()), c.labels)
          << c.input.substr(0, 40);
      ASSERT_EQ(notes.size(), c.notes.size()) << c.input.substr(0, 40);
      for (size_t i = 0; i < notes.size(); i++)
        EXPECT_EQ(notes[i].substr(0, c.notes[i].size()), c.notes[i]);
      if (!c.labels.empty()) {
        EXPECT_EQ(queue.take(), c.labels[0]);
      }
    }
  }
}

// The port number a network address is opened under.
static int registeredPort(const char *url) {
  PortAddress address;
  std::string reason;
  EXPECT_TRUE(portAddress_parse(url, &address, &reason)) << reason;
  return portRegistry_register(address);
}

TEST(FleetReport, JsonAndCsvCarryTheSameRecordsUnderTheKeys) {
  FleetRecord r;
  r.port = 4;
  r.device = "/dev/ttyUSB0";
  r.baud = 9600;
  r.type = "TX";
  r.firmwareBefore = "1.0.3";
  r.result = FLEET_RESULT_FAILED;
  r.failedStep = "sending logic";
  r.message = "Expected : SUCCESS, received \"FAILED\"";
  r.started = fleet_isoTime(0);
  r.finished = fleet_isoTime(86399);
  r.seconds = 12.345;
  r.log = "logs/COM4.log";
  r.address = "COM4";
  r.location = "1-1.4.2";
  r.serialNumber = "A5,X";
  r.vid = "0403";
  r.pid = "6001";
  r.label = "SN 0042";
  r.hookStatus = 124;
  EXPECT_EQ(r.started, "1970-01-01T00:00:00Z");
  EXPECT_EQ(r.finished, "1970-01-01T23:59:59Z");

  // A unit behind a raw socket: no COM number, its rate not known.
  FleetRecord remote = r;
  remote.port = registeredPort("socket://[::1]:4001");
  remote.baud = 0;
  remote.address = "socket://[::1]:4001";
  remote.device = remote.address;
  remote.location = remote.serialNumber = remote.vid = remote.pid = remote.label = "";
  remote.hookStatus = FLEET_NO_HOOK;
  nlohmann::json json = nlohmann::json::parse(fleet_reportJson({r, remote}));
  ASSERT_EQ(json["units"].size(), 2u);
  EXPECT_EQ(json["units"][1]["port"], nullptr);
  EXPECT_EQ(json["units"][1]["baud"], nullptr);
  EXPECT_EQ(json["units"][1]["address"], "socket://[::1]:4001");
  const nlohmann::json &unit = json["units"][0];
  std::vector<std::string> keys;
  for (auto it = unit.begin(); it != unit.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys.size(), 23u);
  EXPECT_EQ(unit["hook_status"], 124);
  EXPECT_EQ(unit["start_hook_status"], nullptr);
  EXPECT_EQ(unit["label"], "SN 0042");
  EXPECT_EQ(unit["address"], "COM4");
  EXPECT_EQ(unit["port"], 4);
  EXPECT_EQ(unit["baud"], 9600);
  EXPECT_DOUBLE_EQ(unit["seconds"].get<double>(), 12.3);
  EXPECT_EQ(unit["message"], r.message);
  EXPECT_EQ(unit["firmware_after"], "");
  EXPECT_EQ(unit["vid"], "0403");

  std::string csv = fleet_reportCsv({r, remote});
  EXPECT_EQ(csv,
            "port,device,baud,type,firmware_before,fpga_before,firmware_after,fpga_after,result,"
            "failed_step,message,started,finished,seconds,log,address,location,serial_number,vid,"
            "pid,label,hook_status,start_hook_status\r\n"
            "4,/dev/ttyUSB0,9600,TX,1.0.3,,,,failed,sending logic,"
            "\"Expected : SUCCESS, received \"\"FAILED\"\"\",1970-01-01T00:00:00Z,1970-01-01T23:59:59Z,"
            "12.3,logs/COM4.log,COM4,1-1.4.2,\"A5,X\",0403,6001,SN 0042,124,\r\n"
            ",socket://[::1]:4001,,TX,1.0.3,,,,failed,sending logic,"
            "\"Expected : SUCCESS, received \"\"FAILED\"\"\",1970-01-01T00:00:00Z,1970-01-01T23:59:59Z,"
            "12.3,logs/COM4.log,socket://[::1]:4001,,,,,,,\r\n");
  std::string error;
  EXPECT_FALSE(fleet_writeReport("report.txt", {r}, &error));
  EXPECT_NE(error.find(".json or .csv"), std::string::npos);
}

// What a spreadsheet would run stays text behind a quote, a control character
// is escaped as the table escapes it, and numbers stay numbers.
TEST(FleetReport, CsvFieldsStayTextInASpreadsheetAndOnATerminal) {
  const std::pair<nlohmann::ordered_json, const char *> cases[] = {
      {"=HYPERLINK(\"http://evil.example/?x\",\"click\")",
       "\"'=HYPERLINK(\"\"http://evil.example/?x\"\",\"\"click\"\")\""},
      {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"}, {"+SUM(1+1)*cmd", "'+SUM(1+1)*cmd"},
      {"@SUM(1,2)", "\"'@SUM(1,2)\""}, {"-2+3", "'-2+3"}, {"\t=1+1", "'\\x09=1+1"},
      {"\r=1+1", "'\\x0d=1+1"}, {"failed\x1b[2J\x07", "failed\\x1b[2J\\x07"},
      {"two\r\nlines", "two\\x0d\\x0alines"},
      {"Z\xc3\xbcrich \xc2\x9b" "2J", "Z\xc3\xbcrich \\xc2\\x9b2J"},
      {-3, "-3"}, {12.5, "12.5"}, {nullptr, ""}};
  for (const auto &c : cases) EXPECT_EQ(fleet_csvValue(c.first), c.second) << c.first.dump();
  EXPECT_EQ(fleet_csvLine({{"label", "=1+1"}, {"hook_status", -1}},
                          {"label", "log", "hook_status"}),
            "'=1+1,,-1\r\n");
}

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

static std::string fileText(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
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

TEST(FleetTimeLeft, ImageBytesAtTheLineRateThenTheRebootWait) {
  // 115200 bytes of logic and 11520 of firmware: 10 s and 1 s at 11520 bytes/s.
  struct Case {
    FleetStep step;
    int percent;
    double seconds;
  } cases[] = {
      {FLEET_STEP_WAITING, 0, 11 + 138},        {FLEET_STEP_CHECKING, 0, 11 + 138},
      {FLEET_STEP_SENDING_LOGIC, 0, 11 + 138},  {FLEET_STEP_SENDING_LOGIC, 50, 5 + 1 + 138},
      {FLEET_STEP_SENDING_FIRMWARE, 100, 138},  {FLEET_STEP_REBOOTING, 50, 69},
      {FLEET_STEP_VERIFYING, 0, 0},             {FLEET_STEP_DONE, 0, -1},
      {FLEET_STEP_FAILED, 0, -1},               {FLEET_STEP_INTERRUPTED, 0, -1},
  };
  for (const Case &c : cases)
    EXPECT_DOUBLE_EQ(fleet_secondsLeft(c.step, c.percent, 115200, 11520), c.seconds) << c.step << c.percent;
}

TEST(FleetRetry, TriesAgainExactlyTheUnitsNotUpdated) {
  auto unit = [](int port, int baud, const char *result) {
    FleetRecord r;
    r.port = port;
    r.baud = baud;
    r.result = fleet_resultOf(result);
    return r;
  };
  struct Case {
    std::vector<FleetRecord> records;
    bool noVerify;
    const char *expected;
    int baud = 0;  // update-all's --baud
  } cases[] = {
      {{unit(1, 115200, "updated"), unit(2, 9600, "updated")}, false, ""},
      {{unit(1, 115200, "updated"), unit(5, 9600, "failed")}, false, "TessaranFwTool update --port 5 --baud 9600"},
      // A unit found on the release already needs nothing more.
      {{unit(1, 115200, "current"), unit(5, 9600, "failed")}, false, "TessaranFwTool update --port 5 --baud 9600"},
      {{unit(1, 115200, "interrupted"), unit(2, 9600, "updated"), unit(3, 57600, "failed")},
       true,
       "TessaranFwTool update-all --ports 1,3 --no-verify"},
      // A raw socket's unknown rate is left to its detection.
      {{unit(registeredPort("socket://rack2:4001"), 0, "failed")}, false,
       "TessaranFwTool update --port socket://rack2:4001"},
      {{unit(2, 9600, "failed"), unit(registeredPort("rfc2217://rack2:3001"), 57600, "failed")}, false,
       "TessaranFwTool update-all --ports 2,rfc2217://rack2:3001"},
      // The rate the run was given reaches the raw sockets' units again.
      {{unit(3, 115200, "failed"), unit(registeredPort("socket://rack2:4001"), 115200, "failed")},
       false, "TessaranFwTool update-all --ports 3,socket://rack2:4001 --baud 115200", 115200},
  };
  for (const Case &c : cases) EXPECT_EQ(fleet_retryCommand(c.records, c.noVerify, c.baud), c.expected);
  // The rate under the summary counts the units updated only.
  EXPECT_EQ(fleet_rateLine(cases[3].records, "0:44", 44.2),
            "1 of 3 units updated in 0:44: 81 updated units per hour");
  EXPECT_EQ(fleet_rateLine(cases[2].records, "0:00", 0.2),
            "0 of 2 units updated in 0:00: 0 updated units per hour");
}

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

// A check against the unit handled there, found as a TX XC7A35 on 1.0.3 with
// logic 1.3: what no update could have turned it into is another unit.
TEST(FleetWatch, ACheckTellsTheHandledUnitFromAnotherOrFromNone) {
  const FleetIdentity found = {"TX", "1.0.3", "1.3", "XC7A35"};
  struct Case {
    const char *result, *firmwareAfter, *openFailure;
    bool answered;
    FleetIdentity seen;  // type, firmware, logic, family
    FleetSighting expected;
  } cases[] = {
      {"updated", "1.0.4", "", false, {"", "", "", ""}, FLEET_UNIT_GONE},
      {"failed", "", "held by PID 12 (minicom)", false, {"", "", "", ""}, FLEET_NO_EVIDENCE},
      {"failed", "", "absent", false, {"", "", "", ""}, FLEET_UNIT_GONE},
      {"updated", "1.0.4", "", true, {"TX", "1.0.4", "1.3", "XC7A35"}, FLEET_SAME_UNIT},
      {"updated", "", "", true, {"TX", "1.0.4", "", ""}, FLEET_SAME_UNIT},  // not read back
      {"updated", "1.0.4", "", true, {"TX", "1.0.3", "1.3", "XC7A35"}, FLEET_NEW_UNIT},
      {"current", "", "", true, {"TX", "1.0.3", "1.4", "XC7A35"}, FLEET_NEW_UNIT},
      {"failed", "", "", true, {"TX", "1.0.4", "2.0", "XC7A35"}, FLEET_SAME_UNIT},  // half updated
      {"interrupted", "", "", true, {"TX", "1.0.3", "1.3", "XC7A50"}, FLEET_NEW_UNIT},
      {"failed", "", "", true, {"RX", "1.0.3", "1.3", "XC7A35"}, FLEET_NEW_UNIT},
      {"failed", "", "", true, {"TX", "1.0.2", "1.3", "XC7A35"}, FLEET_NEW_UNIT},
      {"updated", "1.0.4", "", true, {"", "", "", ""}, FLEET_SAME_UNIT},     // told nothing
      {"", "", "", true, {"TX", "1.0.4", "1.3", "XC7A35"}, FLEET_NEW_UNIT},  // waits for a label
  };
  for (const Case &c : cases) {
    FleetRecord handled;
    handled.result = fleet_resultOf(c.result), handled.firmwareAfter = c.firmwareAfter;
    FleetProbe check;
    check.openFailure = c.openFailure, check.identity = c.seen, check.answered = c.answered;
    EXPECT_EQ(fleet_sighting(check, handled, found), c.expected) << &c - cases;
  }
}

#ifndef _WIN32
static std::string drain(Subprocess *child, int *status) {
  std::string said;
  char buffer[256];
  for (int rounds = 0; rounds < 500; rounds++) {
    int n;
    while ((n = subprocess_readChannel(child, buffer, sizeof buffer)) > 0) said.append(buffer, (size_t)n);
    if (n < 0 && subprocess_finished(child, status)) break;
    subprocess_waitAny({child}, 20);
  }
  return said;
}

// The report at its path is always whole: the check leaves an earlier one as
// it is, and a write replaces the file (or a link planted there) at once.
TEST(FleetReport, AnEarlierReportOrAPlantedLinkIsReplacedNeverWrittenThrough) {
  const std::string folder = testing::TempDir() + "fleet-report/";
  mkdir(folder.c_str(), 0777);
  const std::string report = folder + "r.json", victim = folder + "victim";
  FleetRecord r;
  r.port = 3;
  r.result = FLEET_RESULT_UPDATED;
  struct Case {
    bool link;
  } cases[] = {{false}, {true}};
  for (const Case &c : cases) {
    unlink(report.c_str());
    std::ofstream(victim) << "earlier";
    if (c.link) ASSERT_EQ(symlink(victim.c_str(), report.c_str()), 0);
    else std::ofstream(report) << "earlier";
    std::string error;
    ASSERT_TRUE(fleet_checkReportPath(report, &error)) << error;
    EXPECT_EQ(fileText(report), "earlier") << c.link;
    ASSERT_TRUE(fleet_writeReport(report, {r}, &error)) << error;
    EXPECT_EQ(fileText(report), fleet_reportJson({r})) << c.link;
    EXPECT_EQ(fileText(victim), "earlier") << c.link;
    struct stat st;
    ASSERT_EQ(lstat(report.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << c.link;
  }
  std::string error;
  EXPECT_FALSE(fleet_checkReportPath(folder + "missing/r.json", &error));
  std::vector<std::string> names;
  if (DIR *dir = opendir(folder.c_str())) {
    while (struct dirent *entry = readdir(dir))
      if (entry->d_name[0] != '.' || strlen(entry->d_name) > 2) names.push_back(entry->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"r.json", "victim"}));  // no temporary file left
}

// Two processes appending at once, after a writer killed mid-line: every
// record whole, the torn line closed as a line of its own; a planted link refused.
TEST(StationHistory, AppendsFromTwoProcessesAtOnceStayWholeLines) {
  const std::string folder = testing::TempDir() + "fleet-history/", path = folder + "a/b/history.jsonl";
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
  EXPECT_EQ(line.size(), 32u);
  ASSERT_EQ(symlink(path.c_str(), (folder + "link").c_str()), 0);
  EXPECT_FALSE(stationHistory_append(folder + "link", r, context, &error));
  EXPECT_NE(error.find("link"), std::string::npos) << error;
}

TEST(Subprocess, ChildTalksOnItsChannelAndItsOutputGoesToItsLog) {
  std::string log = testing::TempDir() + "fleet-child.log";
  unlink(log.c_str());
  std::string error;
  // The channel's number is $0 of the script.
  Subprocess *child = subprocess_start(
      {"/bin/sh", "-c", "echo out; echo err >&2; read x && echo stdin-had-text; printf 'step done\\n' >&$0; exit 7",
       SUBPROCESS_CHANNEL_ARG},
      log, &error);
  ASSERT_NE(child, nullptr) << error;
  int status = -1;
  EXPECT_EQ(drain(child, &status), "step done\n");
  EXPECT_EQ(status, 7);
  EXPECT_EQ(fileText(log), "out\nerr\n");
  subprocess_free(child);
  // A log already there is an earlier run's: never written over.
  EXPECT_EQ(subprocess_start({"/bin/true"}, log, &error), nullptr);
  EXPECT_NE(error.find("exists"), std::string::npos) << error;
  EXPECT_EQ(fileText(log), "out\nerr\n");

  EXPECT_EQ(subprocess_start({"/nonexistent/program"}, "", &error), nullptr);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST(Subprocess, AHungChildIsInterruptedOrKilledWithoutWaitingForIt) {
  struct Case {
    bool ignoresInterrupts;
    int status;
  } cases[] = {{false, 128 + 2}, {true, 128 + 9}};
  for (const Case &c : cases) {
    std::string error;
    Subprocess *child = subprocess_start(
        {"/bin/sh", "-c", std::string(c.ignoresInterrupts ? "trap '' INT; " : "") + "echo go >&$0; exec sleep 30",
         SUBPROCESS_CHANNEL_ARG},
        "", &error);
    ASSERT_NE(child, nullptr) << error;
    char buffer[16];
    for (int i = 0; i < 200 && subprocess_readChannel(child, buffer, sizeof buffer) == 0; i++)
      subprocess_waitAny({child}, 20);
    subprocess_interrupt(child);
    if (c.ignoresInterrupts) subprocess_kill(child);
    int status = -1;
    drain(child, &status);
    EXPECT_EQ(status, c.status);
    subprocess_free(child);
  }
}
#endif

TEST(UnitHooks, TheUnitIsInTheVariablesOnly) {
  FleetRecord r;
  r.port = 3, r.address = "COM3", r.device = "/dev/pts/7", r.baud = 115200, r.type = "TX";
  r.firmwareBefore = "1.00.03", r.firmwareAfter = "1.00.04", r.result = FLEET_RESULT_FAILED;
  r.failedStep = "rebooting", r.message = "no reply\r\nafter\x1b[2J", r.seconds = 12.34;
  r.log = "logs/update-COM3.log", r.label = "SN 42";
  std::map<std::string, std::string> result = {
      {"EVENT", "result"}, {"RESULT", "failed"}, {"PORT", "3"}, {"ADDRESS", "COM3"},
      {"SLOT", "COM3"}, {"LABEL", "SN 42"}, {"TYPE", "TX"}, {"FIRMWARE_BEFORE", "1.00.03"},
      {"FIRMWARE_AFTER", "1.00.04"}, {"FPGA_BEFORE", ""}, {"FPGA_AFTER", ""},
      {"LOG", "logs/update-COM3.log"}, {"MESSAGE", "no reply  after?[2J"},
      {"FAILED_STEP", "rebooting"}, {"SECONDS", "12.3"}, {"DEVICE", "/dev/pts/7"},
      {"BAUD", "115200"}};
  std::map<std::string, std::string> start = result;
  start["EVENT"] = "start", start["SECONDS"] = "";
  for (UnitHookEvent event : {UNIT_HOOK_RESULT, UNIT_HOOK_START}) {
    std::map<std::string, std::string> got;
    for (const auto &variable : unitHooks_environment(r, event))
      got[variable.first.substr(strlen("FWUPGRADE_"))] = variable.second;
    EXPECT_EQ(got, event == UNIT_HOOK_START ? start : result);
  }
}

#ifndef _WIN32
// The process PIDLINE names ends within a second, times the build's time
// factor (a zombie that no parent reaps in a container holds no file either).
static bool processEnds(std::string pidLine) {
  for (int i = 0; i < slackMs(50); i++, usleep(20000)) {
    const std::string stat = fileText("/proc/" + pidLine.substr(0, pidLine.find('\n')) + "/stat");
    if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
  }
  return false;
}

TEST(UnitHooks, EachHookEndsWithinItsBoundAndChangesNothingButItsStatus) {
  const std::string dir = testing::TempDir() + "unit-hooks/";
  mkdir(dir.c_str(), 0777);
  struct Case {
    const char *command;
    int status;
    const char *logHas;
  } cases[] = {
      {"exit 0", 0, ""},
      {"echo lit; exit 3", 3, "before\nlit\n"},
      {"/nonexistent/light", UNIT_HOOK_NOT_STARTED, "not found"},
      // A hang, with a child of its own that must not outlive it holding the log.
      {"sleep 1000 & echo $! > pid; sleep 1000", UNIT_HOOK_STOPPED,
       "after 0.5 s: stopped (status 124)"},
      {"sleep 1000 & echo $! > pid; exit 0", 0, ""},
#ifdef __linux__
      // Out of its group and session, and its child after it: ended all the same.
      {"setsid -f sh -c 'sleep 1000 & echo $! > pid; wait'; while [ ! -s pid ]; do sleep 0.1; done",
       0, ""},
#endif
      // Values stay values, quoted or not.
      {"printf %s \"$FWUPGRADE_LABEL\" > label; echo $FWUPGRADE_LABEL; ls", 0, "label\n"},
      // A flood: its first MiB, then the count of the rest.
      {"head -c 3000000 /dev/zero | tr '\\0' x; echo >&2", 0,
       "x\nTessaranFwTool: on-result hook output past 1 MiB: 1951425 bytes left out\n"},
  };
  FleetRecord r;
  r.label = "$(touch x);touch y `touch z` |touch w";
  for (const Case &c : cases) {
    ASSERT_EQ(system(("rm -rf " + dir + "* && echo before > " + dir + "log").c_str()), 0);
    r.log = dir + "log";
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const double startedAt = fleet_nowSeconds();
    UnitHook hook(c.command, UNIT_HOOK_RESULT, r, 0.5);
    EXPECT_EQ(hook.wait(), c.status) << c.command;
    EXPECT_LT(fleet_nowSeconds() - startedAt, 0.5 + slackMs(1500) / 1000.0) << c.command;
    EXPECT_NE(fileText(r.log).find(c.logHas), std::string::npos) << c.command << fileText(r.log);
    EXPECT_LT(fileText(r.log).size(), SHELL_COMMAND_OUTPUT_MAX + 200) << c.command;
    if (!fileText("pid").empty()) {
      EXPECT_TRUE(processEnds(fileText("pid"))) << c.command;
    }
    for (const char *planted : {"x", "y", "z", "w"}) EXPECT_NE(access(planted, F_OK), 0) << planted;
    if (!fileText("label").empty()) {
      EXPECT_EQ(fileText("label"), r.label);
    }
  }
  ASSERT_EQ(chdir("/"), 0);
}
#endif
