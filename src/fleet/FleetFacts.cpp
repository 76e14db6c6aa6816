// The intake of a child's facts and the settling of its unit's result, for
// update-all's run and a standalone update alike.
#include "fleet/FleetFacts.h"

#include <stdlib.h>

#include "platform/ExitStatus.h"

bool fleet_takeFact(FleetRecord *record, FleetHeard *heard, bool afterUpdate,
                    const std::string &key, const std::string &value) {
  FleetRecord &r = *record;
  if (key == UPDATE_FACT_TYPE) r.type = value;
  else if (key == UPDATE_FACT_FIRMWARE) (afterUpdate ? r.firmwareAfter : r.firmwareBefore) = value;
  else if (key == UPDATE_FACT_FPGA_VERSION) (afterUpdate ? r.fpgaAfter : r.fpgaBefore) = value;
  else if (key == UPDATE_FACT_MESSAGE) r.message = value;
  else if (key == UPDATE_FACT_UP_TO_DATE) heard->upToDate = value == "true";
  else if (key == UPDATE_FACT_STATE) heard->state = value;
  else if (key == UPDATE_FACT_ATTEMPT) {
    // The record tells the last attempt: the failure that led to it is in the log.
    const int attempt = atoi(value.c_str());
    if (attempt > r.attempts) r.attempts = attempt;
    r.message.clear();
  }
  else return false;
  return true;
}

void fleet_settle(FleetRecord *record, const FleetEnding &ending) {
  FleetRecord &r = *record;
  const std::string exitText = "exit status " + std::to_string(ending.status);
  if (ending.hungSeconds > 0) {
    r.result = FLEET_RESULT_FAILED;
    r.failedStep = ending.step;
    r.message = "no progress for " + std::to_string((int)ending.hungSeconds) + " s: stopped";
  } else if (ending.status == EXIT_UPDATE_DONE) {
    // Even after a stop request: the child finished its update first.
    r.result = ending.heard.upToDate ? FLEET_RESULT_CURRENT : FLEET_RESULT_UPDATED;
  } else if (ending.stopped || ending.status == EXIT_INTERRUPTED) {
    r.result = FLEET_RESULT_INTERRUPTED;
    r.failedStep = ending.step;
    // The child's last words tell the unit's state ("the unit has no working
    // firmware ..."), on its channel: its log may not have taken them.
    if (!ending.heard.state.empty()) r.message = ending.heard.state;
    else if (r.message.empty()) r.message = ending.interruptNote != NULL ? ending.interruptNote : exitText;
  } else {
    r.result = FLEET_RESULT_FAILED;
    r.failedStep = ending.step;
    if (r.message.empty()) r.message = exitText;
  }
}
