// Who else has a serial device. See PortHolders.h for what counts.
//
// POSIX calls here return 0, a count or a descriptor upon success and -1 upon
// failure; those that return a pointer (realpath, fopen, opendir) return null
// upon failure.
#include "platform/posix/PortHolders.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#define DEFAULT_LOCK_DIRS "/var/lock:/run/lock"
#define LOCK_NAME_SIZE 256

// ---- Device names ---------------------------------------------------------------------

typedef struct DeviceNames {
  char real[PATH_MAX];              // the device path with every symlink resolved
  char lockNames[2][LOCK_NAME_SIZE];  // "LCK.." + name: the preferred form first
  int lockNameCount;
} DeviceNames;

// The lock file names of a device: for /dev/pts/3 "LCK..pts_3" and "LCK..3",
// for /dev/ttyS0 just "LCK..ttyS0".
static void deviceNames(const char *devicePath, DeviceNames *names) {
  // A path that does not resolve is taken as it is.
  if (realpath(devicePath, names->real) == NULL) snprintf(names->real, sizeof names->real, "%s", devicePath);
  const char *slash = strrchr(names->real, '/');
  const char *base = slash != NULL ? slash + 1 : names->real;
  names->lockNameCount = 0;
  // A name that does not fit is no name of this device: left out.
  if (strncmp(names->real, "/dev/", 5) == 0 && strchr(names->real + 5, '/') != NULL &&
      strlen(names->real + 5) + 5 < LOCK_NAME_SIZE) {
    char *name = names->lockNames[names->lockNameCount++];
    memcpy(name, "LCK..", 5);
    strcpy(name + 5, names->real + 5);
    for (char *c = name; *c != '\0'; c++)
      if (*c == '/') *c = '_';
  }
  if (base[0] != '\0' && strlen(base) + 5 < LOCK_NAME_SIZE) {
    char *name = names->lockNames[names->lockNameCount++];
    memcpy(name, "LCK..", 5);
    strcpy(name + 5, base);
  }
}

// The next folder of a colon-separated list into `dir`; returns the rest of the
// list, or null at its end. Empty entries are skipped.
static const char *nextDir(const char *list, char *dir, size_t dirSize) {
  while (list != NULL && *list == ':') list++;
  if (list == NULL || *list == '\0') return NULL;
  size_t length = strcspn(list, ":");
  snprintf(dir, dirSize, "%.*s", (int)length, list);
  return list + length;
}

static const char *lockDirs(void) {
  const char *dirs = getenv(LOCK_DIRS_ENV);
  return dirs != NULL ? dirs : DEFAULT_LOCK_DIRS;
}

// ---- Processes --------------------------------------------------------------------------

static int isLive(long pid) {
  // kill with signal 0 only checks whether we may signal the process; EPERM
  // means it exists but is not ours.
  return pid > 0 && pid <= INT_MAX && (kill((pid_t)pid, 0) == 0 || errno == EPERM);
}

// The process name into `name` ("" when the system does not tell).
static void processName(long pid, char *name, size_t nameSize) {
  name[0] = '\0';
#ifdef __linux__
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/comm", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t n = read(fd, name, nameSize - 1);
  close(fd);
  if (n < 0) n = 0;
  name[n] = '\0';
  name[strcspn(name, "\n")] = '\0';
#else
  (void)pid;
  (void)nameSize;
#endif
}

static void describe(PortHolder *out, long pid, int how) {
  if (out == NULL) return;
  out->pid = pid;
  out->how = how;
  processName(pid, out->name, sizeof out->name);
}

// ---- Lock files ---------------------------------------------------------------------------

long portHolders_lockFilePid(const char *bytes, size_t size) {
  // Only the start counts, as much as lockPid reads of a file.
  char text[64];
  if (size > sizeof text - 1) size = sizeof text - 1;
  memcpy(text, bytes, size);
  text[size] = '\0';
  const size_t n = size;
  int ascii = 1;
  for (size_t i = 0; i < n; i++)
    if (strchr(" \t\r\n0123456789", text[i]) == NULL || text[i] == '\0') ascii = 0;
  if (!ascii) {
    // The old binary form: the PID as an int in the machine's byte order.
    int pid = 0;
    if (n != sizeof pid) return 0;
    memcpy(&pid, text, sizeof pid);
    return pid > 0 ? pid : 0;
  }
  // Digits after optional blanks, read by hand: this also runs inside the
  // interrupt handler (through CloseHandle), where strtol is not on the list
  // of async-signal-safe calls.
  const char *p = text;
  while (*p == ' ' || *p == '\t') p++;
  long pid = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9' && digits < 10; p++, digits++) pid = pid * 10 + (*p - '0');
  return digits > 0 && pid > 0 ? pid : 0;
}

// The PID a lock file names: >0; 0 when the file is there but names none; -1
// when it cannot be read (missing, among others).
static long lockPid(const char *path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[64];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n < 0) return -1;
  return portHolders_lockFilePid(text, (size_t)n);
}

