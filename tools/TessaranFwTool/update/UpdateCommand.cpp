// update [--port N] [--baud B] [--no-verify] [--trace FILE]
//
// Up to the end of the update, the console shows exactly what the updater
// shows. Where the updater then waits for a key ("Press any key to exit"),
// this prints one final line instead, the verdict a script or an operator
// reads: the version read back and VERIFIED or NOT VERIFIED (or that the
// check was skipped).
#include "update/UpdateCommand.h"

#include <signal.h>
#include <stdio.h>
#include <time.h>

#include <memory>

#include "LookingStatus.h"
#include "ToolCommands.h"
#include "UnitSearch.h"
#include "fleet/FleetFacts.h"
#include "fleet/FleetRun.h"
#include "fleet/ProgressChannel.h"
#include "fleet/UnitHooks.h"
#include "interrupts/Interrupts.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/PrintableText.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/ComPortAPI.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"
#include "serial/UpdateProgress.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitQueries.h"
#include "updater/UnitRun.h"

#define VERIFY_PAUSE_MS 1000  // between two read-backs that brought nothing

// Reads the version back at the unit's console rate until it answers or the
// time is up: a unit may come up only after the updater's banner read.
static BOOL readBackVersion(int seconds, UnitInfo *info) {
  const double giveUpAt = serialTrace_nowMs() + seconds * 1000.0;
  ComPortAPI_SetHardwareFlowControl(FALSE);
  ComPortAPI_SetBaudRate(gBaudRate);
  for (;;) {
    if (queryVersions(info)) return TRUE;
    if (serialTrace_nowMs() >= giveUpAt) return FALSE;
    Sleep(VERIFY_PAUSE_MS);
  }
}

// The verdict line; TRUE when the unit holds the release.
static BOOL verifyUpdate(int seconds) {
  updateProgress_setStep(UPDATE_STEP_VERIFYING);
  UnitInfo info;
  printf("\r\nVerifying firmware version .............  ");
  if (!readBackVersion(seconds, &info)) {
    printf("NOT VERIFIED, the unit did not report its version\r\n");
    updateProgress_fact(UPDATE_FACT_MESSAGE, "the unit did not report its version after the update");
    return FALSE;
  }
  updateProgress_fact(UPDATE_FACT_FIRMWARE, info.firmware.c_str());
  updateProgress_fact(UPDATE_FACT_FPGA_FAMILY, info.fpgaFamily.c_str());
  updateProgress_fact(UPDATE_FACT_FPGA_VERSION, info.fpgaVersion.c_str());
  updateProgress_fact(UPDATE_FACT_FPGA_DEVICE, info.fpgaDevice.c_str());
  if (info.firmware != FIRMWARE_VERSION_TO_UPLOAD) {
    printf("%s NOT VERIFIED, expected %s\r\n", info.firmware.c_str(), FIRMWARE_VERSION_TO_UPLOAD);
    updateProgress_fact(UPDATE_FACT_MESSAGE, "the unit reports another version after the update");
    return FALSE;
  }
  printf("%s VERIFIED\r\n", info.firmware.c_str());
  return TRUE;
}

// A raw socket leaves the line at the server's rate, so the images can go
// only when that rate is theirs. Otherwise nothing is sent: an image
// announced at one rate and streamed at another would leave the unit waiting
// for an image it cannot read.
static BOOL streamRateReachable(void) {
  if (!portDescription_of(gComPortNumber).serverRate || gBaudRate == UPLOAD_BAUD_RATE) return TRUE;
  const std::string port = portDescription_of(gComPortNumber).name;
  char reason[256];
  if (gBaudRate > 0)
    snprintf(reason, sizeof reason,
             "the unit's console runs at %d baud and the images go at %d; this server cannot "
             "change the rate, rfc2217:// can",
             gBaudRate, UPLOAD_BAUD_RATE);
  else
    snprintf(reason, sizeof reason,
             "the rate of this server's line is not known and the server cannot change it; the "
             "images go at %d baud: give --baud %d if the server's line runs at it, or use "
             "rfc2217://, which can change the rate",
             UPLOAD_BAUD_RATE, UPLOAD_BAUD_RATE);
  fflush(stdout);
  toolError_print("%s: %s", port.c_str(), reason);
  printf("\r\nNOT UPDATED, nothing was sent to the unit beyond detection\r\n");
  updateProgress_fact(UPDATE_FACT_MESSAGE, reason);
  return FALSE;
}

