// Interrupts on Windows (see Interrupts.h): Ctrl+C, Ctrl+Break and the
// closing of the console window, through SetConsoleCtrlHandler.
//
// The system runs the handler on a thread of its own while the main thread
// goes on with the update, so a warning never breaks a transfer. To stop,
// the handler ends the whole process with TerminateProcess, the counterpart
// of _exit: no DLL detach, no CRT clean-up that could wait for a lock the
// main thread holds. The system closes every handle of a process that ends,
// the port included, and cancels the main thread's pending read or write on
// it; closing the port here, from this thread, could instead wait for that
// read to run out. Windows does not end a program for a broken pipe: a
// console write to a closed pipe fails and the update goes on.
//
// Windows calls here return non-zero upon success, 0 upon failure.
#include "interrupts/Interrupts.h"

#include "platform/ExitStatus.h"
#include "serial/UnitExchange.h"

// Writes a text to standard error, best effort (no CRT stream: the main
// thread may hold its lock).
static void writeToStderr(const char *text) {
  DWORD length = 0;
  while (text[length] != '\0') length++;
  DWORD written = 0;
  // A failure leaves nothing to tell.
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, length, &written, NULL);
}

static BOOL WINAPI onConsoleControl(DWORD controlType) {
  if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT &&
      controlType != CTRL_CLOSE_EVENT)
    return FALSE;  // logoff, shutdown: the system's default
  const char *text = NULL;
  InterruptAnswer answer = interruptHandling_answer(&text);
  // A closed console window ends the process a few seconds after this
  // handler returns, whatever it returns: there is no going on then.
  if (answer == INTERRUPT_WARN && controlType != CTRL_CLOSE_EVENT) {
    writeToStderr(text);
    // The progress goes on at the start of the warning's new line.
    unitExchange_noteLineBroken();
    return TRUE;  // handled: the update goes on
  }
  if (answer == INTERRUPT_WARN) interruptHandling_answer(&text);  // the stop's text
  platform_consoleRestore();
  writeToStderr(text);
  interruptHandling_noteStop(text);
  // Does not return when it succeeds.
  TerminateProcess(GetCurrentProcess(), EXIT_INTERRUPTED);
  return TRUE;
}

void interruptHandling_install(void) {
  interruptHandling_followSteps();
  // A failure leaves the system's default: the process ends at once, and the
  // system still releases the port.
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}