// A lock file of another live process for the device, in any lock folder.
static int lockedByOthers(const DeviceNames *names, PortHolder *out) {
  char dir[PATH_MAX];
  const char *rest = lockDirs();
  while ((rest = nextDir(rest, dir, sizeof dir)) != NULL) {
    for (int i = 0; i < names->lockNameCount; i++) {
      char path[PATH_MAX + LOCK_NAME_SIZE];
      snprintf(path, sizeof path, "%s/%s", dir, names->lockNames[i]);
      long pid = lockPid(path);
      // No PID, a dead one (stale) or our own: not a rival.
      if (pid <= 0 || pid == (long)getpid() || !isLive(pid)) continue;
      describe(out, pid, PORT_HELD_BY_LOCK_FILE);
      return 1;
    }
  }
  return 0;
}

// ---- Open descriptors (Linux) -------------------------------------------------------

#ifdef __linux__
// The pty number of /dev/pts/N, -1 for any other device.
static int ptyIndex(const char *realPath) {
  if (strncmp(realPath, "/dev/pts/", 9) != 0) return -1;
  const char *digits = realPath + 9;
  if (digits[0] == '\0' || strspn(digits, "0123456789") != strlen(digits) || strlen(digits) > 9) return -1;
  return atoi(digits);
}

// The "tty-index:" of a /dev/ptmx descriptor: which pty it is the master of.
static int masterIndex(const char *pid, const char *fd) {
  char path[2 * sizeof(((struct dirent *)0)->d_name) + 32];
  snprintf(path, sizeof path, "/proc/%s/fdinfo/%s", pid, fd);
  FILE *info = fopen(path, "re");
  if (info == NULL) return -1;
  char line[128];
  int index = -1;
  while (fgets(line, sizeof line, info) != NULL)
    if (sscanf(line, "tty-index: %d", &index) == 1) break;
  fclose(info);
  return index;
}

// Another process with the device open, from /proc/*/fd. Descriptors that
// cannot be looked at (other users' processes, processes that just ended) are
// passed over.
static int openByOthers(const DeviceNames *names, dev_t device, PortHolder *out) {
  int pty = ptyIndex(names->real);
  const dev_t ptmx = makedev(5, 2);  // /dev/ptmx and /dev/pts/ptmx
  long self = (long)getpid();
  DIR *proc = opendir("/proc");
  if (proc == NULL) return 0;
  int found = 0;
  struct dirent *entry;
  while (!found && (entry = readdir(proc)) != NULL) {
    const char *pidText = entry->d_name;
    if (pidText[0] < '1' || pidText[0] > '9' || strspn(pidText, "0123456789") != strlen(pidText)) continue;
    long pid = atol(pidText);
    if (pid == self) continue;
    char fdPath[64];
    snprintf(fdPath, sizeof fdPath, "/proc/%ld/fd", pid);
    // EACCES: another user's.
    DIR *fds = opendir(fdPath);
    if (fds == NULL) continue;
    int holdsDevice = 0, holdsMaster = 0;
    struct dirent *fd;
    while ((fd = readdir(fds)) != NULL) {
      if (fd->d_name[0] == '.') continue;
      // The link names what the descriptor has open: sockets, pipes and files
      // outside /dev are passed over without looking further, which keeps the
      // walk at one cheap call for most descriptors. Only the prefix of the
      // link matters here.
      char target[16];
      ssize_t length = readlinkat(dirfd(fds), fd->d_name, target, sizeof target - 1);
      if (length < 5 || strncmp(target, "/dev/", 5) != 0) continue;
      struct stat st;
      // Follows the descriptor's link to the device.
      if (fstatat(dirfd(fds), fd->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode)) continue;
      if (st.st_rdev == device)
        holdsDevice = 1;
      else if (pty >= 0 && st.st_rdev == ptmx && !holdsMaster)
        holdsMaster = masterIndex(pidText, fd->d_name) == pty;
    }
    closedir(fds);
    if (holdsDevice && !holdsMaster) {
      describe(out, pid, PORT_HELD_OPEN);
      found = 1;
    }
  }
  closedir(proc);
  return found;
}
#endif

// ---- Interface -------------------------------------------------------------------------

#ifdef __linux__
// The kernel writes its messages to the devices listed in this file ("tty0
// ttyS0"), and a login prompt usually sits on them too; the programs on the
// console hold /dev/console, another device number, so the descriptor search
// does not see them. A serial console is never a unit's line: it counts as held.
#define ACTIVE_CONSOLES_FILE "/sys/class/tty/console/active"

