// One run of a program that talks to a unit (the updater, the tool's probe,
// ports and update, update-all's probe of one port): its console, interrupt
// handling, progress, working buffers and wire trace are set up here and
// ended here, in one order for all of them.
#ifndef UNITRUN_H
#define UNITRUN_H

#include "platform/Platform.h"
#include "serial/UnitExchange.h"

typedef struct UnitRun {
  // Names the run in the wire trace's first record; NULL: the run keeps no trace.
  const char *program;
  // The trace file; NULL or "": the one FWUPGRADE_TRACE names, if any.
  const char *tracePath;
  // Every print reaches the console at once (prompts, percentages overwritten
  // in place); FALSE for a run whose output is a channel.
  BOOL consoleOutput;
  // How a mismatch dump prints the unit's reply; NULL: as received.
  ReplyPrinter replyPrinter;
} UnitRun;

// Prepares the run. Interrupts are handled from here on, before any port is
// opened, so that a stop always finds the port to close. FALSE when the
// working buffers cannot be allocated (a message was printed; the run has
// nothing to end).
BOOL beginUnitRun(const UnitRun *run);

// Ends the run: standard output flushed, the exit status written to the
// trace and the trace closed, the working buffers released. Returns status.
int endUnitRun(int status);

#endif  // UNITRUN_H
