// While probe and update look for the unit, which port and rate they are
// asking, on standard error when it is a terminal: one short text after the
// cursor, replaced in place and erased at the end, so that nothing of it stays
// on the screen, reaches standard output or lands in a file.
#ifndef LOOKINGSTATUS_H
#define LOOKINGSTATUS_H

// Starts following detection's "asking" facts; nothing when standard error is
// no terminal.
void lookingStatus_start(void);
// Shows TEXT (at most 64 characters) in place of what is shown, while
// following: what the concurrent probe asks, which no "asking" fact tells.
void lookingStatus_show(const char *text);
// Erases the text shown and stops following.
void lookingStatus_end(void);

#endif  // LOOKINGSTATUS_H
