// A standalone update's record of its unit, from the update's own events: the
// steps and facts update-all reads on its children's channels, taken the way
// FleetRun takes them.
#include <stdlib.h>
#include <time.h>

#include "UpdateCommand.h"
#include "fleet/FleetRun.h"
#include "platform/ExitStatus.h"
#include "serial/PortDescription.h"

UpdateRecord::UpdateRecord() {
  record_.started = fleet_isoTime(time(NULL));
  startedAt_ = fleet_nowSeconds();
  updateProgress_addListener(hear, this);
}

UpdateRecord::~UpdateRecord() { updateProgress_removeListener(hear, this); }

void UpdateRecord::hear(const UpdateEvent *event, void *context) {
  UpdateRecord &self = *(UpdateRecord *)context;
  FleetRecord &r = self.record_;
  if (event->kind == UPDATE_EVENT_STEP) {
    if (event->step == UPDATE_STEP_FAILED) self.stepBeforeFailure_ = self.step_;
    self.step_ = event->step;
    return;
  }
  if (event->kind != UPDATE_EVENT_FACT) return;
  const std::string key = event->key, value = event->value;
  // Versions read while verifying are the ones after the update.
  const bool after = self.step_ == UPDATE_STEP_VERIFYING || self.step_ == UPDATE_STEP_DONE;
  if (fleet_takeFact(&r, after, key, value)) return;
  if (key == "port") r.port = atoi(value.c_str());
  else if (key == "baud") r.baud = atoi(value.c_str());
  else if (key == "up_to_date") self.upToDate_ = value == "true";
}

bool UpdateRecord::finish(int status, FleetRecord *record) {
  FleetRecord &r = record_;
  if (r.port <= 0) return false;  // no unit answered
  const PortDescription port = portDescription_of(r.port);
  r.address = port.name;
  r.device = port.device;
  fleet_findSlot(&r);
  r.finished = fleet_isoTime(time(NULL));
  r.seconds = fleet_nowSeconds() - startedAt_;
  UpdateStep step = step_ == UPDATE_STEP_FAILED ? stepBeforeFailure_ : step_;
  if (step == UPDATE_STEP_IDLE) step = UPDATE_STEP_DETECTING;
  if (status == EXIT_UPDATE_DONE) {
    r.result = upToDate_ ? FLEET_RESULT_CURRENT : FLEET_RESULT_UPDATED;
  } else {
    r.result = status == EXIT_INTERRUPTED ? FLEET_RESULT_INTERRUPTED : FLEET_RESULT_FAILED;
    r.failedStep = updateProgress_stepName(step);
    if (r.message.empty()) r.message = "exit status " + std::to_string(status);
  }
  *record = r;
  return true;
}