// --skip-current: the unit's versions and type read (the read-only queries
// probe sends); TRUE when it runs the release already, as probe's up_to_date
// says. A unit that does not tell its version is updated as without the option.
static BOOL runsReleaseAlready(void) {
  updateProgress_setStep(UPDATE_STEP_CHECKING);
  UnitInfo info;
  if (!queryVersions(&info)) return FALSE;
  updateProgress_fact(UPDATE_FACT_FIRMWARE, info.firmware.c_str());
  updateProgress_fact(UPDATE_FACT_FPGA_VERSION, info.fpgaVersion.c_str());
  if (info.firmware != FIRMWARE_VERSION_TO_UPLOAD) return FALSE;
  if (queryType(&info) && !info.type.empty()) updateProgress_fact(UPDATE_FACT_TYPE, info.type.c_str());
  updateProgress_fact(UPDATE_FACT_UP_TO_DATE, "true");
  return TRUE;
}

// Detection, on the port given or by the scan, as the updater shows it;
// the port and rate found said. The exit status when no unit answered, or -1.
static int detectUnit(const ScriptedUpdateOptions &options) {
  printf("\n\r\n\rDetecting COM port and Baud Rate..................");
  UnitSearch search;
  search.program = options.program;
  search.port = options.port;
  search.baud = options.baud;
  lookingStatus_start();
  const UnitSearchOutcome outcome = unitSearch_find(&search);
  lookingStatus_end();
  if (outcome == UNIT_SEARCH_INTERRUPTED) return EXIT_INTERRUPTED;
  if (outcome != UNIT_SEARCH_FOUND) {
    printf("FAILED\r\n");
    fflush(stdout);
    toolError_print("no unit answered");
    unitSearch_printWhyNone(search);
    updateProgress_fact(UPDATE_FACT_MESSAGE, "no unit answered");
    updateProgress_setStep(UPDATE_STEP_FAILED);
    return EXIT_NO_UNIT;
  }
  printf("OK\r\n");
  if (portDescription_of(gComPortNumber).comNumber > 0) {
    printf("COM PORT Number : %d", gComPortNumber);
    printf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
  } else {
    printf("Port            : %s", portDescription_of(gComPortNumber).name.c_str());
    if (gBaudRate > 0) printf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
    else printf("\r\nBaud rate       : the server's (not known) \r\n\r\n");
  }
  return -1;
}

