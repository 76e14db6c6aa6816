// The standard streams made sure of at a program's start.
//
// A program started with descriptor 0, 1 or 2 closed (`>&-`, a daemon's
// start) would hand the first file it opens that number: a serial port opened
// as descriptor 1 gets the console's text, and the unit takes it for
// commands. Each of our programs calls standardStreams_ensureOpen first
// thing in main, before anything else is opened, so that a closed one is
// the null device instead (read-only for input, write-only for output).
//
// Windows: a process without standard handles (a service, `start /b` with
// its handles closed) gets the NUL device as each missing handle, for the
// C runtime's descriptor as well as for GetStdHandle, so that console text
// goes nowhere rather than into the first file the runtime opens, and child
// processes that inherit the handles get valid ones.
#ifndef STANDARDSTREAMS_H
#define STANDARDSTREAMS_H

// FALSE when a closed one could not be given the null device (no /dev/null,
// no descriptor left): the program should then end before it opens anything.
bool standardStreams_ensureOpen(void);

#endif  // STANDARDSTREAMS_H
