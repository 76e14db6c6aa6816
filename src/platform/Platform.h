// The Windows serial, console and timing calls the updater is written against.
//
// On Windows these are the real kernel32 / CRT calls. Everywhere else our own
// layer in platform/posix offers the same names, types and behaviour on termios.
#ifndef PLATFORM_H
#define PLATFORM_H

#ifdef _WIN32
#include <windows.h>
#include <conio.h>
#include <stdlib.h>
#else
#include "platform/posix/WinApiPosix.h"
#endif

// Makes every console print reach the screen at once, also text without a line
// end (prompts, dotted step lines, percentages overwritten with backspaces).
void platform_consoleInit(void);

// Implemented by the console layer: puts the terminal (POSIX) or the console
// input mode (Windows) back as it was before the key wait changed it. Does
// nothing when nothing was changed. Async-signal-safe on POSIX.
void platform_consoleRestore(void);

#endif  // PLATFORM_H
