// Lines appended to a file that several processes write at once (the
// station's history): each append takes the file's exclusive lock, writes
// its bytes in one write, syncs them to the disk and lets the lock go, so
// that lines from different processes never interleave. One file per
// platform: posix/FileLockPosix.cpp (flock), win32/FileLockWin32.cpp
// (LockFileEx on the whole file).
#ifndef FILELOCK_H
#define FILELOCK_H

#include <string>

// How long an append waits for another process's lock before it gives up.
#define FILE_LOCK_WAIT_SECONDS 10.0

// Appends LINE (which ends in "\n") to PATH, made when missing. A link
// planted at PATH is refused, not followed (POSIX: O_NOFOLLOW; Windows: a
// reparse point is refused), and so is anything but a plain file. When the
// file's last byte is not a line end (a line torn by a power cut or a
// killed writer), a line end goes first, closing the torn line so that it
// stays a line of its own. Waits up to waitSeconds for the lock (0: one
// try). FALSE with the reason in *error, and *busy set when it was the lock
// that another process held all that time; nothing is written then.
bool fileLock_appendLine(const std::string &path, const std::string &line, double waitSeconds,
                         std::string *error, bool *busy = NULL);

// The same from where only system calls may run (a signal handler, a
// process's last moment): the line is the LENGTH bytes at buffer + 1, ending
// in "\n", and buffer[0] is the room for the line end that closes a torn
// line. No allocation; FALSE when the line could not be appended.
bool fileLock_appendPrepared(const char *path, char *buffer, size_t length, double waitSeconds);

#endif  // FILELOCK_H
