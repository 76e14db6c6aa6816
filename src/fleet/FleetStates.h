// A unit's step (where its update stands, as its child tells it on the
// progress channel) and its result, as values; each with the one table of
// the texts that go on the channel, the live table, the report and the
// summary.
#ifndef FLEETSTATES_H
#define FLEETSTATES_H

#include <string>

enum FleetStep {
  FLEET_STEP_UNKNOWN,  // a text this version does not know (a newer child's): kept as told
  FLEET_STEP_WAITING,  // not started, or started and nothing told yet
  FLEET_STEP_IDLE,
  FLEET_STEP_DETECTING,
  FLEET_STEP_CHECKING,
  FLEET_STEP_SENDING_LOGIC,
  FLEET_STEP_SENDING_FIRMWARE,
  FLEET_STEP_REBOOTING,
  FLEET_STEP_VERIFYING,
  FLEET_STEP_DONE,
  FLEET_STEP_FAILED,
  // Set by the parent at the unit's end.
  FLEET_STEP_CURRENT,  // the unit runs the release already
  FLEET_STEP_INTERRUPTED,
};

enum FleetResult {
  FLEET_RESULT_NONE,  // not settled yet
  FLEET_RESULT_UPDATED,
  FLEET_RESULT_FAILED,
  FLEET_RESULT_INTERRUPTED,
  FLEET_RESULT_CURRENT,  // runs the release already
};

// "sending logic", ...; "" for FLEET_STEP_UNKNOWN.
const char *fleet_stepName(FleetStep step);
// The step a text names; FLEET_STEP_UNKNOWN for any other text.
FleetStep fleet_stepOf(const std::string &name);
// "updated", "failed", "interrupted", "current"; "" for FLEET_RESULT_NONE.
const char *fleet_resultName(FleetResult result);
// The result a text names; FLEET_RESULT_NONE for any other text.
FleetResult fleet_resultOf(const std::string &name);

// An image is being streamed to the unit.
inline bool fleet_isStreamingStep(FleetStep step) {
  return step == FLEET_STEP_SENDING_LOGIC || step == FLEET_STEP_SENDING_FIRMWARE;
}
// Updated, or found running the release already: nothing left to do.
inline bool fleet_isSound(FleetResult result) {
  return result == FLEET_RESULT_UPDATED || result == FLEET_RESULT_CURRENT;
}

// The seconds a unit's update still takes, from its step and the percentage
// of that step: the image bytes left at the line rate, then the reboot wait.
// fpgaBytes and mcuBytes are the lengths of the unit's two images. -1 once
// the update has ended (done, failed, interrupted).
double fleet_secondsLeft(FleetStep step, int percent, long fpgaBytes, long mcuBytes);

#endif  // FLEETSTATES_H
