#include "UnitSearch.h"

#include <stdio.h>

#include <algorithm>

#include "LookingStatus.h"
#include "fleet/FleetReport.h"
#include "fleet/FleetSearch.h"
#include "interrupts/Interrupts.h"
#include "platform/Platform.h"
#include "platform/PortList.h"
#include "platform/Subprocess.h"
#include "platform/SystemPorts.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"
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
  const std::vector<int> ports = unitSearch_systemPorts();
  const size_t others = ports.size() - (DETECTION_LAST_PORT - DETECTION_FIRST_PORT + 1);
  char asking[96];
  int length = snprintf(asking, sizeof asking, " asking COM%d to COM%d", DETECTION_FIRST_PORT,
                        DETECTION_LAST_PORT);
  if (others > 0)
    length += snprintf(asking + length, sizeof asking - length, " and %zu other port%s", others,
                       others == 1 ? "" : "s");
  if (search->baud > 0) snprintf(asking + length, sizeof asking - length, " at %d baud", search->baud);
  lookingStatus_show(asking);
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

// A system port's number: its COM number, else its path's registration (0
// when the table of registered ports is full).
static int numberOf(const SystemPort &port) {
  return port.comNumber > 0 ? port.comNumber : portRegistry_registerDevice(port.device);
}

std::vector<int> unitSearch_systemPorts(void) {
  std::vector<int> ports;
  for (int port = DETECTION_FIRST_PORT; port <= DETECTION_LAST_PORT; port++) ports.push_back(port);
  for (const SystemPort &port : systemPorts_list()) {
    const int number = numberOf(port);
    if (number > 0 && std::find(ports.begin(), ports.end(), number) == ports.end())
      ports.push_back(number);
  }
  return ports;
}

// Why the port (0: detection's range) gave no unit, as far as the opens tell.
static void printWhyNoUnit(int port) {
  if (port == 0 || portDescription_of(port).comNumber > 0) {
    openFailures_printRange(port > 0 ? port : DETECTION_FIRST_PORT,
                            port > 0 ? port : DETECTION_LAST_PORT);
    return;
  }
  // Why the port could not be opened (a device absent or held, a server not
  // reached or given up); a server that took the connection and relayed no
  // answer says nothing more.
  const std::string failure = portDescription_openFailure(port);
  if (!failure.empty())
    toolError_print("%s: %s", portDescription_of(port).name.c_str(), failure.c_str());
}

void unitSearch_printWhyNone(const UnitSearch &search) {
  // A unit whose port answered a probe and then could not be opened here:
  // the reason is this process's own open.
  if (!search.concurrent || search.unopened.empty()) printWhyNoUnit(search.port);
  else fleet_printUnopened(search.unopened);
}
