// A command line run through the system shell (`/bin/sh -c`, `cmd.exe /c`),
// for commands a user gives the tool to run on its behalf.
//
// What it is given: the null device as standard input; standard output and
// error appended to a file (or, for a tool without a file of its own, its
// own console), through pipes that this process reads, so that a command
// that writes without end adds only a bounded part; this process's
// environment with some variables added. Data
// goes to the command in those variables only, never in its text: the shell
// reads the command the user wrote, and a variable's value stays a value
// ($NAME under /bin/sh; !NAME! under cmd.exe, which is started with delayed
// expansion for that reason: %NAME% is expanded before cmd parses the line,
// so & | < > in a value would become syntax there).
//
// The command runs in a process group of its own (POSIX) or a job object of
// its own (Windows), with everything it starts: the terminal's Ctrl+C does
// not reach it, and stopping it stops all of them, so that nothing it left
// behind holds its output file open. When the shell itself ends, whatever it
// left running (`sleep 1000 &`) is ended with it; on Linux and Windows that
// includes what left the group (setsid, a double fork), which on other
// systems outlives it.
//
// POSIX: fork and execve of /bin/sh in a new process group, killpg; on Linux
// under a keeper process, the subreaper of all the shell starts.
// Windows: CreateProcess of %ComSpec% in a job object that kills on close.
// Both: a thread per command reads its pipes as they fill.
#ifndef SHELLCOMMAND_H
#define SHELLCOMMAND_H

#include <string>
#include <utility>
#include <vector>

struct ShellCommand;

// Variables added to this process's environment for the command (a name
// already there takes the new value). Names and values hold no NUL byte.
typedef std::vector<std::pair<std::string, std::string>> ShellEnvironment;

// What a command's output may add by default: past it, what it writes is
// read and counted, never written (shellCommand_outputLeftOut).
#define SHELL_COMMAND_OUTPUT_MAX (1ull << 20)

// Starts COMMAND. Its output is appended to outputPath, an existing regular
// file (a link is not followed); the null device when outputPath is empty or
// is no such file. With toConsole, it goes to this process's own standard
// output and error instead. Its first outputMax bytes (both streams
// together) are passed on. Null, with the reason in *error, when it cannot
// start.
ShellCommand *shellCommand_start(const std::string &command, const ShellEnvironment &environment,
                                 const std::string &outputPath, bool toConsole, std::string *error,
                                 unsigned long long outputMax = SHELL_COMMAND_OUTPUT_MAX);

// TRUE once the shell has ended (what it left running ended too) and its
// output has been passed on, with its exit status in *status (POSIX: 128 +
// the signal's number for one ended by a signal). Never waits.
bool shellCommand_finished(ShellCommand *command, int *status);
// Once finished: the bytes of output written past outputMax, not passed on.
unsigned long long shellCommand_outputLeftOut(const ShellCommand *command);

// Asks the command and everything it started to end (POSIX SIGTERM to the
// group; Windows has no such request and ends them at once).
void shellCommand_stop(ShellCommand *command);
// Ends the command and everything it started at once (SIGKILL to the group,
// the job terminated).
void shellCommand_kill(ShellCommand *command);

// The command's id: on POSIX its process group's, for shellCommand_killById.
long shellCommand_id(const ShellCommand *command);
// Ends the command of that id and everything it started, from a signal
// handler (async-signal-safe): a program's last act before it ends at once.
// On Windows there is nothing to do: the command's job goes with the program.
void shellCommand_killById(long id);

// Releases the record; a command still running is killed and reaped first.
void shellCommand_free(ShellCommand *command);

#endif  // SHELLCOMMAND_H
