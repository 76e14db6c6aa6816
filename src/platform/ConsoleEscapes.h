// Whether standard output can be redrawn in place. Apart from Platform.h so
// that code using it needs no windows.h (whose min and max macros break
// std::min and std::max).
#ifndef CONSOLE_ESCAPES_H
#define CONSOLE_ESCAPES_H

// TRUE when standard output is a console that acts on ANSI cursor and erase
// sequences, so that text can be redrawn in place. On Windows this switches
// the console's virtual-terminal processing on and checks that the console
// then acts on a sequence: one that refuses the mode (before Windows 10) or
// takes it and still prints sequences as text (Wine's) gives FALSE, and so
// do a pipe and a file. POSIX: a terminal whose TERM is not "dumb".
bool platform_consoleTakesEscapes(void);

#endif  // CONSOLE_ESCAPES_H
