// The console set-up on Windows. Everything else the updater needs from the
// platform (serial ports, _getch, _itoa, Sleep) is the real kernel32 and CRT.
//
// Windows calls here return non-zero upon success, 0 upon failure.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "platform/ConsoleEscapes.h"
#include "platform/Platform.h"

// The console input mode at start. The CRT's _getch switches the mode off for
// its read and back afterwards; an interrupt that ends the process during the
// key wait puts it back through platform_consoleRestore.
static DWORD gInputModeAtStart = 0;
static BOOL gInputModeKnown = FALSE;

void platform_consoleInit(void) {
  // Fails when input is not a console: a pipe or a file, whose mode nothing changes.
  gInputModeKnown = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &gInputModeAtStart) != 0;
  // The console texts carry their own line ends: a line such as "OK\r" is
  // printed with one "\n" after it so that the screen shows CR LF. In the
  // CRT's default text mode every "\n" would become "\r\n" and the screen (or
  // a file the output is redirected to) would get CR CR LF. Binary mode writes
  // the bytes exactly as the program prints them.
  // Returns -1 upon failure: the output then stays in text mode, which only
  // doubles some CRs.
  _setmode(_fileno(stdout), _O_BINARY);
  // Unbuffered output cannot fail for lack of memory: nothing to act on.
  setvbuf(stdout, NULL, _IONBF, 0);
}

void platform_consoleRestore(void) {
  // A failure leaves nothing more to do on the way out.
  if (gInputModeKnown) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), gInputModeAtStart);
}

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

bool platform_consoleTakesEscapes(void) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  /* 1. A console at all: a pipe, a file or no handle has no mode. */
  if (!GetConsoleMode(out, &mode)) return false;
  /* 2. The mode on; a console before Windows 10 refuses it. */
  if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
      !SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
    return false;
  /* 3. Acted on: an erase to the line's end leaves the cursor where it is. A
        console that took the mode and still prints the sequence (Wine's)
        moves the cursor by the sequence's length; those cells are blanked
        again, the cursor put back, the mode too. */
  fflush(stdout);
  CONSOLE_SCREEN_BUFFER_INFO before, after;
  static const char probe[] = "\x1b[K";
  DWORD written = 0;
  if (!GetConsoleScreenBufferInfo(out, &before) ||
      !WriteConsoleA(out, probe, sizeof probe - 1, &written, NULL) ||
      !GetConsoleScreenBufferInfo(out, &after))
    return false;
  const long moved =
      ((long)after.dwCursorPosition.Y - before.dwCursorPosition.Y) * before.dwSize.X +
      after.dwCursorPosition.X - before.dwCursorPosition.X;
  if (moved == 0) return true;
  DWORD blanked = 0;
  // Failures leave the sequence's text on the screen; the answer stands.
  if (moved > 0)
    FillConsoleOutputCharacterA(out, ' ', (DWORD)moved, before.dwCursorPosition, &blanked);
  SetConsoleCursorPosition(out, before.dwCursorPosition);
  SetConsoleMode(out, mode);
  return false;
}
