// The console set-up on Windows. Everything else the updater needs from the
// platform (serial ports, _getch, _itoa, Sleep) is the real kernel32 and CRT.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "platform/Platform.h"

void platformConsoleInit(void) {
  // The console texts carry their own line ends: a line such as "OK\r" is
  // printed with one "\n" after it so that the screen shows CR LF. In the
  // CRT's default text mode every "\n" would become "\r\n" and the screen (or
  // a file the output is redirected to) would get CR CR LF. Binary mode writes
  // the bytes exactly as the program prints them.
  // Returns the previous mode upon success, -1 upon failure; on failure the
  // output stays in text mode, which only doubles some CRs.
  _setmode(_fileno(stdout), _O_BINARY);
  // Returns 0 upon success, non-zero upon failure; unbuffered output cannot
  // fail for lack of memory, so the result carries nothing to act on.
  setvbuf(stdout, NULL, _IONBF, 0);
}
