// The exit statuses of TessaranFwUpgrade and TessaranFwTool, in one place.
// Scripts rely on these numbers: change none of them.
#ifndef EXITSTATUS_H
#define EXITSTATUS_H

// The update (or the tool's command) succeeded; for `update`, the unit was
// also verified unless verification was switched off.
#define EXIT_UPDATE_DONE 0
// The update failed, or it could not be verified; a tool command failed.
#define EXIT_UPDATE_FAILED 1
// The tool's command line could not be understood.
#define EXIT_USAGE 2
// No unit answered (probe, update and update-all of the tool).
#define EXIT_NO_UNIT 3
// The run was stopped by an interrupt (Ctrl+C, SIGINT, SIGTERM, SIGHUP).
#define EXIT_INTERRUPTED 130
// The updater's manual path: the entered port or rate could not be used
// (255 as seen by a POSIX shell).
#define EXIT_MANUAL_PORT_UNUSABLE (-1)

#endif  // EXITSTATUS_H
