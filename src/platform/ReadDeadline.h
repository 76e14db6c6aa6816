// The two deadlines of a Windows-style serial read.
//
// A read ends at the latest when its total time has run out (counted from the
// start of the call: ReadTotalTimeoutMultiplier x bytes asked for, plus
// ReadTotalTimeoutConstant), or when the interval timeout has passed after the
// last byte received (the interval timer starts at the first byte and restarts
// at every byte). A zero interval or a zero total means "no such limit".
//
// The functions take the current time as an argument so that the arithmetic can
// be tested without a clock; readDeadline_nowMs() gives the monotonic time.
#ifndef READDEADLINE_H
#define READDEADLINE_H

#include <stdint.h>

typedef struct ReadDeadline {
  int64_t totalEndMs;     // end of the total time; -1 when there is no total limit
  uint32_t intervalMs;    // the interval timeout; 0 when there is none
  int64_t intervalEndMs;  // end of the current interval; -1 before the first byte
} ReadDeadline;

// Starts the deadlines of a read that begins at nowMs and asks for bytesWanted.
void readDeadline_start(ReadDeadline *d, int64_t nowMs, uint32_t intervalMs,
                        uint32_t totalMultiplierMs, uint32_t totalConstantMs,
                        uint32_t bytesWanted);

// Restarts the interval timer: bytes arrived at nowMs.
void readDeadline_byteReceived(ReadDeadline *d, int64_t nowMs);

// How long the read may still wait, in milliseconds, for poll(): 0 once either
// deadline has passed, -1 when nothing limits the wait. Never above INT32_MAX.
int readDeadline_remainingMs(const ReadDeadline *d, int64_t nowMs);

// Milliseconds of a monotonic clock (not affected by changes of the wall clock).
int64_t readDeadline_nowMs(void);

#endif  // READDEADLINE_H
