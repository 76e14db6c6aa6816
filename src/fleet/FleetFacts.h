// The facts a child tells its parent about its unit, each a "fact KEY VALUE"
// line on its progress channel (ProgressChannel.h), and what the parent makes
// of them (the keys are named once, in serial/UpdateProgress.h, for the
// children that send them and the parents that read them); the intake of a fact into the
// unit's record, and the result settled from the child's end.
#ifndef FLEETFACTS_H
#define FLEETFACTS_H

#include <string>

#include "fleet/FleetReport.h"
#include "serial/UpdateProgress.h"  // the fact keys

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
