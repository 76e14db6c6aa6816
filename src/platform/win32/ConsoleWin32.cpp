// The console set-up on Windows. Everything else the updater needs from the
// platform (serial ports, _getch, _itoa, Sleep) is the real kernel32 and CRT.
//
// Windows calls here return non-zero upon success, 0 upon failure.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "platform/Platform.h"
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
