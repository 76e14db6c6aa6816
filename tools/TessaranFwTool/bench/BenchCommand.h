// bench: the bench routines (test patterns, dump).
#ifndef BENCHCOMMAND_H
#define BENCHCOMMAND_H

#include <string>

#include "platform/ToolName.h"

struct BenchOptions {
  std::string routine;  // send-512kb, send-512kb-2 or dump
  int port = 0;         // send-512kb's PORT and BAUD; 0: not given
  int baud = 0;
};

#define BENCH_USAGE                                       \
  "Usage: " TOOL_NAME " bench send-512kb PORT BAUD\n"    \
  "       " TOOL_NAME " bench send-512kb-2\n"            \
  "       " TOOL_NAME " bench dump"

// bench's usage on stderr; exit status 2.
int benchUsage(void);

#endif  // BENCHCOMMAND_H
