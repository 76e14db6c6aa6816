#include <string.h>
#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "FleetTestSupport.h"
#include "fleet/FleetReport.h"

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
  r.attempts = 3;
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
  remote.attempts = 1;
  nlohmann::json json = nlohmann::json::parse(fleet_reportJson({r, remote}));
  ASSERT_EQ(json["units"].size(), 2u);
  EXPECT_EQ(json["units"][1]["port"], nullptr);
  EXPECT_EQ(json["units"][1]["baud"], nullptr);
  EXPECT_EQ(json["units"][1]["address"], "socket://[::1]:4001");
  const nlohmann::json &unit = json["units"][0];
  std::vector<std::string> keys;
  for (auto it = unit.begin(); it != unit.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys.size(), 24u);
  EXPECT_EQ(unit["attempts"], 3);
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
            "pid,label,hook_status,start_hook_status,attempts\r\n"
            "4,/dev/ttyUSB0,9600,TX,1.0.3,,,,failed,sending logic,"
            "\"Expected : SUCCESS, received \"\"FAILED\"\"\",1970-01-01T00:00:00Z,1970-01-01T23:59:59Z,"
            "12.3,logs/COM4.log,COM4,1-1.4.2,\"A5,X\",0403,6001,SN 0042,124,,3\r\n"
            ",socket://[::1]:4001,,TX,1.0.3,,,,failed,sending logic,"
            "\"Expected : SUCCESS, received \"\"FAILED\"\"\",1970-01-01T00:00:00Z,1970-01-01T23:59:59Z,"
            "12.3,logs/COM4.log,socket://[::1]:4001,,,,,,,,1\r\n");
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
    int retries = 0;
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
      // The run's --retries goes with it, last.
      {{unit(5, 9600, "failed")}, true, "TessaranFwTool update --port 5 --baud 9600 --no-verify --retries 2", 0, 2},
      {{unit(3, 115200, "failed"), unit(registeredPort("socket://rack2:4001"), 115200, "failed")},
       false, "TessaranFwTool update-all --ports 3,socket://rack2:4001 --baud 115200 --retries 1", 115200, 1},
  };
  for (const Case &c : cases)
    EXPECT_EQ(fleet_retryCommand(c.records, c.noVerify, c.baud, c.retries), c.expected);
  // The rate under the summary counts the units updated only.
  EXPECT_EQ(fleet_rateLine(cases[3].records, "0:44", 44.2),
            "1 of 3 units updated in 0:44: 81 updated units per hour");
  EXPECT_EQ(fleet_rateLine(cases[2].records, "0:00", 0.2),
            "0 of 2 units updated in 0:00: 0 updated units per hour");
}

#ifndef _WIN32
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
#endif
