// The answer to an interrupt, the same on every platform; the platform files
// catch the interrupt and carry the answer out.
#include "interrupts/Interrupts.h"

#include <signal.h>

#include "serial/UpdateProgress.h"

// Set by the first interrupt while the unit is at risk.
static volatile sig_atomic_t gWarned = 0;
// Every warning given since the start, whatever came of it.
static volatile sig_atomic_t gWarnings = 0;

static const char WARNING_AT_RISK[] =
    "\r\nWARNING: an image is being sent to the unit. Stopping now leaves the unit without a"
    " working firmware.\r\nThe update goes on. Interrupt again to stop anyway.\r\n";
static const char STOPPED_BEFORE_IMAGES[] =
    "\r\nInterrupted: no image was sent, the unit keeps the firmware it has.\r\n";
static const char STOPPED_AT_RISK[] =
    "\r\nInterrupted while an image was being sent: the unit has no working firmware until"
    " it is updated again.\r\n";
static const char STOPPED_RESTARTING[] =
    "\r\nInterrupted: the unit accepted both images and is restarting with its new"
    " firmware.\r\n";
static const char STOPPED_AFTER_UPDATE[] =
    "\r\nInterrupted: the update is complete, the unit runs its new firmware.\r\n";
static const char STOPPED[] = "\r\nInterrupted.\r\n";

static volatile InterruptStopNote gStopNote = NULL;

static volatile InterruptStopEnd gStopEnd = NULL;

void interruptHandling_setStopNote(InterruptStopNote note) { gStopNote = note; }

void interruptHandling_setStopEnd(InterruptStopEnd end) { gStopEnd = end; }

void interruptHandling_noteStop(const char *text) {
  InterruptStopEnd end = gStopEnd;
  if (end != NULL) end();
  InterruptStopNote note = gStopNote;
  if (note != NULL) note(text);
}

// A warning holds for one stretch at risk: once the unit is out of it (the
// images accepted, the update failed, the next unit of a batch begins), the
// next stretch starts with a warning again.
static void rearmWhenSafe(const UpdateEvent *event, void *context) {
  (void)context;
  if (event->kind == UPDATE_EVENT_STEP && !updateProgress_unitAtRisk()) gWarned = 0;
}

void interruptHandling_followSteps(void) {
  static BOOL following = FALSE;
  if (!following) following = updateProgress_addListener(rearmWhenSafe, NULL);
}

InterruptAnswer interruptHandling_answer(const char **text) {
  if (updateProgress_unitAtRisk()) {
    if (!gWarned) {
      gWarned = 1;
      gWarnings = gWarnings + 1;
      *text = WARNING_AT_RISK;
      return INTERRUPT_WARN;
    }
    *text = STOPPED_AT_RISK;
    return INTERRUPT_STOP;
  }
  switch (updateProgress_step()) {
    case UPDATE_STEP_IDLE:
    case UPDATE_STEP_DETECTING:
    case UPDATE_STEP_CHECKING: *text = STOPPED_BEFORE_IMAGES; break;
    case UPDATE_STEP_REBOOTING:
    case UPDATE_STEP_VERIFYING: *text = STOPPED_RESTARTING; break;
    case UPDATE_STEP_DONE: *text = STOPPED_AFTER_UPDATE; break;
    default: *text = STOPPED; break;  // the update failed
  }
  return INTERRUPT_STOP;
}

int interruptHandling_warnings(void) { return (int)gWarnings; }
