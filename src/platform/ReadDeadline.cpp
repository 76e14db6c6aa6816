// The two deadlines of a Windows-style serial read (see ReadDeadline.h).
#include "platform/ReadDeadline.h"

#include <stdint.h>
#include <time.h>
#ifdef _WIN32
#include <windows.h>
#endif

void readDeadline_start(ReadDeadline *d, int64_t nowMs, uint32_t intervalMs,
                        uint32_t totalMultiplierMs, uint32_t totalConstantMs,
                        uint32_t bytesWanted) {
  // 64-bit arithmetic: multiplier x bytes does not fit 32 bits for large reads.
  int64_t total = (int64_t)totalMultiplierMs * (int64_t)bytesWanted + (int64_t)totalConstantMs;
  d->totalEndMs = total > 0 ? nowMs + total : -1;
  d->intervalMs = intervalMs;
  d->intervalEndMs = -1;
}

void readDeadline_byteReceived(ReadDeadline *d, int64_t nowMs) {
  if (d->intervalMs != 0) d->intervalEndMs = nowMs + (int64_t)d->intervalMs;
}

int readDeadline_remainingMs(const ReadDeadline *d, int64_t nowMs) {
  int64_t end = d->totalEndMs;
  if (d->intervalEndMs >= 0 && (end < 0 || d->intervalEndMs < end)) end = d->intervalEndMs;
  if (end < 0) return -1;
  int64_t left = end - nowMs;
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : (int)left;
}

int64_t readDeadline_nowMs(void) {
#ifdef _WIN32
  return (int64_t)GetTickCount64();
#else
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);  // cannot fail for this clock
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
#endif
}
