// What the ports and probe commands both show of a unit, and of the slot of
// the port it answered on, as text and as JSON.
#ifndef UNITVIEW_H
#define UNITVIEW_H

#include <string>

#include <nlohmann/json.hpp>

#include "updater/UnitQueries.h"

// A unit as both commands show it. A missing field is null in JSON.
nlohmann::json textOrNull(const std::string &text);
nlohmann::json unitJson(const UnitInfo &info);
// The slot keys of a system port (location, serial_number, vid, pid,
// manufacturer, product; null when not known), added to `item`.
void addSlotJson(nlohmann::json *item, const struct SystemPort &port);
void printUnit(const UnitInfo &info, const char *indent);

#endif  // UNITVIEW_H
