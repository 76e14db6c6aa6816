// The two-deadline arithmetic of a Windows-style read, on a simulated clock.
#include <gtest/gtest.h>

#include "platform/posix/ReadDeadline.h"

namespace {

TEST(ReadDeadline, TotalAndIntervalWhicheverComesFirst) {
  ReadDeadline d;
  // The driver's setting: interval and total both 500 ms, started at t=1000.
  ReadDeadline_start(&d, 1000, 500, 0, 500, 1023999);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 1000), 500);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 1499), 1);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 1500), 0);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 9999), 0);

  // A byte at 1100 would allow the interval up to 1600, but the total ends at 1500.
  ReadDeadline_byteReceived(&d, 1100);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 1100), 400);

  // With a longer total, the interval ends the read and restarts at each byte.
  ReadDeadline_start(&d, 0, 100, 0, 5000, 10);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 0), 5000);  // no byte yet: only the total
  ReadDeadline_byteReceived(&d, 50);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 60), 90);
  ReadDeadline_byteReceived(&d, 140);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 150), 90);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 240), 0);
  // Close to the total end, the total wins again.
  ReadDeadline_byteReceived(&d, 4950);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 4960), 40);
}

TEST(ReadDeadline, MissingLimitsAndLargeValues) {
  ReadDeadline d;
  // No timeouts at all: the read waits for its buffer.
  ReadDeadline_start(&d, 0, 0, 0, 0, 100);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 123456), -1);
  ReadDeadline_byteReceived(&d, 10);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 123456), -1);

  // Only an interval: unlimited until the first byte.
  ReadDeadline_start(&d, 0, 200, 0, 0, 100);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 99999), -1);
  ReadDeadline_byteReceived(&d, 100000);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 100050), 150);

  // The multiplier counts per byte asked for, without 32-bit overflow, and the
  // wait handed to poll() stays within an int.
  ReadDeadline_start(&d, 0, 0, 0xFFFFFFFFu, 7, 1000000);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 0), INT32_MAX);
  ReadDeadline_start(&d, 0, 0, 2, 10, 100);
  EXPECT_EQ(ReadDeadline_remainingMs(&d, 0), 210);
}

TEST(ReadDeadline, ClockIsMonotonic) {
  int64_t a = ReadDeadline_nowMs();
  int64_t b = ReadDeadline_nowMs();
  EXPECT_LE(a, b);
}

}  // namespace
