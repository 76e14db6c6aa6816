// The console calls of the Windows CRT, on a POSIX terminal.
//
// POSIX calls here return 0 or a count upon success and -1 upon failure.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "platform/ConsoleEscapes.h"
#include "platform/Platform.h"
#include "platform/Platform.h"

// The terminal settings the key wait found, kept while it has the terminal in
// non-canonical mode, so that an interrupt can put them back. gTerminalChanged
// is set only once gTerminalSaved is complete.
static struct termios gTerminalSaved;
static volatile sig_atomic_t gTerminalChanged = 0;

void platform_consoleInit(void) {
  // Unbuffered output cannot fail for lack of memory: nothing to act on.
  setvbuf(stdout, NULL, _IONBF, 0);
}

bool platform_consoleTakesEscapes(void) {
  const char *term = getenv("TERM");
  return isatty(STDOUT_FILENO) && term != NULL && strcmp(term, "dumb") != 0;
}

// One key from the console, without echo and without waiting for Enter.
//
// On a terminal the terminal is put into non-canonical mode for one read of the
// keyboard and restored afterwards. Signal keys are taken as keys too, so that
// Ctrl+C at the final wait ends it like any key instead of killing the process
// with echo still off; a SIGTERM or SIGHUP meanwhile puts the settings back
// through platform_consoleRestore before the process ends. Like the Windows
// call, this bypasses the stdio buffer, so a line end left there by scanf does not count as the key.
// When standard input is not a terminal (a script, a pipe, a file, CI), the next
// byte comes through the same stdio stream that scanf reads, and at the end of
// the input the call returns -1 at once instead of waiting.
int _getch(void) {
  fflush(stdout);
  if (!isatty(STDIN_FILENO)) {
    int c = getchar();
    return c == EOF ? -1 : c;
  }
  struct termios saved, raw;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) {
    int c = getchar();
    return c == EOF ? -1 : c;
  }
  gTerminalSaved = saved;
  std::atomic_signal_fence(std::memory_order_seq_cst);  // saved before flagged
  gTerminalChanged = 1;
  raw = saved;
  raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ISIG);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  unsigned char key = 0;
  ssize_t got;
  do {
    // Returns 0 at end of input.
    got = read(STDIN_FILENO, &key, 1);
  } while (got < 0 && errno == EINTR);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  gTerminalChanged = 0;
  return got == 1 ? (int)key : -1;
}

void platform_consoleRestore(void) {
  // A failure leaves nothing more to do on the way out.
  if (gTerminalChanged) tcsetattr(STDIN_FILENO, TCSANOW, &gTerminalSaved);
}

// Integer to text as the CRT does it: radix 2 to 36, lower-case digits, a minus
// sign only in radix 10; in any other radix a negative value is written as its
// 32-bit unsigned pattern. An invalid radix gives an empty text.
char *_itoa(int value, char *buffer, int radix) {
  if (buffer == NULL) return NULL;
  if (radix < 2 || radix > 36) {
    buffer[0] = '\0';
    return buffer;
  }
  char digits[40];
  int count = 0;
  int negative = radix == 10 && value < 0;
  unsigned int rest = negative ? 0u - (unsigned int)value : (unsigned int)value;
  do {
    unsigned int digit = rest % (unsigned int)radix;
    digits[count++] = (char)(digit < 10 ? '0' + digit : 'a' + digit - 10);
    rest /= (unsigned int)radix;
  } while (rest != 0);
  char *out = buffer;
  if (negative) *out++ = '-';
  while (count > 0) *out++ = digits[--count];
  *out = '\0';
  return buffer;
}
