// What an interrupt does to an update run, and why a closed output does not
// stop one.
//
// interruptHandling_install() is called once by a program that updates units
// (the updater's main, the tool's update commands), early, before any port is
// opened; calling it again (one update after another) does no harm. From then
// on:
//
//  - A console write that fails (standard output closed: a pager quit, a killed
//    `tee`, `| head`) fails quietly; the update goes on and the exit status
//    still tells how it went. (POSIX: SIGPIPE is ignored. Windows never stops a
//    program for a broken pipe.)
//  - An interrupt (POSIX: SIGINT, SIGTERM, SIGHUP; Windows: Ctrl+C, Ctrl+Break,
//    closing the console window) is answered by the update's step as told by
//    UpdateProgress:
//      * no image sent yet (detection, version and type checks), or the update
//        has failed: stop at once;
//      * an image is being announced or streamed (updateProgress_unitAtRisk):
//        the first interrupt prints a warning and the update goes on; a second
//        one stops anyway;
//      * the unit accepted both images (reboot wait and after): stop at once,
//        saying that the unit is restarting with its new firmware.
//    Stopping closes every open port, dropping what is still queued for the
//    unit rather than sending it (which releases its lock and exclusive flag),
//    puts the terminal back as the console layer found it, prints one
//    line on standard error and ends the process with EXIT_INTERRUPTED (130).
//    Nothing else runs on the way out: no atexit handler, no buffer flush. The
//    caller needs no callback: the port and the console are all there is to
//    give back.
//
// The texts go to standard error: standard output is the updater's transcript,
// which scripts read and compare; it may also be the closed pipe itself.
//
// On POSIX the stop happens inside the signal handler with async-signal-safe
// calls only, so serialCalls_closeAllAtStop, and PurgeComm and CloseHandle of
// the POSIX layer under it, must stay async-signal-safe (tcflush, tcsetattr,
// ioctl, flock, open, read, write, close, unlink; no stdio, no malloc).
// Handlers use SA_RESTART, and the POSIX layer repeats its poll(), read(),
// write() and nanosleep() on EINTR, so the warning never breaks a transfer.
// A signal that was ignored when the program started (nohup, a background
// job) stays ignored.
#ifndef INTERRUPTS_H
#define INTERRUPTS_H

#include "platform/Platform.h"

void interruptHandling_install(void);

// A program that tells a parent process how its update goes (update-all's
// children) passes the stop's last line on as well: NOTE is called with it
// (CR LF framed) after it is printed, just before the process ends. It runs
// inside the stop, on POSIX in the signal handler: async-signal-safe calls
// only, no allocation. NULL: none.
typedef void (*InterruptStopNote)(const char *text);
void interruptHandling_setStopNote(InterruptStopNote note);
// What the program started beside its update and must not leave running when
// a stop ends it (a hook's processes): END is called inside the stop, before
// the note, with the same restrictions. NULL: none.
typedef void (*InterruptStopEnd)(void);
void interruptHandling_setStopEnd(InterruptStopEnd end);

// How many interrupts the run answered with a warning and went on: a caller
// that would start an update again (update --retries) starts none after one.
int interruptHandling_warnings(void);

// ---- Shared by the platform files -------------------------------------------------

typedef enum InterruptAnswer {
  INTERRUPT_WARN,  // keep going; the text is the warning
  INTERRUPT_STOP,  // stop now; the text is the last line
} InterruptAnswer;

// Decides what an interrupt arriving now does, from the update's step and the
// interrupts already seen, and gives the text to print (CR LF framed, ready to
// be written as is). Async-signal-safe: it reads and writes sig_atomic_t only.
InterruptAnswer interruptHandling_answer(const char **text);

// Ends what interruptHandling_setStopEnd names, then hands the stop's last line to the
// note set by interruptHandling_setStopNote.
void interruptHandling_noteStop(const char *text);

// Called by interruptHandling_install (any number of times): listens to the
// update's steps so that each stretch at risk gets its own warning.
void interruptHandling_followSteps(void);

#endif  // INTERRUPTS_H
