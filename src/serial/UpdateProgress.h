// Where an update stands, told to whoever listens: the interrupt handling (is
// an image being streamed?), the tool's progress channel and the fleet table.
//
// The update's modules report their steps and percentages here; the console
// texts are printed by those modules themselves and never pass through here.
#ifndef UPDATEPROGRESS_H
#define UPDATEPROGRESS_H

#include "platform/Platform.h"

typedef enum UpdateStep {
  UPDATE_STEP_IDLE = 0,
  UPDATE_STEP_DETECTING,         // looking for the unit on the ports
  UPDATE_STEP_CHECKING,          // versions, product, TX or RX
  UPDATE_STEP_SENDING_LOGIC,     // FPGA image announced and streamed
  UPDATE_STEP_SENDING_FIRMWARE,  // microcontroller image announced and streamed
  UPDATE_STEP_REBOOTING,         // both images accepted, the unit restarts
  UPDATE_STEP_VERIFYING,         // reading the version back after the reboot
  UPDATE_STEP_DONE,
  UPDATE_STEP_FAILED,
} UpdateStep;

typedef enum UpdateEventKind {
  UPDATE_EVENT_STEP,     // the step changed (percent restarts at 0)
  UPDATE_EVENT_PERCENT,  // the percentage of the current step changed
  UPDATE_EVENT_FACT,     // something learnt about the unit: key and value
} UpdateEventKind;

typedef struct UpdateEvent {
  UpdateEventKind kind;
  UpdateStep step;
  int percent;
  const char *key;    // UPDATE_EVENT_FACT only, otherwise null
  const char *value;  // UPDATE_EVENT_FACT only, otherwise null
} UpdateEvent;

typedef void (*UpdateListener)(const UpdateEvent *event, void *context);

// The step's name as shown to users and written on the progress channel:
// "idle", "detecting", "checking", "sending logic", "sending firmware",
// "rebooting", "verifying", "done", "failed".
const char *updateProgress_stepName(UpdateStep step);

// Moves to a step; listeners hear of it only when the step really changes.
void updateProgress_setStep(UpdateStep step);
// Sets the percentage of the current step (clamped to 0..100); listeners hear
// of it only when it changes.
void updateProgress_setPercent(int percent);
// The keys of the facts told about a unit, named once for those who tell them
// (the updater, a tool's update and probe children) and those who read them
// (update-all, a standalone update's record of its unit, the live status).
//
// The unit answered here: its port number and rate, and the device the port
// reached (a probe's).
#define UPDATE_FACT_PORT "port"
#define UPDATE_FACT_BAUD "baud"
#define UPDATE_FACT_DEVICE "device"
// What the unit said of itself: TX or RX, its versions.
#define UPDATE_FACT_TYPE "type"
#define UPDATE_FACT_FIRMWARE "firmware"
#define UPDATE_FACT_FPGA_FAMILY "fpga_family"
#define UPDATE_FACT_FPGA_VERSION "fpga_version"
#define UPDATE_FACT_FPGA_DEVICE "fpga_device"
// "true": the unit runs the release already, and nothing was written to it.
#define UPDATE_FACT_UP_TO_DATE "up_to_date"
// Why the update failed, in one line.
#define UPDATE_FACT_MESSAGE "message"
// The state an interrupt left the unit in, the child's last words.
#define UPDATE_FACT_STATE "state"
// Why the child's log cannot be written (its update goes on).
#define UPDATE_FACT_LOG_ERROR "log_error"
// A probe's port that did not open, and why.
#define UPDATE_FACT_OPEN_FAILURE "open_failure"

// The update begins again from its first announce (update --retries): the
// attempt's number, "2" for the first retry. A unit's first attempt is not told.
#define UPDATE_FACT_ATTEMPT "attempt"

// While detecting: the port and rate about to be asked ("COM3 115200").
#define UPDATE_FACT_ASKING "asking"

// Tells listeners a fact about the unit, KEY one of the UPDATE_FACT_ names.
void updateProgress_fact(const char *key, const char *value);

// The current step. Safe to call from a signal handler or another thread.
UpdateStep updateProgress_step(void);
// TRUE from the first image's announce until the unit has accepted the last
// image: stopping then leaves the unit without a working firmware.
BOOL updateProgress_unitAtRisk(void);

// Listeners are called in the order they were added, on the updating thread.
// Returns FALSE when the table (6 listeners) is full.
BOOL updateProgress_addListener(UpdateListener listener, void *context);
void updateProgress_removeListener(UpdateListener listener, void *context);
// Back to UPDATE_STEP_IDLE without telling anyone (tests, a new run).
void updateProgress_reset(void);

#endif  // UPDATEPROGRESS_H
