// Looking for units: every port probed at once, a child each (FleetProbe.h).
#ifndef FLEETSEARCH_H
#define FLEETSEARCH_H

#include <string>
#include <utility>
#include <vector>

#include "fleet/FleetReport.h"

// How a search asks, and why ports could not be opened.
struct FleetSearch {
  int baud = 0;             // the probes ask at this rate only; 0: detection's rates
  int socketBaud = 0;       // but a socket:// port's at this one, its line's, when above 0
  // Only the unit on the first of the ports (in the order given) where one
  // answers, as detection's sequential scan finds it: the probes still
  // asking on later ports are stopped once every earlier one has ended.
  bool lowestOnly = false;
  std::vector<std::pair<int, std::string>> unopened;  // out: port, why it could not be opened
};

// fleet_findUnits printing nothing when no unit answered: the reasons are in
// search->unopened, in port order, for fleet_printUnopened.
bool fleet_searchUnits(const std::string &self, const std::vector<int> &ports,
                       FleetSearch *search, std::vector<FleetRecord> *found);
// One line per port that could not be opened (absent ports run together).
void fleet_printUnopened(std::vector<std::pair<int, std::string>> unopened);

// Probes every port at once, each in a child of its own (a socket:// port at
// socketBaud only when above 0); the units found (port, baud, device) in port
// order. FALSE when interrupted. When none answered, says why ports could not
// be opened.
bool fleet_findUnits(const std::string &self, const std::vector<int> &ports, int socketBaud,
                     std::vector<FleetRecord> *found);

#endif  // FLEETSEARCH_H
