// The margins of the tests' time bounds, as wide as this build needs: a
// sanitizer build runs two to three times slower, and a bound that a loaded
// machine overruns tests the machine, not the code. CTest gives every test
// the factor (FWUPGRADE_TEST_TIME_FACTOR, see tests/CMakeLists.txt); a test
// run by hand without it gets 1. Only margins are scaled: what the code
// itself must wait (a timeout's length) is not.
#ifndef TESTTIMING_H
#define TESTTIMING_H

#include <stdlib.h>

// A margin of MS milliseconds, times the build's factor.
inline long long slackMs(long long ms) {
  const char *text = getenv("FWUPGRADE_TEST_TIME_FACTOR");
  const long long factor = text != NULL ? atoll(text) : 1;
  return ms * (factor > 1 ? factor : 1);
}

#endif  // TESTTIMING_H