static int isSystemConsole(dev_t device, PortHolder *out) {
  // No sysfs: no console known.
  int fd = open(ACTIVE_CONSOLES_FILE, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char list[256];
  ssize_t n = read(fd, list, sizeof list - 1);
  close(fd);
  if (n <= 0) return 0;
  list[n] = '\0';
  char *save = NULL;
  for (char *name = strtok_r(list, " \t\n", &save); name != NULL; name = strtok_r(NULL, " \t\n", &save)) {
    char path[300];
    snprintf(path, sizeof path, "/dev/%s", name);
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != device) continue;
    if (out != NULL) {
      out->pid = 0;
      snprintf(out->name, sizeof out->name, "system console");
      out->how = PORT_HELD_AS_CONSOLE;
    }
    return 1;
  }
  return 0;
}
#endif

int portHolders_find(const char *devicePath, PortHolder *out) {
  if (devicePath == NULL) return 0;
  DeviceNames names;
  deviceNames(devicePath, &names);
  if (lockedByOthers(&names, out)) return 1;
#ifdef __linux__
  struct stat st;
  if (stat(names.real, &st) == 0 && S_ISCHR(st.st_mode)) {
    if (isSystemConsole(st.st_rdev, out)) return 1;
    if (openByOthers(&names, st.st_rdev, out)) return 1;
  }
#endif
  return 0;
}

// Our lock (our PID as ten characters and a newline) written whole under a
// temporary name in `dir`, its path in `temporary`. FALSE where the folder
// is not writable.
static int writeTemporaryLock(const char *dir, const char *lockName, char *temporary,
                              size_t temporarySize) {
  char text[32];
  int textLength = snprintf(text, sizeof text, "%10ld\n", (long)getpid());
  snprintf(temporary, temporarySize, "%s/.%s.XXXXXX", dir, lockName);
  // Fails where the folder is not writable.
  int fd = mkstemp(temporary);
  if (fd < 0) return 0;
  int written = fchmod(fd, 0644) == 0 && write(fd, text, (size_t)textLength) == textLength;
  if (close(fd) != 0) written = 0;
  if (!written) unlink(temporary);
  return written;
}

enum LockPlacing { LOCK_PLACED, LOCK_HELD, LOCK_FOLDER_REFUSES };

// The temporary lock linked into place at `path` (or, over a stale lock of
// `stalePid`, renamed there), so that no reader ever sees a lock without its
// PID; the temporary name is gone afterwards.
static LockPlacing placeLock(const char *temporary, const char *path, long stalePid) {
  int placed;
  if (stalePid == 0) {
    // EEXIST: someone was faster.
    placed = link(temporary, path) == 0;
    int saved = errno;
    unlink(temporary);
    if (!placed && saved != EEXIST) return LOCK_FOLDER_REFUSES;
  } else {
    // The stale lock is checked again just before it is replaced: another
    // program may have replaced it meanwhile.
    placed = lockPid(path) == stalePid && rename(temporary, path) == 0;
    if (!placed) unlink(temporary);
    // Two programs replacing the same stale lock at once: the last rename
    // wins, and only the program its lock names holds it.
    if (placed) placed = lockPid(path) == (long)getpid();
  }
  return placed ? LOCK_PLACED : LOCK_HELD;
}

int portHolders_writeLock(const char *devicePath, char *lockPath, size_t lockPathSize) {
  if (lockPath == NULL || lockPathSize == 0) return 0;
  lockPath[0] = '\0';
  if (devicePath == NULL) return 0;
  DeviceNames names;
  deviceNames(devicePath, &names);
  if (names.lockNameCount == 0) return 0;

  char dir[PATH_MAX];
  const char *rest = lockDirs();
  while ((rest = nextDir(rest, dir, sizeof dir)) != NULL) {
    char path[PATH_MAX + LOCK_NAME_SIZE];
    int length = snprintf(path, sizeof path, "%s/%s", dir, names.lockNames[0]);
    if (length < 0 || (size_t)length >= lockPathSize) continue;
    // A lock of a live process (or one we cannot read) is left alone. A lock
    // naming a process that no longer exists is stale: left in place it would
    // keep us from announcing ourselves, and would make the port look held
    // once the system hands its PID to another process. It is replaced.
    struct stat st;
    long stalePid = 0;
    if (lstat(path, &st) == 0) {
      stalePid = S_ISREG(st.st_mode) ? lockPid(path) : 0;
      if (stalePid <= 0 || stalePid == (long)getpid() || isLive(stalePid)) return 0;
    }

    char temporary[PATH_MAX + LOCK_NAME_SIZE + 16];
    if (!writeTemporaryLock(dir, names.lockNames[0], temporary, sizeof temporary)) continue;
    const LockPlacing placing = placeLock(temporary, path, stalePid);
    if (placing == LOCK_FOLDER_REFUSES) continue;
    if (placing == LOCK_HELD) return 0;
    snprintf(lockPath, lockPathSize, "%s", path);
    return 1;
  }
  return 0;
}

void portHolders_removeLock(const char *lockPath) {
  if (lockPath == NULL || lockPath[0] == '\0') return;
  // A lock that is already gone is fine.
  if (lockPid(lockPath) == (long)getpid()) unlink(lockPath);
}
