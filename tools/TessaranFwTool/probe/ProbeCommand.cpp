// probe [--port N] [--baud B] [--json]: finds the unit as the updater does and
// shows what it says about itself. Read-only: "%help -c version" (detection),
// "%fw -v" and "%fw -p" are all it sends.
#include <stdio.h>

#include <nlohmann/json.hpp>

#include "JsonText.h"
#include "LookingStatus.h"
#include "ToolCommands.h"
#include "UnitSearch.h"
#include "UnitView.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/PrintableText.h"
#include "platform/Subprocess.h"
#include "platform/SystemPorts.h"
#include "platform/ToolError.h"
#include "serial/ComPortAPI.h"
#include "serial/PortDescription.h"
#include "serial/SerialTrace.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitQueries.h"
#include "updater/UnitRun.h"

using nlohmann::json;

int runProbe(const ToolOptions &tool) {
  const ProbeOptions &options = tool.probe;
  const UnitRun run = {TOOL_NAME " probe", options.tracePath.c_str(), TRUE, NULL};
  if (!beginUnitRun(&run)) return EXIT_UPDATE_FAILED;
  UnitSearch search;
  search.program = subprocess_selfPath(tool.program);
  search.port = options.port;
  search.baud = options.baud;
  // A port that opens but takes no setting (a server that runs its line at
  // another rate) is told once below with its reason, not at every rate.
  ComPortAPI_PrintFailures(FALSE);
  lookingStatus_start();
  const UnitSearchOutcome outcome = unitSearch_find(&search);
  lookingStatus_end();
  if (outcome == UNIT_SEARCH_INTERRUPTED) return endUnitRun(EXIT_INTERRUPTED);
  if (outcome != UNIT_SEARCH_FOUND) {
    toolError_print("no unit answered");
    unitSearch_printWhyNone(search);
    if (options.json) printf("null\n");
    return endUnitRun(EXIT_NO_UNIT);
  }
  UnitInfo info;
  queryUnit(&info);
  ComPortAPI_CloseCOM();
  if (options.json) {
    json unit = unitJson(info);
    // The adapter's slot, where the system tells one for the unit's port.
    for (const SystemPort &port : systemPorts_list())
      if (port.device == info.device && (port.vid >= 0 || !port.location.empty()))
        addSlotJson(&unit, port);
    printf("%s\n", jsonText(unit).c_str());
  } else {
    printUnit(info, "");
  }
  return endUnitRun(EXIT_UPDATE_DONE);
}
