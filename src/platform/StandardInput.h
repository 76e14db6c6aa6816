// Standard input read without waiting, for a program whose loop also follows
// its children: update-all's scanned labels (a barcode scanner is a keyboard
// that types a line and Enter).
//
// POSIX: poll and read on descriptor 0, each call taking what is there now
// (a pipe, a file, a terminal in canonical mode, which hands over whole lines).
// Windows: a reader thread blocks in ReadFile (a pipe, a file, or the console,
// which hands over whole lines too) and keeps what it read for the next call;
// the caller's loop sees it at its next round, so its waits need to be short
// (update-all's are at most 200 ms).
#ifndef STANDARDINPUT_H
#define STANDARDINPUT_H

// Starts reading. With hideTyping, a terminal (a console) stops echoing what
// is typed until standardInput_stop: the lines are shown by the caller, and an
// echo would move the cursor under a table drawn in place. Input that is no
// terminal is read as it is.
void standardInput_start(bool hideTyping);
// What came since the last call, without waiting: the byte count (> 0), 0
// when nothing is there now, -1 once the input has ended (a closed pipe, the
// end of a file, Ctrl+D on a terminal; no input at all), said every call after.
int standardInput_read(char *buffer, int size);
// Puts the terminal's echo back. A reader thread still blocked in its read
// stays so until the process ends.
void standardInput_stop(void);

#endif  // STANDARDINPUT_H
