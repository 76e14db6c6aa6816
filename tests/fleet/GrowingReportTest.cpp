#include <signal.h>
#include <stdio.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FleetTestSupport.h"
#include "fleet/GrowingReport.h"

static std::vector<FleetRecord> records(int count, int first = 1) {
  std::vector<FleetRecord> all(count);
  for (int i = 0; i < count; i++) {
    all[i].port = first + i;
    all[i].result = FLEET_RESULT_CURRENT;
    all[i].message = "unit \"" + std::to_string(first + i) + "\", its message";
  }
  return all;
}

// The CSV report as the version before the attempts column wrote it.
static std::string withoutAttempts(const std::string &csv) {
  std::string text;
  for (size_t at = 0, end; (end = csv.find("\r\n", at)) != std::string::npos; at = end + 2)
    text += csv.substr(at, csv.rfind(',', end) - at) + "\r\n";
  return text;
}

static std::string report(bool json, const std::vector<FleetRecord> &units, bool before = false) {
  return json     ? fleet_reportJson(units)
         : before ? withoutAttempts(fleet_reportCsv(units))
                  : fleet_reportCsv(units);
}

// A report a watch left, torn or whole, opened again and grown by one unit:
// it then holds the records that were whole, the new one after them, exactly
// as the whole report of those records is written; or, not one of ours, it
// is refused and left as it was.
TEST(GrowingReport, ContinuesAfterTheLastWholeRecord) {
  const std::string J = report(true, records(1)), C = report(false, records(1));
  const std::string jsonTorn = J.substr(0, J.size() - 7);  // the last record, without the closing
  struct Row {
    const char *name;
    bool json;
    bool exists;
    std::string text;
    int kept;  // records kept; -1: refused
    bool beforeAttempts = false;  // CSV: continued with the columns before attempts
  } rows[] = {
      {"no file", true, false, "", 0},
      {"an empty file", true, true, "", 0},
      {"no unit yet", true, true, report(true, {}), 0},
      {"two units, whole", true, true, report(true, records(2)), 2},
      {"the next record torn", true, true, jsonTorn + ",\n    {\n      \"port\": 7,\n      \"dev", 1},
      {"the closing torn", true, true, J.substr(0, J.size() - 3), 1},
      {"zeros past the last record", true, true, jsonTorn + std::string(300, '\0'), 1},
      {"the first record torn", true, true, "{\n  \"units\": [\n    {\n      \"port\": 1,", 0},
      {"the opening torn", true, true, "{\n  \"un", 0},
      {"past the part read", true, true, report(true, records(2000)), 2000},
      {"an array", true, true, "[1, 2]\n", -1},
      {"written otherwise", true, true, "{\"units\":[]}", -1},
      {"CSV, no file", false, false, "", 0},
      {"CSV, two units", false, true, report(false, records(2)), 2},
      {"CSV, the next row torn", false, true, C + "7,/dev/ttyS6,1152", 1},
      {"CSV, the header torn", false, true, C.substr(0, 20), 0},
      {"CSV, zeros past the last row", false, true, C + std::string(40, '\0') + "\r\n", 1},
      {"CSV, other columns", false, true, "port,device\r\n1,/dev/ttyS0\r\n", -1},
      {"CSV before attempts", false, true, report(false, records(2), true), 2, true},
      {"CSV before attempts, torn", false, true, withoutAttempts(C) + "7,/dev/tty", 1, true},
  };
  const std::string folder = testing::TempDir();
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = folder + "growing-report." + (row.json ? "json" : "csv");
    remove(path.c_str());
    if (row.exists) {
      FILE *f = fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      fwrite(row.text.data(), 1, row.text.size(), f);
      fclose(f);
    }
    std::string error;
    GrowingReport grown;
    if (row.kept < 0) {
      EXPECT_FALSE(grown.open(path, &error));
      EXPECT_NE(error.find("left as it is"), std::string::npos) << error;
      EXPECT_EQ(fileText(path), row.text);
      continue;
    }
    ASSERT_TRUE(grown.open(path, &error)) << error;
    EXPECT_EQ(grown.continued(), row.kept > 0);
    std::vector<FleetRecord> expected = records(row.kept);
    EXPECT_EQ(fileText(path), report(row.json, expected, row.beforeAttempts));  // whole again
    ASSERT_TRUE(grown.append(records(1, 100), &error)) << error;
    ASSERT_TRUE(grown.append(records(2, 101), &error)) << error;
    for (const FleetRecord &r : records(3, 100)) expected.push_back(r);
    EXPECT_EQ(fileText(path), report(row.json, expected, row.beforeAttempts));
  }
}

// A report is held by the watch that opened it: a second is refused, and
// the file is left as it is, until the first lets it go.
TEST(GrowingReport, HeldByOneWatchAtATime) {
  const std::string path = testing::TempDir() + "held-report.json";
  remove(path.c_str());
  std::string error;
  bool held = false;
  GrowingReport *first = new GrowingReport;
  ASSERT_TRUE(first->open(path, &error) && first->append(records(1), &error)) << error;
  GrowingReport second, third;
  EXPECT_TRUE(fleet_reportHeld(path, &error) && !second.open(path, &error, &held) && held);
  EXPECT_EQ(fileText(path), report(true, records(1)));
  delete first;
  EXPECT_TRUE(!fleet_reportHeld(path, &error) && third.open(path, &error)) << error;
}

#ifndef _WIN32
// While the report cannot be written (here: the file size limit), it stays
// whole, the records wait up to the bound, those past it are counted left
// out; once it can be written again, the waiting ones go first.
TEST(GrowingReport, RecordsWaitingForAnUnwritableReportAreBounded) {
  const std::string path = testing::TempDir() + "unwritable-report.json";
  remove(path.c_str());
  std::string error;
  GrowingReport grown(3);
  ASSERT_TRUE(grown.open(path, &error) && grown.append(records(1), &error)) << error;
  struct rlimit was, full;
  getrlimit(RLIMIT_FSIZE, &was);
  full = {(rlim_t)fileText(path).size(), was.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  for (const FleetRecord &r : records(5, 2)) EXPECT_FALSE(grown.append({r}, &error));
  setrlimit(RLIMIT_FSIZE, &was);
  EXPECT_EQ(fileText(path), report(true, records(1)));  // whole meanwhile
  EXPECT_EQ(std::make_pair(grown.missing(), grown.leftOut()), std::make_pair(5LL, 2LL));
  ASSERT_TRUE(grown.append(records(1, 7), &error)) << error;
  std::vector<FleetRecord> expected = records(4);
  expected.push_back(records(1, 7)[0]);
  EXPECT_EQ(fileText(path), report(true, expected));
  EXPECT_EQ(grown.missing(), 2);
}
#endif