static int runScriptedUpdate(const ScriptedUpdateOptions &options) {
  // The unit's bytes in a mismatch dump are escaped: they may be anything.
  const UnitRun run = {TOOL_NAME " update", options.tracePath.c_str(), TRUE, printableText_print};
  if (!beginUnitRun(&run)) return EXIT_UPDATE_FAILED;  // message printed
  // A warning on an interrupt mid-stream breaks the progress line: the
  // percentage goes on after the stream's label again, not bare.
  unitExchange_setRelabelAfterBreak(TRUE);

  printf("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
  const int none = detectUnit(options);
  if (none >= 0) return endUnitRun(none);
  if (options.skipCurrent && runsReleaseAlready()) {
    printf("Release %s is already installed: nothing was written to the unit\r\n",
           FIRMWARE_VERSION_TO_UPLOAD);
    ComPortAPI_CloseCOM();
    updateProgress_setStep(UPDATE_STEP_DONE);
    return endUnitRun(EXIT_UPDATE_DONE);
  }
  if (!streamRateReachable()) {
    ComPortAPI_CloseCOM();
    updateProgress_setStep(UPDATE_STEP_FAILED);
    return endUnitRun(EXIT_UPDATE_FAILED);
  }

  // The port is open: the images are streamed under the CTS handshake.
  ComPortAPI_SetHardwareFlowControl(TRUE);
  const BOOL updated = options.retries > 0 ? updateFirmwareWithRetries(options.retries)
                                            : updateFirmware();
  BOOL verified = FALSE;
  if (!updated) {
    fputs("\n\rERROR: The update was not successful.\r\n", stdout);
    printf("\r\nNOT VERIFIED, the update failed\r\n");
  } else if (options.verify) {
    verified = verifyUpdate(options.verifySeconds);
  } else {
    printf("\r\nVerification skipped\r\n");
  }
  ComPortAPI_CloseCOM();

  const BOOL done = updated && (verified || !options.verify);
  updateProgress_setStep(done ? UPDATE_STEP_DONE : UPDATE_STEP_FAILED);
  return endUnitRun(done ? EXIT_UPDATE_DONE : EXIT_UPDATE_FAILED);
}

// ---- A single update's unit and hooks ---------------------------------------------------

// A single update's on-start hook, started when the first image begins,
// beside the stream (looked at with each event, stopped at its bound); the
// unit's record, as update-all records its units, is RECORDING's.
struct SingleUnit {
  std::string onStart;
  UpdateRecord *recording = NULL;
  std::unique_ptr<UnitHook> startHook;
};

// An interrupt ends the update at once, in its handler (at its end too): the
// hook running then goes with it rather than past its bound.
static volatile sig_atomic_t gHookId = 0;
static void endHook(void) { shellCommand_killById(gHookId); }

static void hearUpdate(const UpdateEvent *event, void *context) {
  SingleUnit &unit = *(SingleUnit *)context;
  if (event->kind == UPDATE_EVENT_STEP && event->step == UPDATE_STEP_SENDING_LOGIC &&
      unit.startHook == nullptr && !unit.onStart.empty()) {
    unit.startHook.reset(new UnitHook(unit.onStart, UNIT_HOOK_START, unit.recording->current(),
                                      UNIT_HOOK_SECONDS, true));
    gHookId = (sig_atomic_t)unit.startHook->id();
    unit.recording->noteStartHook(UNIT_HOOK_INTERRUPTED);
  }
  if (unit.startHook != nullptr && gHookId != 0 && unit.startHook->poll()) {
    gHookId = 0;
    unit.recording->noteStartHook(unit.startHook->status());
  }
}

int runUpdate(const ToolOptions &options) {
  if (!options.updateChannel.empty() && !progressChannel_attach(options.updateChannel.c_str())) {
    toolError_print("--progress-fd %s is no open channel", options.updateChannel.c_str());
    return EXIT_USAGE;
  }
  ScriptedUpdateOptions update = options.update;
  update.program = subprocess_selfPath(options.program);
  // update-all's child: its parent records the unit and runs the hooks.
  if (!options.updateChannel.empty()) {
    const int status = runScriptedUpdate(update);
    // The verdict and the lines after the last event are in the log too.
    progressChannel_checkConsole();
    return status;
  }
  // A single update records its unit in the station history (a stop by an
  // interrupt too, from where it ends the process) and runs its hooks.
  const std::string history = historyPathFor(update.historyPath, update.noHistory);
  UpdateRecord recording(update.label);
  if (!update.noHistory) recording.recordStopIn(history);
  SingleUnit unit;
  unit.onStart = update.onStart;
  unit.recording = &recording;
  updateProgress_addListener(hearUpdate, &unit);
  interruptHandling_setStopEnd(endHook);
  const int status = runScriptedUpdate(update);
  updateProgress_removeListener(hearUpdate, &unit);
  FleetRecord r;
  const bool answered = recording.finish(status, &r);
  // Hooks write on the console, which is this unit's log; the update's exit
  // status is never theirs. A stop while they run ends them and records the
  // unit as it stands.
  FleetRecord stopped = r;
  if (unit.startHook != nullptr)
    stopped.startHookStatus = unit.startHook->ended() ? unit.startHook->status() : UNIT_HOOK_INTERRUPTED;
  if (!update.onResult.empty()) stopped.hookStatus = UNIT_HOOK_INTERRUPTED;
  recording.keepSettled(stopped);
  if (unit.startHook != nullptr) r.startHookStatus = unit.startHook->wait();
  gHookId = 0;
  if (!update.onResult.empty()) {
    UnitHook hook(update.onResult, UNIT_HOOK_RESULT, r, UNIT_HOOK_SECONDS, true);
    gHookId = (sig_atomic_t)hook.id();
    r.hookStatus = hook.wait();
    gHookId = 0;
  }
  // The unit's record is final here, its hooks' statuses in it.
  recording.forgetStop();
  if (answered && !update.noHistory) {
    const std::string why = recordInHistory(history, r);
    fflush(stdout);
    if (!why.empty()) toolError_print("%s", why.c_str());
  }
  return status;
}
