// A unit's hooks: their variables, and each hook's run within its bound.
#include "fleet/UnitHooks.h"

#include <stdio.h>

#include <chrono>

#include "platform/Files.h"
#include "platform/Platform.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"

// Between the request to end (SIGTERM) and the kill of what is left.
#define HOOK_STOP_GRACE_SECONDS 1.0
#define WAIT_STEP_MS 20

static double nowSeconds(void) {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A value as an environment takes it and a line of a script reads it.
static std::string variableValue(const std::string &value) {
  std::string safe = value;
  for (char &c : safe) {
    if (c == '\r' || c == '\n') c = ' ';
    else if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
  }
  return safe;
}

ShellEnvironment unitHooks_environment(const FleetRecord &r, UnitHookEvent event) {
  const bool result = event == UNIT_HOOK_RESULT;
  // A USB slot's unit: the COM number of the device it was found on.
  const int com = portDescription_of(r.port).comNumber > 0 ? portDescription_of(r.port).comNumber
                                                           : r.slotComNumber;
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
  const std::pair<const char *, std::string> fields[] = {
      {"EVENT", result ? "result" : "start"},
      {"RESULT", fleet_resultName(r.result)},
      {"PORT", com > 0 ? std::to_string(com) : ""},
      {"ADDRESS", r.address},
      {"SLOT", r.location.empty() ? r.address : r.location},
      {"LABEL", r.label},
      {"TYPE", r.type},
      {"FIRMWARE_BEFORE", r.firmwareBefore},
      {"FIRMWARE_AFTER", r.firmwareAfter},
      {"FPGA_BEFORE", r.fpgaBefore},
      {"FPGA_AFTER", r.fpgaAfter},
      {"LOG", r.log},
      {"MESSAGE", r.message},
      {"FAILED_STEP", r.failedStep},
      {"SECONDS", result ? seconds : ""},
      {"DEVICE", r.device},
      {"BAUD", r.baud > 0 ? std::to_string(r.baud) : ""},
  };
  ShellEnvironment environment;
  for (const auto &field : fields)
    environment.emplace_back(std::string("FWUPGRADE_") + field.first, variableValue(field.second));
  return environment;
}

UnitHook::UnitHook(const std::string &command, UnitHookEvent event, const FleetRecord &record,
                   double boundSeconds, bool toConsole)
    : name_(event == UNIT_HOOK_START ? "on-start" : "on-result"),
      log_(record.log),
      toConsole_(toConsole),
      bound_(boundSeconds) {
  startedAt_ = nowSeconds();
  std::string why;
  command_ =
      shellCommand_start(command, unitHooks_environment(record, event), log_, toConsole, &why);
  if (command_ == NULL) {
    say("could not start: " + why + " (status " + std::to_string(UNIT_HOOK_NOT_STARTED) + ")");
    end(UNIT_HOOK_NOT_STARTED);
  }
}

UnitHook::~UnitHook() { shellCommand_free(command_); }

void UnitHook::say(const std::string &what) {
  if (toConsole_) {
    toolError_print("%s hook %s", name_.c_str(), what.c_str());
    return;
  }
  if (log_.empty()) return;
  FILE *log = fopen(log_.c_str(), "ab");
  if (log == NULL) return;  // the log's own trouble was said when it began
  fprintf(log, "%s" TOOL_NAME ": %s hook %s%s", FILES_LINE_END, name_.c_str(), what.c_str(),
          FILES_LINE_END);
  fclose(log);
}

void UnitHook::end(int status) {
  ended_ = true;
  status_ = status;
}

bool UnitHook::poll() {
  if (ended_) return true;
  int status = 0;
  if (shellCommand_finished(command_, &status)) {
    const unsigned long long leftOut = shellCommand_outputLeftOut(command_);
    if (leftOut > 0)
      say("output past " + std::to_string(SHELL_COMMAND_OUTPUT_MAX >> 20) +
          " MiB: " + std::to_string(leftOut) + " bytes left out");
    end(stoppedWith_ != 0 ? stoppedWith_ : status);
    return true;
  }
  const double now = nowSeconds();
  if (stoppedWith_ == 0 && now - startedAt_ >= bound_) {
    char bound[32];
    snprintf(bound, sizeof bound, "%g", bound_);
    say(std::string("still running after ") + bound + " s: stopped (status " +
        std::to_string(UNIT_HOOK_STOPPED) + ")");
    stoppedWith_ = UNIT_HOOK_STOPPED;
    killAt_ = now + HOOK_STOP_GRACE_SECONDS;
    shellCommand_stop(command_);
  } else if (stoppedWith_ != 0 && now >= killAt_) {
    shellCommand_kill(command_);
  }
  return false;
}

int UnitHook::wait() {
  while (!poll()) Sleep(WAIT_STEP_MS);
  return status_;
}

void UnitHook::interrupt() {
  if (ended_) return;
  if (stoppedWith_ == 0) {
    say("stopped by an interrupt (status " + std::to_string(UNIT_HOOK_INTERRUPTED) + ")");
    stoppedWith_ = UNIT_HOOK_INTERRUPTED;
  }
  shellCommand_kill(command_);
}
