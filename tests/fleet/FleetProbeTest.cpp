#include <gtest/gtest.h>

#include "fleet/FleetProbe.h"
#include "fleet/FleetReport.h"

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
