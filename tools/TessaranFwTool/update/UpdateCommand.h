// update: the update for scripts and production lines, without questions and
// without a key wait, verified by reading the version back.
#ifndef UPDATECOMMAND_H
#define UPDATECOMMAND_H

#include <string>

#include "fleet/FleetFacts.h"
#include "serial/UpdateProgress.h"

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
  std::string historyPath;       // --history FILE; empty: the default station history
  bool noHistory = false;        // no history record (update-all's children never write one)
  std::string label;             // the unit's scanned label for its record; empty: none
  int retries = 0;               // a rejected or broken-off image: the update again, this often
};
#define UPDATE_RETRIES_MAX 10

// The update of the unit found (updateFirmware), begun again from the first
// announce up to RETRIES more times while an image was rejected or its stream
// broke off (UpdateRetries.cpp); TRUE when the unit accepted both images.
BOOL updateFirmwareWithRetries(int retries);
// runUpdate runs the update with the updater's console texts and returns the
// exit status: 0 updated (and verified unless switched off) or, with
// skipCurrent, found running the release already; 1 failed or not verified, 3
// no unit answered.

// The record of the unit a standalone update handled, as the report and the
// station history write it: heard from the update's events from
// construction on.
class UpdateRecord {
 public:
  explicit UpdateRecord(const std::string &label = "");  // --label
  ~UpdateRecord();
  UpdateRecord(const UpdateRecord &) = delete;
  UpdateRecord &operator=(const UpdateRecord &) = delete;
  // The record so far (the unit's port once it answered).
  FleetRecord current();
  // The record once the update ended with STATUS; FALSE when no unit
  // answered (nothing was handled: the record names no port).
  bool finish(int status, FleetRecord *record);
  // An interrupt that stops the update ends the process at once, where only
  // system calls may run (Interrupts.h): from now on the record such a stop
  // leaves (interrupted, in the step it came in) is kept ready as a line of
  // the history at PATH, which the stop only stamps with its time and its
  // last line, and appends.
  void recordStopIn(const std::string &path);
  // The on-start hook's status for that record: UNIT_HOOK_INTERRUPTED while
  // it runs (the stop ends it), then its own.
  void noteStartHook(int status);
  // Once the result is settled (finish), while the hooks run: a stop
  // appends RECORD as it is; then nothing, from forgetStop on.
  void keepSettled(const FleetRecord &record);
  void forgetStop();

 private:
  static void hear(const UpdateEvent *event, void *self);
  void prepareStop();
  void locate();
  FleetRecord record_;
  UpdateStep step_ = UPDATE_STEP_IDLE, stepBeforeFailure_ = UPDATE_STEP_IDLE;
  FleetHeard heard_;  // what the update told beyond the record
  double startedAt_ = 0;
  bool stopRecorded_ = false, located_ = false, settled_ = false;
  int startHookStatus_ = FLEET_NO_HOOK;
};

#endif  // UPDATECOMMAND_H
