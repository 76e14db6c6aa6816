// The two-deadline arithmetic of a Windows-style read, on a simulated clock.
#include <gtest/gtest.h>

#include "platform/ReadDeadline.h"

TEST(ReadDeadline, TotalAndIntervalWhicheverComesFirst) {
  ReadDeadline d;
  readDeadline_start(&d, 1000, 500, 0, 500, 1023999);  // the driver's 500/500 ms
  EXPECT_EQ(readDeadline_remainingMs(&d, 1000), 500);
  readDeadline_byteReceived(&d, 1100);  // interval to 1600, but the total ends at 1500
  EXPECT_EQ(readDeadline_remainingMs(&d, 1100), 400);
  EXPECT_EQ(readDeadline_remainingMs(&d, 1500), 0);
  EXPECT_EQ(readDeadline_remainingMs(&d, 9999), 0);

  readDeadline_start(&d, 0, 100, 0, 5000, 10);  // the interval restarts at each byte
  readDeadline_byteReceived(&d, 50);
  readDeadline_byteReceived(&d, 140);
  EXPECT_EQ(readDeadline_remainingMs(&d, 150), 90);
  EXPECT_EQ(readDeadline_remainingMs(&d, 240), 0);
}

TEST(ReadDeadline, MissingLimitsAndLargeValues) {
  ReadDeadline d;
  readDeadline_start(&d, 0, 0, 0, 0, 100);  // no timeouts: wait for the buffer
  readDeadline_byteReceived(&d, 10);
  EXPECT_EQ(readDeadline_remainingMs(&d, 123456), -1);

  readDeadline_start(&d, 0, 200, 0, 0, 100);  // interval only: unlimited until a byte
  EXPECT_EQ(readDeadline_remainingMs(&d, 99999), -1);
  readDeadline_byteReceived(&d, 100000);
  EXPECT_EQ(readDeadline_remainingMs(&d, 100050), 150);

  readDeadline_start(&d, 0, 0, 2, 10, 100);  // multiplier x bytes + constant
  EXPECT_EQ(readDeadline_remainingMs(&d, 0), 210);
  readDeadline_start(&d, 0, 0, 0xFFFFFFFFu, 7, 1000000);  // no 32-bit overflow, int result
  EXPECT_EQ(readDeadline_remainingMs(&d, 0), INT32_MAX);
}
