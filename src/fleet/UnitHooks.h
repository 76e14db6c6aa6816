// A unit's hooks: the commands given as --on-start (run when the unit's
// first image begins) and --on-result (run once its result is settled),
// each through the system shell (ShellCommand.h).
//
// Everything about the unit reaches the command in environment variables
// only (unitHooks_environment), never in the command's text: no byte a unit,
// a port or a scanner gave can become shell syntax. A hook is never waited
// for where that would hold an update up: it is started, looked at without
// waiting, and stopped at its bound (UNIT_HOOK_SECONDS), which its unit's log
// then says in a line of the tool's own. Its output goes to the unit's log,
// up to SHELL_COMMAND_OUTPUT_MAX: a line of the tool's own counts the rest.
// Its exit status is the unit's record's hookStatus (startHookStatus for
// on-start): the command's own, UNIT_HOOK_STOPPED when stopped at its bound,
// UNIT_HOOK_NOT_STARTED when it could not be started (or the shell could not
// find the command), UNIT_HOOK_INTERRUPTED when an interrupt stopped it. It
// never changes the unit's result.
#ifndef UNITHOOKS_H
#define UNITHOOKS_H

#include <string>

#include "fleet/FleetReport.h"
#include "platform/ShellCommand.h"

#define UNIT_HOOK_SECONDS 30.0
#define UNIT_HOOK_STOPPED 124      // ran past its bound
#define UNIT_HOOK_NOT_STARTED 127  // as the shells say of a command they cannot find
#define UNIT_HOOK_INTERRUPTED 130  // stopped by an interrupt, as the tool's own status says

enum UnitHookEvent { UNIT_HOOK_START, UNIT_HOOK_RESULT };

// FWUPGRADE_EVENT (start or result) and the record's fields as the report
// writes them: FWUPGRADE_RESULT, _PORT (the COM number; "" for a port without
// one), _ADDRESS, _SLOT (the USB location where known, else the address),
// _LABEL, _TYPE, _FIRMWARE_BEFORE, _FIRMWARE_AFTER, _FPGA_BEFORE, _FPGA_AFTER,
// _LOG, _MESSAGE, _FAILED_STEP, _SECONDS, _DEVICE, _BAUD. What is not known
// yet (at start: the result, the versions after) is "". A value's line ends
// become spaces and its other control characters (NUL included, which no
// environment can hold) '?'.
ShellEnvironment unitHooks_environment(const FleetRecord &record, UnitHookEvent event);

// One hook of one unit, started at construction.
class UnitHook {
 public:
  // Runs COMMAND with RECORD's variables, its output appended to record.log
  // (the null device when the unit has none), or to this process's console
  // with toConsole (a single update, whose console is its unit's log).
  UnitHook(const std::string &command, UnitHookEvent event, const FleetRecord &record,
           double boundSeconds = UNIT_HOOK_SECONDS, bool toConsole = false);
  ~UnitHook();  // one still running is killed
  UnitHook(const UnitHook &) = delete;
  UnitHook &operator=(const UnitHook &) = delete;

  // Takes its end without waiting; stops it once past its bound. TRUE once
  // it has ended (status() is then its status).
  bool poll();
  // Waits (polling) until it has ended or been stopped at its bound.
  int wait();
  // An interrupt: kills it now, its status UNIT_HOOK_INTERRUPTED (unless it
  // was being stopped at its bound already).
  void interrupt();
  bool ended() const { return ended_; }
  // Its id for shellCommand_killById while it runs; 0 once it has ended.
  long id() const { return ended_ || command_ == NULL ? 0 : shellCommand_id(command_); }
  int status() const { return status_; }

 private:
  void say(const std::string &what);  // a line of the tool's own in the log
  void end(int status);

  const std::string name_, log_;
  const bool toConsole_;
  const double bound_;
  ShellCommand *command_ = NULL;
  double startedAt_ = 0, killAt_ = 0;  // killAt_: once stopped, when it is killed
  bool ended_ = false;
  int status_ = FLEET_NO_HOOK, stoppedWith_ = 0;
};

#endif  // UNITHOOKS_H
