// Interrupts and broken pipes on POSIX systems (see Interrupts.h).
//
// The stop is done inside the handler rather than handed to the main flow
// through a self-pipe: the main flow may be blocked anywhere (a 3 s sleep of
// the reboot wait, a read with an 11 s timeout, scanf, the key wait), and
// nothing of it is worth finishing. The handler closes the port even when the
// main flow is inside a call on the same descriptor: _exit follows, so that
// call never resumes.
//
// POSIX calls here return 0 or a count upon success and -1 upon failure.
#include "interrupts/Interrupts.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "platform/ExitStatus.h"
#include "serial/SerialCalls.h"
#include "serial/SerialTrace.h"
#include "serial/UnitExchange.h"

// Writes all of a NUL-terminated text to standard error, best effort.
static void writeToStderr(const char *text) {
  size_t length = 0;
  while (text[length] != '\0') length++;
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a closed or hung-up stderr: nothing to tell
    text += written;
    length -= (size_t)written;
  }
}

static void onInterrupt(int signalNumber) {
  (void)signalNumber;
  const int savedErrno = errno;
  const char *text = NULL;
  if (interruptHandling_answer(&text) == INTERRUPT_WARN) {
    writeToStderr(text);
    // The progress goes on at the start of the warning's new line.
    unitExchange_noteLineBroken();
    errno = savedErrno;  // the interrupted call may look at errno next
    return;
  }
  // What is still queued for the unit is dropped, not sent: a close would
  // wait for it to drain, which on a real UART under the CTS handshake can
  // take seconds. Nothing to do when no port is open.
  serialCalls_closeAllAtStop();
  // A port opened an instant ago, before the serial layer took note of it.
  platform_closeAllPorts();
  serialTrace_finishAtStop(EXIT_INTERRUPTED);
  platform_consoleRestore();
  writeToStderr(text);
  interruptHandling_noteStop(text);
  _exit(EXIT_INTERRUPTED);
}

void interruptHandling_install(void) {
  interruptHandling_followSteps();
  struct sigaction action;
  action.sa_handler = onInterrupt;
  // One handler at a time: a SIGTERM arriving while a SIGINT is handled
  // waits until the first has returned (or ended the process).
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  // Calls that can restart (console reads and writes) do; the serial layer
  // repeats the others on EINTR.
  action.sa_flags = SA_RESTART;

  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signalNumber : signals) {
    struct sigaction previous;
    if (sigaction(signalNumber, NULL, &previous) == 0 && previous.sa_handler == SIG_IGN)
      continue;  // ignored by whoever started us (nohup, a background job)
    sigaction(signalNumber, &action, NULL);
  }

  // A console write to a closed pipe then fails with EPIPE instead of ending
  // the process. Returns SIG_ERR upon failure, which leaves nothing to do.
  signal(SIGPIPE, SIG_IGN);
}
