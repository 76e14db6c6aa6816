// Standard input without waiting on POSIX: poll with no timeout, then one read.
//
// POSIX calls here return 0 or a count upon success and -1 upon failure. The
// descriptor is never made non-blocking: that flag belongs to the open file
// the shell shares with every program on its terminal.
#include "platform/StandardInput.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

static bool gEnded = false;

// A background job of the terminal it reads would be stopped (SIGTTIN,
// SIGTTOU). A terminal that is not the process's controlling one (tcgetpgrp
// fails) stops nobody.
static bool inBackground(void) {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground != -1 && foreground != getpgrp();
}
static bool gEchoHidden = false;
static struct termios gTerminalBeforeQuiet;

void standardInput_start(bool hideTyping) {
  gEnded = false;
  if (!hideTyping || gEchoHidden || !isatty(STDIN_FILENO) || inBackground() ||
      tcgetattr(STDIN_FILENO, &gTerminalBeforeQuiet) != 0)
    return;
  // Canonical mode stays: the terminal still edits the line (backspace) and
  // hands it over at Enter; only its echo goes.
  struct termios quiet = gTerminalBeforeQuiet;
  quiet.c_lflag &= ~(tcflag_t)(ECHO | ECHONL);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0) {
    gEchoHidden = true;
    atexit(standardInput_stop);  // however the program ends, short of a kill
  }
}

int standardInput_read(char *buffer, int size) {
  if (gEnded) return -1;
  // A background job waits until it is in the foreground again.
  if (isatty(STDIN_FILENO) && inBackground()) return 0;
  struct pollfd input = {STDIN_FILENO, POLLIN, 0};
  const int ready = poll(&input, 1, 0);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return 0;
  // A closed descriptor (POLLNVAL) is no input at all.
  if (ready < 0 || (input.revents & POLLNVAL)) {
    gEnded = true;
    return -1;
  }
  const ssize_t got = read(STDIN_FILENO, buffer, (size_t)size);
  if (got > 0) return (int)got;
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
  gEnded = true;  // 0: the end of the input; an error: none to come
  return -1;
}

void standardInput_stop(void) {
  if (!gEchoHidden) return;
  gEchoHidden = false;
  tcsetattr(STDIN_FILENO, TCSANOW, &gTerminalBeforeQuiet);
}
