// How probe and update find the unit. With --port, detection on that port as
// the updater does it. Without, every port of COM1 to COM32 and then every
// other port the system has (unitSearch_systemPorts) is probed at once,
// a child process each (update-all's probe, each through detection's own rate
// order, or only at --baud); the unit on the lowest COM number that answered,
// the one the sequential scan would have found first, is then opened at the
// rate it answered at, so the command goes on exactly as after the
// sequential scan (gComPortNumber, gBaudRate, the port open).
#ifndef UNITSEARCH_H
#define UNITSEARCH_H

#include <string>
#include <utility>
#include <vector>

enum UnitSearchOutcome {
  UNIT_SEARCH_FOUND,        // the port is open at the unit's rate
  UNIT_SEARCH_NONE,         // no unit answered: unitSearch_printWhyNone tells why
  UNIT_SEARCH_INTERRUPTED,  // the probes were stopped; the interrupt's line is printed
};

struct UnitSearch {
  std::string program;  // the tool itself, to start the probes; empty: the sequential scan
  int port = 0;         // --port; 0: unitSearch_systemPorts()
  int baud = 0;         // --baud; 0: detection's rates
  // Filled by the search: why ports could not be opened, from the probes.
  bool concurrent = false;
  std::vector<std::pair<int, std::string>> unopened;
};

// The ports a search without --port asks: COM1 to COM32 as the updater scans
// them, then every other port the system has, in SystemPorts.h's order (a
// device without a COM number registered by its path).
std::vector<int> unitSearch_systemPorts(void);

// Finds the unit. Must run inside a unit run (beginUnitRun): an interrupt
// during the concurrent probe stops every probe, prints the line the unit
// run's own interrupt handling prints at this step, and returns
// UNIT_SEARCH_INTERRUPTED for the caller to end with EXIT_INTERRUPTED.
UnitSearchOutcome unitSearch_find(UnitSearch *search);

// After "no unit answered": why ports could not be opened, as the sequential
// scan's own opens would have told it.
void unitSearch_printWhyNone(const UnitSearch &search);

#endif  // UNITSEARCH_H
