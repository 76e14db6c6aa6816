#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fleet/FleetStates.h"
#include "fleet/ProgressChannel.h"

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
