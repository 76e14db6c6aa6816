#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fleet/ProgressChannel.h"

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
