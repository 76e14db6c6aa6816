#include <stdlib.h>
#include <string.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "../TestTiming.h"
#include "FleetTestSupport.h"
#include "fleet/FleetReport.h"
#include "fleet/UnitHooks.h"

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
