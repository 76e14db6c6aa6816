// The facts a child tells its parent about its unit, each a "fact KEY VALUE"
// line on its progress channel (ProgressChannel.h), and what the parent makes
// of them: the keys named once here for the children that send them (update,
// the probe) and the parents that read them (update-all's run and probes, a
// standalone update's record of its unit); the intake of a fact into the
// unit's record, and the result settled from the child's end.
#ifndef FLEETFACTS_H
#define FLEETFACTS_H

#include <string>

#include "fleet/FleetReport.h"

// The unit answered here: its port number and rate (the updater's detection
// tells them too), and the device the port reached.
#define FLEET_FACT_PORT "port"
#define FLEET_FACT_BAUD "baud"
#define FLEET_FACT_DEVICE "device"
// What the unit said of itself: TX or RX, its versions.
#define FLEET_FACT_TYPE "type"
#define FLEET_FACT_FIRMWARE "firmware"
#define FLEET_FACT_FPGA_FAMILY "fpga_family"
#define FLEET_FACT_FPGA_VERSION "fpga_version"
#define FLEET_FACT_FPGA_DEVICE "fpga_device"
// "true": the unit runs the release already, and nothing was written to it.
#define FLEET_FACT_UP_TO_DATE "up_to_date"
// Why the update failed, in one line.
#define FLEET_FACT_MESSAGE "message"
// The state an interrupt left the unit in, the child's last words.
#define FLEET_FACT_STATE "state"
// Why the child's log cannot be written (its update goes on).
#define FLEET_FACT_LOG_ERROR "log_error"
// A probe's port that did not open, and why.
#define FLEET_FACT_OPEN_FAILURE "open_failure"

// What a child told beyond its unit's record.
struct FleetHeard {
  bool upToDate = false;  // it found the release installed and sent nothing
  std::string state;      // what an interrupt left the unit with
};

// A fact an update tells about its unit taken into RECORD (its type, its
// versions, those after the update with afterUpdate: read while verifying;
// the message) or HEARD (up to date, state). FALSE for a fact neither holds.
bool fleet_takeFact(FleetRecord *record, FleetHeard *heard, bool afterUpdate,
                    const std::string &key, const std::string &value);

// How a unit's child ended, for its result.
struct FleetEnding {
  int status = 0;            // its exit status
  std::string step;          // the step it was in when it ended (before failing)
  FleetHeard heard;          // what it told
  bool stopped = false;      // its parent stopped it (an interrupt)
  double hungSeconds = 0;    // > 0: killed after this long without a word
  // The message of a unit interrupted without last words; NULL: its exit status.
  const char *interruptNote = "stopped by an interrupt";
};

// Settles RECORD's result (updated, current, failed, interrupted), and for
// an unsound one its failed step and message, from ENDING.
void fleet_settle(FleetRecord *record, const FleetEnding &ending);

#endif  // FLEETFACTS_H
