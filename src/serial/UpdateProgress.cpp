// Step and percentage of the update, and the listeners that follow them.
#include "serial/UpdateProgress.h"

#include <signal.h>
#include <stddef.h>

#define MAX_LISTENERS 6

// Read by signal handlers (and a console control thread on Windows): a
// sig_atomic_t written in one store.
static volatile sig_atomic_t gStep = UPDATE_STEP_IDLE;
static int gPercent = 0;

static struct {
  UpdateListener listener;
  void *context;
} gListeners[MAX_LISTENERS];

static void tellListeners(const UpdateEvent *event) {
  for (int i = 0; i < MAX_LISTENERS; i++)
    if (gListeners[i].listener != NULL) gListeners[i].listener(event, gListeners[i].context);
}

const char *updateProgress_stepName(UpdateStep step) {
  switch (step) {
    case UPDATE_STEP_IDLE: return "idle";
    case UPDATE_STEP_DETECTING: return "detecting";
    case UPDATE_STEP_CHECKING: return "checking";
    case UPDATE_STEP_SENDING_LOGIC: return "sending logic";
    case UPDATE_STEP_SENDING_FIRMWARE: return "sending firmware";
    case UPDATE_STEP_REBOOTING: return "rebooting";
    case UPDATE_STEP_VERIFYING: return "verifying";
    case UPDATE_STEP_DONE: return "done";
    case UPDATE_STEP_FAILED: return "failed";
  }
  return "unknown";
}

void updateProgress_setStep(UpdateStep step) {
  if ((UpdateStep)gStep == step) return;
  gStep = step;
  gPercent = 0;
  UpdateEvent event = {UPDATE_EVENT_STEP, step, 0, NULL, NULL};
  tellListeners(&event);
}

void updateProgress_setPercent(int percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  if (percent == gPercent) return;
  gPercent = percent;
  UpdateEvent event = {UPDATE_EVENT_PERCENT, (UpdateStep)gStep, percent, NULL, NULL};
  tellListeners(&event);
}

void updateProgress_fact(const char *key, const char *value) {
  if (key == NULL || value == NULL) return;
  UpdateEvent event = {UPDATE_EVENT_FACT, (UpdateStep)gStep, gPercent, key, value};
  tellListeners(&event);
}

UpdateStep updateProgress_step(void) { return (UpdateStep)gStep; }

BOOL updateProgress_unitAtRisk(void) {
  UpdateStep step = (UpdateStep)gStep;
  return step == UPDATE_STEP_SENDING_LOGIC || step == UPDATE_STEP_SENDING_FIRMWARE;
}

BOOL updateProgress_addListener(UpdateListener listener, void *context) {
  for (int i = 0; i < MAX_LISTENERS; i++) {
    if (gListeners[i].listener == NULL) {
      gListeners[i].listener = listener;
      gListeners[i].context = context;
      return TRUE;
    }
  }
  return FALSE;
}

void updateProgress_removeListener(UpdateListener listener, void *context) {
  for (int i = 0; i < MAX_LISTENERS; i++) {
    if (gListeners[i].listener == listener && gListeners[i].context == context) {
      gListeners[i].listener = NULL;
      gListeners[i].context = NULL;
    }
  }
}

void updateProgress_reset(void) {
  gStep = UPDATE_STEP_IDLE;
  gPercent = 0;
}
