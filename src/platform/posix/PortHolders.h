// Who else has a serial device: UUCP lock files and, on Linux, the open
// descriptors of other processes.
//
// Windows refuses to open a COM port that another program has open. POSIX
// does not: a tty opens as often as it is asked to. So before the port is
// touched we look for the other programs ourselves, as far as the system lets
// us see them:
//
//  - a UUCP lock file "LCK..<name>" in one of the lock folders that names a
//    live process (kill(pid, 0) succeeds or fails with EPERM). A lock of a
//    process that no longer exists is stale and does not count (and is
//    replaced by ours when we open the device). <name> is the
//    device's file name ("ttyS0") or, for a device in a subfolder of /dev, its
//    path below /dev with '/' turned into '_' ("pts_3"); both are looked for.
//    The PID is read as ASCII (ten characters and a newline, the usual form)
//    or as a binary int (the old form).
//  - on Linux, another process with the same device open, from /proc/*/fd,
//    compared by device number (symlinks to the device are followed). Our own
//    process is skipped. Processes of other users stay invisible to an
//    unprivileged user. On a pseudo-terminal a process that holds the master
//    side of this very pty is the other end of the line, not a rival: it may
//    hold the slave too.
//  - on Linux, a device the kernel uses as its console
//    (/sys/class/tty/console/active): probing it would write into the
//    system's console and its login prompt.
//
// The lock folders are /var/lock and /run/lock, or the colon-separated list in
// the environment variable FWUPGRADE_LOCK_DIRS (an empty value: no lock files
// at all, neither looked for nor written).
#ifndef PORTHOLDERS_H
#define PORTHOLDERS_H

#include <stddef.h>

#define LOCK_DIRS_ENV "FWUPGRADE_LOCK_DIRS"

enum { PORT_HELD_BY_LOCK_FILE = 1, PORT_HELD_OPEN = 2, PORT_HELD_AS_CONSOLE = 3 };

typedef struct PortHolder {
  long pid;       // the holding process, 0 for the system console
  char name[64];  // its name, "" when the system does not tell
  int how;        // PORT_HELD_BY_LOCK_FILE, PORT_HELD_OPEN or PORT_HELD_AS_CONSOLE
} PortHolder;

// Returns 1 when another process holds the device at `devicePath` (`out`, when
// not null, then names it), 0 when none can be seen.
int portHolders_find(const char *devicePath, PortHolder *out);

// Announces that we hold the device: writes our UUCP lock file into the first
// lock folder that takes it. A lock file of that name that names a process
// that no longer exists (stale) is replaced atomically: our lock is written
// under a temporary name, the old one checked again, and ours renamed over
// it. Does nothing when a lock of a live process (or one without a readable
// PID) is there, or when no folder is writable: the lock is a courtesy to
// other programs, not a condition.
// Returns 1 with the lock's path in `lockPath` when one was written, 0 with
// an empty `lockPath` otherwise.
int portHolders_writeLock(const char *devicePath, char *lockPath, size_t lockPathSize);

// The PID written in a lock file's bytes: ten characters and a newline (or
// any blanks and up to ten digits), or a binary int of exactly sizeof(int)
// bytes. Returns >0, or 0 when the bytes name no PID.
long portHolders_lockFilePid(const char *bytes, size_t size);

// Removes a lock written by portHolders_writeLock, and only while it still
// names this process. Does nothing for an empty path.
void portHolders_removeLock(const char *lockPath);

#endif  // PORTHOLDERS_H
