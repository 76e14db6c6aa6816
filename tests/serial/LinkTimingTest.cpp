// The windows a read on a link to a terminal server runs with, from the round
// trips measured. Pure arithmetic: runs everywhere.
#include <gtest/gtest.h>

#include <vector>

#include "serial/LinkTiming.h"

namespace {

TEST(LinkTiming, StretchesReadsByRoundTripAndSpread) {
  const COMMTIMEOUTS detection = {500, 0, 500, 0, 0}, immediate = {MAXDWORD, 0, 0, 0, 0},
                     noTotal = {500, 0, 0, 0, 0}, perByte = {0, 10, 0, 0, 0};
  struct Case {
    const char *what;
    std::vector<int> roundTrips;
    COMMTIMEOUTS asked;
    int silentMs;  // -1: awaiting a reply's first byte; or LINK_TIMING_REPLY_COMPLETE
    int pauseMs, firstByteMs;
    DWORD interval, total;
  } cases[] = {
      {"nothing measured: the floor", {}, detection, -1, 100, 100, 600, 600},
      {"a nearby server", {2, 3}, detection, -1, 101, 104, 601, 604},
      // One sample of a 1 s link each way: a third of it taken as spread.
      {"one round trip: spread assumed", {2000}, detection, -1, 766, 2766, 1266, 3266},
      {"1,000 +/- 250 ms each way", {1500, 2100, 2500}, detection, -1, 1100, 3600, 1600, 4100},
      {"within a reply, just after a byte: the pause", {1500, 2500}, detection, 0, 1100, 3600,
       1600, 1600},
      {"within a reply, a pause partly seen", {1500, 2500}, detection, 800, 1100, 3600, 1600, 800},
      {"after a silence as long as the pause: the read's own time", {1500, 2500}, detection, 1600,
       1100, 3600, 1600, 500},
      {"the reply known whole by its ending: the read's own windows", {1500, 2500}, detection,
       LINK_TIMING_REPLY_COMPLETE, 1100, 3600, 500, 500},
      {"an immediate read stays immediate", {2000}, immediate, -1, 766, 2766, MAXDWORD, 0},
      {"no total limit stays none", {2000}, noTotal, -1, 766, 2766, 1266, 0},
      {"a total by the byte gets the allowance as its constant", {2000}, perByte, -1, 766, 2766,
       0, 2766},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    LinkTiming timing;
    linkTiming_init(&timing);
    for (int ms : c.roundTrips) linkTiming_sample(&timing, ms);
    EXPECT_EQ(linkTiming_pauseMs(&timing), c.pauseMs);
    EXPECT_EQ(linkTiming_firstByteMs(&timing), c.firstByteMs);
    const COMMTIMEOUTS got = linkTiming_stretch(&timing, &c.asked, c.silentMs);
    EXPECT_EQ(got.ReadIntervalTimeout, c.interval);
    EXPECT_EQ(got.ReadTotalTimeoutConstant, c.total);
    EXPECT_EQ(got.ReadTotalTimeoutMultiplier, c.asked.ReadTotalTimeoutMultiplier);
  }
}

}  // namespace
