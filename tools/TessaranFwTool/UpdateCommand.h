// update: the update for scripts and production lines, without questions and
// without a key wait, verified by reading the version back.
#ifndef UPDATECOMMAND_H
#define UPDATECOMMAND_H

#include <string>

// Add new fields with a default that keeps today's behaviour.
struct ScriptedUpdateOptions {
  int port = 0;                  // COMn to use; 0: detection's scan of COM1 to COM32
  int baud = 0;                  // console rate; 0: detection's six rates
  bool verify = true;            // read "%fw -v" back after the reboot
  int verifySeconds = 30;        // how long the read-back is retried
  std::string tracePath;         // wire trace file; empty: FWUPGRADE_TRACE
  bool skipCurrent = false;      // a unit that runs the release already gets nothing more
  std::string program;           // the tool, to probe COM1 to COM32 at once; empty: one by one
  // Hooks (UnitHooks.h): commands run for the unit through the shell; empty: none.
  std::string onStart, onResult;
};
// runUpdate runs the update with the updater's console texts and returns the
// exit status: 0 updated (and verified unless switched off) or, with
// skipCurrent, found running the release already; 1 failed or not verified, 3
// no unit answered.

#endif  // UPDATECOMMAND_H
