// Child processes that report on a channel of their own.
//
// A child started here gets three things from its parent: the null device as
// standard input, a file for its standard output and error (its console
// transcript), and the write end of a pipe, its progress channel, whose number
// it is told on its command line. The parent reads the channels without
// waiting, so one loop follows any number of children, and a child that stops
// talking, or dies, never holds the others up.
//
// Each child runs in a process group of its own (POSIX) or a console process
// group of its own (Windows): the terminal's Ctrl+C reaches the parent only,
// and the parent decides what each child hears (subprocess_interrupt).
//
// A parent that dies (killed, crashed) leaves no child working unattended for
// long. On Linux each child is sent SIGTERM when its parent dies, which an
// update takes as an interrupt: it stops at once, except while an image is on
// its way to the unit, where it warns, finishes the update and ends within the
// update's own time bounds (a unit is never cut off mid-image for the
// parent's sake). On Windows no job object ties the children to the parent,
// for the same reason: a child whose parent is gone finishes its update, its
// progress writes failing quietly. Closing the console window is different:
// Windows sends the close event to every process attached to that console,
// children included, and ends each of them a few seconds later whatever its
// handler does; a child in the middle of an image is cut off there, as a
// single update would be. The parent, which also gets the event, has no way
// to keep its children alive past it short of giving them consoles of their
// own, which would leave it no way to pass them an interrupt.
//
// POSIX: fork and exec, a pipe, wait4 for the child's usage.
// Windows: CreateProcess with an inherited anonymous pipe handle.
#ifndef SUBPROCESS_H
#define SUBPROCESS_H

#include <stdint.h>

#include <string>
#include <vector>

// An argument of this text is replaced by the number of the channel's write
// end as the child sees it: a file descriptor on POSIX, a handle value on
// Windows.
#define SUBPROCESS_CHANNEL_ARG "{channel}"

struct Subprocess;

struct SubprocessUsage {
  double cpuSeconds = 0;  // user and system time of the ended child
  long peakKiB = 0;       // its peak resident memory (peak working set on Windows)
};

// Starts argv[0] (a path) with argv[1..]. Standard output and standard error go
// to outputPath, a new file (a file or link already there is refused, never
// written over nor followed) written in append mode (others may add to it
// meanwhile), or to the null device when it is empty. Returns
// null, with the reason in *error, when the child cannot start; when it is
// the output file that could not be made, the reason begins "outputPath: ".
Subprocess *subprocess_start(const std::vector<std::string> &argv, const std::string &outputPath,
                             std::string *error);

// What the child wrote on its channel since the last call, without waiting:
// the byte count (> 0), 0 when nothing is there now, -1 once the channel is
// closed (every write end gone: the child ended or closed it).
int subprocess_readChannel(Subprocess *child, char *buffer, int size);

// Waits up to timeoutMs for something to read on any of the children's
// channels (or an interrupt); returns at once when one has something.
void subprocess_waitAny(const std::vector<Subprocess *> &children, int timeoutMs);

// TRUE once the child has ended, with its exit status in *status (on POSIX,
// 128 + the signal number for a child ended by a signal).
bool subprocess_finished(Subprocess *child, int *status);

// An interrupt as the console gives one: SIGINT on POSIX, CTRL_BREAK_EVENT
// (the only console event a group of its own can be sent) on Windows.
void subprocess_interrupt(Subprocess *child);
// Ends the child at once: SIGKILL, TerminateProcess.
void subprocess_kill(Subprocess *child);

long subprocess_id(const Subprocess *child);
// CPU time and peak memory of an ended child.
SubprocessUsage subprocess_usage(const Subprocess *child);
// Releases the record; a child still running is killed and reaped first.
void subprocess_free(Subprocess *child);

// ---- The child's side ----------------------------------------------------------
// Takes the channel number the parent put on the command line. FALSE when it is
// no open channel. A child whose parent has gone away carries on: writes that
// find nobody reading fail quietly (SIGPIPE is ignored on POSIX).
bool subprocessChannel_open(const char *text, intptr_t *channel);
// Writes all of data; FALSE when the parent no longer listens.
bool subprocessChannel_write(intptr_t channel, const char *data, size_t length);

// ---- Interrupts in the parent -----------------------------------------------------
// Counts Ctrl+C, SIGINT, SIGTERM and SIGHUP (Windows: Ctrl+C, Ctrl+Break and
// closing the console) instead of letting them end the process. A signal
// ignored at start (nohup, a background job) stays ignored. POSIX: SIGPIPE
// is ignored too, so that a closed standard output does not end the run.
void subprocess_countInterrupts(void);
int subprocess_interruptCount(void);
// Puts back the handlers that subprocess_countInterrupts replaced: for a
// program that counts interrupts only for a while (the tool's concurrent
// probe) and answers them its own way before and after. The count stays.
void subprocess_stopCountingInterrupts(void);

// ---- Room for many children -----------------------------------------------------
// Makes room for WANTED open descriptors (each child holds one channel open in
// the parent, a probe as much as an update): the soft limit on open files
// (POSIX RLIMIT_NOFILE: often 1024, 256 on macOS) is raised to the hard limit
// when it is below WANTED. Returns the limit in force afterwards, -1 when
// there is none (Windows: no such limit on handles; an unlimited one).
long subprocess_reserveDescriptors(long wanted);

// ---- The parent's own program and console ---------------------------------------------
// The path of the running program, to start more of itself (argv0 when the
// system cannot tell).
std::string subprocess_selfPath(const char *argv0);
// The lines of the window standard output is shown in; 0 when not known (not
// a terminal, or one that does not say).
int subprocess_consoleRows(void);
// The width in columns of the terminal standard output goes to; 0 when it is
// none or does not tell.
int subprocess_consoleColumns(void);

#endif  // SUBPROCESS_H
