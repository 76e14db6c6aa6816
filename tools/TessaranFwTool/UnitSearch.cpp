#include "UnitSearch.h"

#include <stdio.h>

#include "LookingStatus.h"
#include "PortCommands.h"
#include "fleet/FleetRun.h"
#include "interrupts/Interrupts.h"
#include "platform/Platform.h"
#include "platform/Subprocess.h"
#include "serial/UpdateProgress.h"
#include "updater/Detection.h"
#include "updater/UnitQueries.h"

// The interrupt's own answer at this step (nothing sent yet: the unit keeps
// its firmware), printed as its handler prints it.
static void printInterrupted(void) {
  const char *text = NULL;
  interruptHandling_answer(&text);
  fflush(stdout);
  platform_consoleRestore();
  fputs(text, stderr);
  fflush(stderr);
}

UnitSearchOutcome unitSearch_find(UnitSearch *search) {
  if (search->port > 0 || search->program.empty())
    return findUnit(search->port, search->baud) ? UNIT_SEARCH_FOUND : UNIT_SEARCH_NONE;

  search->concurrent = true;
  updateProgress_setStep(UPDATE_STEP_DETECTING);
  char asking[64];
  if (search->baud > 0)
    snprintf(asking, sizeof asking, " asking COM%d to COM%d at %d baud", DETECTION_FIRST_PORT,
             DETECTION_LAST_PORT, search->baud);
  else
    snprintf(asking, sizeof asking, " asking COM%d to COM%d", DETECTION_FIRST_PORT,
             DETECTION_LAST_PORT);
  lookingStatus_show(asking);

  std::vector<int> ports;
  for (int port = DETECTION_FIRST_PORT; port <= DETECTION_LAST_PORT; port++) ports.push_back(port);
  FleetSearch fleetSearch;
  fleetSearch.baud = search->baud;
  fleetSearch.lowestOnly = true;
  std::vector<FleetRecord> found;
  // While the probes run, an interrupt is only counted, so that every probe
  // is stopped (and closes its port) before this process ends; the unit
  // run's own handling is put back as soon as they have ended.
  const int interruptsBefore = subprocess_interruptCount();
  subprocess_countInterrupts();
  const bool completed = fleet_searchUnits(search->program, ports, &fleetSearch, &found);
  subprocess_stopCountingInterrupts();
  if (!completed || subprocess_interruptCount() > interruptsBefore) {
    printInterrupted();
    return UNIT_SEARCH_INTERRUPTED;
  }
  if (found.empty()) {
    search->unopened = fleetSearch.unopened;
    return UNIT_SEARCH_NONE;
  }
  // The chosen probe has closed the port: it is opened here at the rate the
  // unit answered at, so that the unit has heard on its port exactly what
  // the sequential scan would have sent it.
  return openUnit(found.front().port, found.front().baud) ? UNIT_SEARCH_FOUND : UNIT_SEARCH_NONE;
}

void unitSearch_printWhyNone(const UnitSearch &search) {
  // A unit whose port answered a probe and then could not be opened here:
  // the reason is this process's own open.
  if (!search.concurrent || search.unopened.empty()) printWhyNoUnit(search.port);
  else fleet_printUnopened(search.unopened);
}
