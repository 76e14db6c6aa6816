// The port list a command line names: ranges of COM numbers.
#include <vector>

#include <gtest/gtest.h>

#include "platform/PortList.h"

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
