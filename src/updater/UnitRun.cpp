#include "updater/UnitRun.h"

#include <stdio.h>

#include "interrupts/Interrupts.h"
#include "serial/SerialTrace.h"
#include "serial/UpdateProgress.h"
#include "updater/ReleaseSummary.h"
#include "updater/TessaranFwUpgrade.h"

// The trace's opening records: the program, the release and its images as
// the update announces them.
static void startTrace(const char *program, const char *path) {
  if (!serialTrace_start(program, FIRMWARE_VERSION_TO_UPLOAD, path)) return;
  serialTrace_note("release %s", FIRMWARE_VERSION_TO_UPLOAD);
  ReleaseImage images[RELEASE_IMAGE_COUNT];
  if (!summarizeEmbeddedRelease(images)) return;
  for (int entry = 0; entry < RELEASE_IMAGE_COUNT; entry++) {
    if (images[entry].valid)
      serialTrace_note("image %d %s length %d checksum %u", entry, images[entry].name,
                       images[entry].flatLength, (unsigned)images[entry].checkSum);
    else
      serialTrace_note("image %d %s does not assemble", entry, images[entry].name);
  }
}

BOOL beginUnitRun(const UnitRun *run) {
  if (run->consoleOutput) platform_consoleInit();
  interruptHandling_install();
  updateProgress_reset();
  unitExchange_setReplyPrinter(run->replyPrinter);
  if (!allocateWorkingBuffers()) return FALSE;
  if (run->program != NULL) startTrace(run->program, run->tracePath);
  return TRUE;
}

int endUnitRun(int status) {
  fflush(stdout);
  serialTrace_finish(status);
  releaseWorkingBuffers();
  return status;
}
