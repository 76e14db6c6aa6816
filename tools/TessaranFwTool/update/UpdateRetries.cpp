// update --retries N: a unit whose image was rejected (its checksum did not
// match: a byte lost or changed on the way) or whose stream broke off (the
// unit never answered it) gets the update again from the first image's
// announce, at most N more times.
//
// Nothing is sent again once the unit accepted both images (late, after the
// wait for its answer: the update goes on with the reboot wait), nor after an
// interrupt was answered with a warning: the operator wanted the run to end.
// A failure before the images (no "Ready", the unit's type) is no stream's
// fault and ends the update as without retries.
#include <stdio.h>
#include <string.h>

#include <string>

#include "interrupts/Interrupts.h"
#include "serial/ComPortAPI.h"
#include "serial/UnitExchange.h"
#include "serial/UpdateProgress.h"
#include "update/UpdateCommand.h"
#include "updater/TessaranFwUpgrade.h"

// How long a unit left waiting for the rest of a broken stream may take to
// give it up and answer (the unit gives up after 30 s without a byte).
#define RETRY_SETTLE_SECONDS 45
#define RETRY_READ_MS 1000

// What one attempt came to, heard from the update's events.
struct AttemptWatch {
  UpdateStep step = UPDATE_STEP_IDLE;
  UpdateStep failedIn = UPDATE_STEP_IDLE;  // the step the attempt failed in
  bool streamed = false;        // the failed step had begun its stream
  bool logicAccepted = false;   // since the unit's last restart: its console is at 115200
};

static void watchAttempt(const UpdateEvent *event, void *context) {
  AttemptWatch &watch = *(AttemptWatch *)context;
  if (event->kind == UPDATE_EVENT_PERCENT && event->percent > 0) watch.streamed = true;
  if (event->kind != UPDATE_EVENT_STEP) return;
  if (event->step == UPDATE_STEP_FAILED) watch.failedIn = watch.step;
  else watch.streamed = false;
  if (event->step == UPDATE_STEP_SENDING_FIRMWARE) watch.logicAccepted = true;
  watch.step = event->step;
}

// A unit whose stream broke off still waits for the rest of its image, and
// takes whatever comes as image bytes: it must first give the stream up, or
// answer it after all (a stall). Reads what it says within the bound, at the
// image rate its answers come at; "" when it said nothing.
static std::string awaitUnitAfterStream(void) {
  printf("\r\nWaiting for the unit to end the broken stream ....... ");
  fflush(stdout);
  ComPortAPI_SetBaudRate(UPLOAD_BAUD_RATE);
  ComPortAPI_SetReadingTimeoutInMs(RETRY_READ_MS);
  std::string said;
  for (int waited = 0; waited < RETRY_SETTLE_SECONDS * 1000 / RETRY_READ_MS; waited++) {
    int count = 0;
    ComPortAPI_ReadCOM(gDataBuffer, READ_CHUNK_SIZE, &count);
    if (count > 0) said.append(gDataBuffer, (size_t)count);
    else if (!said.empty()) break;  // its answer is complete
  }
  printf("%s\r\n", said.empty() ? "no answer" : "OK");
  return said;
}

BOOL updateFirmwareWithRetries(int retries) {
  AttemptWatch watch;
  updateProgress_addListener(watchAttempt, &watch);
  BOOL updated = updateFirmware();
  for (int attempt = 2; !updated; attempt++) {
    const bool imageStep = watch.failedIn == UPDATE_STEP_SENDING_LOGIC ||
                           watch.failedIn == UPDATE_STEP_SENDING_FIRMWARE;
    if (!imageStep || !watch.streamed || interruptHandling_warnings() > 0) break;
    // With no attempt left, only a late answer to the last image still counts.
    const bool another = attempt <= retries + 1;
    if (!another && watch.failedIn != UPDATE_STEP_SENDING_FIRMWARE) break;
    // The attempt begins with the unit's way back to its console.
    if (another) updateProgress_fact(UPDATE_FACT_ATTEMPT, std::to_string(attempt).c_str());
    if (unitExchange_lastReply()[0] == '\0') {
      const std::string said = awaitUnitAfterStream();
      if (said.find("SUCCESS") != std::string::npos) {
        // The image was whole, only late: the logic image's console stays at
        // 115200; after the microcontroller's the unit restarts with both.
        if (watch.failedIn == UPDATE_STEP_SENDING_FIRMWARE) {
          printf("The unit accepted the image late: it restarts with both images\r\n\r\n");
          updateProgress_fact(UPDATE_FACT_MESSAGE, "");  // the failure told is undone
          ComPortAPI_SetBaudRate(gBaudRate);
          updated = waitForUnitRestart();
          break;
        }
        watch.logicAccepted = true;
      }
    }
    if (!another) break;
    printf("\r\nAttempt %d of %d: the update begins again from the first image\r\n", attempt,
           retries + 1);
    // The console listens at 115200 from the first accepted image until it restarts.
    ComPortAPI_SetBaudRate(watch.logicAccepted ? UPLOAD_BAUD_RATE : gBaudRate);
    updated = updateFirmwareAgain();
  }
  updateProgress_removeListener(watchAttempt, &watch);
  return updated;
}
