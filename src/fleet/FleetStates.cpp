// The texts of a unit's steps and results, and the time left at each step.
#include "fleet/FleetStates.h"

static const struct {
  FleetStep step;
  const char *name;
} kSteps[] = {
    {FLEET_STEP_WAITING, "waiting"},
    {FLEET_STEP_IDLE, "idle"},
    {FLEET_STEP_DETECTING, "detecting"},
    {FLEET_STEP_CHECKING, "checking"},
    {FLEET_STEP_SENDING_LOGIC, "sending logic"},
    {FLEET_STEP_SENDING_FIRMWARE, "sending firmware"},
    {FLEET_STEP_REBOOTING, "rebooting"},
    {FLEET_STEP_VERIFYING, "verifying"},
    {FLEET_STEP_DONE, "done"},
    {FLEET_STEP_FAILED, "failed"},
    {FLEET_STEP_CURRENT, "current"},
    {FLEET_STEP_INTERRUPTED, "interrupted"},
};

static const struct {
  FleetResult result;
  const char *name;
} kResults[] = {
    {FLEET_RESULT_UPDATED, "updated"},
    {FLEET_RESULT_FAILED, "failed"},
    {FLEET_RESULT_INTERRUPTED, "interrupted"},
    {FLEET_RESULT_CURRENT, "current"},
};

const char *fleet_stepName(FleetStep step) {
  for (const auto &entry : kSteps)
    if (entry.step == step) return entry.name;
  return "";
}

FleetStep fleet_stepOf(const std::string &name) {
  for (const auto &entry : kSteps)
    if (name == entry.name) return entry.step;
  return FLEET_STEP_UNKNOWN;
}

const char *fleet_resultName(FleetResult result) {
  for (const auto &entry : kResults)
    if (entry.result == result) return entry.name;
  return "";
}

FleetResult fleet_resultOf(const std::string &name) {
  for (const auto &entry : kResults)
    if (name == entry.name) return entry.result;
  return FLEET_RESULT_NONE;
}

#define IMAGE_BYTES_PER_SECOND (115200.0 / 10)  // images go at 115200 whatever the console rate
#define REBOOT_WAIT_SECONDS 138.0                // 46 steps of 3 s after the second image

double fleet_secondsLeft(FleetStep step, int percent, long fpgaBytes, long mcuBytes) {
  const double left = (100 - percent) / 100.0;
  double bytes = 0, reboot = REBOOT_WAIT_SECONDS;
  switch (step) {
    case FLEET_STEP_SENDING_LOGIC: bytes = fpgaBytes * left + mcuBytes; break;
    case FLEET_STEP_SENDING_FIRMWARE: bytes = mcuBytes * left; break;
    case FLEET_STEP_REBOOTING: reboot *= left; break;
    case FLEET_STEP_VERIFYING: reboot = 0; break;
    case FLEET_STEP_WAITING:
    case FLEET_STEP_DETECTING:
    case FLEET_STEP_CHECKING: bytes = fpgaBytes + mcuBytes; break;
    default: return -1;
  }
  return bytes / IMAGE_BYTES_PER_SECOND + reboot;
}
