// The Windows serial calls and Sleep, on termios and poll().
//
// POSIX calls here return 0, a count or a descriptor upon success and -1 upon
// failure; the Windows calls offered here return non-zero upon success, 0 upon
// failure. A comment says so where a call departs from that.
//
// Handles: a HANDLE is not a pointer here but names a slot of a small table
// of open ports (platform/HandleTable.h), so a handle kept after its close
// (the serial driver keeps one in g_hCOM and calls setters on it) names no
// port any more and every call on it fails cleanly, even after the slot has
// been reused.
#include "platform/posix/WinApiPosix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/HandleTable.h"
#include "platform/OpenFailures.h"
#include "platform/posix/ComPortNames.h"
#include "platform/posix/PortHolders.h"
#include "platform/ReadDeadline.h"

// ---- Handle table -------------------------------------------------------------

#define PORT_SLOTS 16

typedef struct PortRecord {
  int open;               // 1 while the slot holds an open port
  int fd;                 // the device, O_NONBLOCK; poll() does all waiting
  COMMTIMEOUTS timeouts;  // as stored by SetCommTimeouts
  struct termios before;  // the line settings found at the open, put back at the close
  pid_t owner;            // the process that opened it (not a child that inherited the table)
  char lockPath[4096];    // our UUCP lock file, "" when none was written
  DWORD baud;             // the rate last set by SetCommState, 0 before
} PortRecord;

static HandleTable<PortRecord, PORT_SLOTS> gPorts;

// The open port behind a handle, or null (errno EBADF) for a null, invalid,
// unknown or closed handle.
static PortRecord *portOf(HANDLE h) {
  PortRecord *port = gPorts.entryOf(h);
  if (port == NULL || !port->open) {
    errno = EBADF;
    return NULL;
  }
  return port;
}

// ---- Opening and closing ---------------------------------------------------------

// Gives up a device opened by CreateFileA: exclusivity, lock and descriptor.
static void releaseDevice(int fd) {
  // Nothing to do about a failure while giving the device up: not checked.
  ioctl(fd, TIOCNXCL);
  flock(fd, LOCK_UN);
  close(fd);
}

static long elapsedMs(const struct timespec *since) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return (long)(now.tv_sec - since->tv_sec) * 1000 + (now.tv_nsec - since->tv_nsec) / 1000000;
}

// Output still queued at the close. Under the CTS handshake with CTS low (a
// UART whose cable has no CTS) it would leave once the old settings are back,
// at the old rate and without the handshake: garbage for whatever listens. So
// it gets the time the line needs for it at the current rate (ten bits a
// byte, twice over, plus 100 ms), and what is still queued after that is
// dropped. Only async-signal-safe calls: the interrupt handler closes too.
static void settleOutput(PortRecord *port) {
  int queued = 0;
  // A pty may not count its queue: nothing to settle then.
  if (ioctl(port->fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
  const DWORD baud = port->baud > 0 ? port->baud : 9600;
  long allowedMs = (long)((long long)queued * 10 * 1000 * 2 / baud) + 100;
  if (allowedMs > 5000) allowedMs = 5000;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (elapsedMs(&start) < allowedMs) {
    if (ioctl(port->fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    struct timespec pause = {0, 10 * 1000000L};
    nanosleep(&pause, NULL);
  }
  tcflush(port->fd, TCOFLUSH);
}

// Gives up an open port: the line settings it had before we came (a hung-up
// line refuses them, which is fine), our lock file, then the device.
static void closePort(PortRecord *port) {
  settleOutput(port);
  // TCSANOW: a drain could wait for ever on a line held back by CTS.
  tcsetattr(port->fd, TCSANOW, &port->before);
  portHolders_removeLock(port->lockPath);
  port->lockPath[0] = '\0';
  releaseDevice(port->fd);
  port->open = 0;
  port->fd = -1;
}

// A program that ends without closing its port (exit() from deep inside,
// main returning with the port open) still gives the line back as it found it
// and leaves no lock behind. A child that inherited the table leaves it alone.
static void closeAllPorts(void) {
  for (int slot = 0; slot < PORT_SLOTS; slot++)
    if (gPorts[slot].open && gPorts[slot].owner == getpid()) closePort(&gPorts[slot]);
}

void platform_closeAllPorts(void) { closeAllPorts(); }

static HANDLE openPort(LPCSTR lpFileName);

// Who held the device when openPort last refused it (pid 0 and how 0: none
// seen), for the record of open failures.
static PortHolder gRefusedBy;

// Records the outcome of an open for the tool's "why no unit" lines.
static void noteOpenOutcome(LPCSTR lpFileName, HANDLE handle, int error) {
  const int port = openFailures_portOfName(lpFileName);
  if (handle != INVALID_HANDLE_VALUE) {
    openFailures_note(port, NULL);
    return;
  }
  PortOpenFailure failure;
  memset(&failure, 0, sizeof failure);
  failure.code = error;
  failure.holderPid = gRefusedBy.pid;
  snprintf(failure.holderName, sizeof failure.holderName, "%s", gRefusedBy.name);
  failure.heldBySystemConsole = gRefusedBy.how == PORT_HELD_AS_CONSOLE;
  openFailures_note(port, &failure);
}

// The interrupt handler closes the ports it finds open; while an open is half
// done (device locked, slot not yet recorded) it would find nothing to close,
// so the stop signals wait until the open has finished either way.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPVOID lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)dwDesiredAccess;
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)dwCreationDisposition;
  (void)dwFlagsAndAttributes;
  (void)hTemplateFile;

  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  // Returns an error number upon failure (none for these signals).
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  memset(&gRefusedBy, 0, sizeof gRefusedBy);
  HANDLE handle = openPort(lpFileName);
  const int savedErrno = errno;
  noteOpenOutcome(lpFileName, handle, savedErrno);
  pthread_sigmask(SIG_SETMASK, &previous, NULL);
  errno = savedErrno;
  return handle;
}

// Stage 1 of the open: the COM name resolved to a device path into `path`; a
// device's own path opens as it is. FALSE (errno ENOENT) for neither.
static int resolvePath(LPCSTR lpFileName, char *path, size_t size) {
  const int byPath = lpFileName != NULL && lpFileName[0] == '/';
  if (byPath && strlen(lpFileName) < size) {
    strcpy(path, lpFileName);
    return 1;
  }
  if (!byPath && comPortNames_resolve(lpFileName, path, size)) return 1;
  errno = ENOENT;
  return 0;
}

// Stages 4 and 5: the device made ours alone, as Windows gives a COM port
// opened with share mode 0. FALSE (errno set, fd closed) when another holds it.
static int takeExclusively(int fd, const char *path) {
  /* TIOCEXCL makes the kernel refuse further opens of the tty, but root
     bypasses it, and it says nothing to programs that open with O_NONBLOCK
     first and check later; the advisory lock is what every well-behaved
     serial program (and a second instance of this one) tests. So take
     both: the lock decides, TIOCEXCL helps where it applies.
     flock fails with EWOULDBLOCK while another holds the lock. */
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int saved = errno;
    close(fd);
    // Who holds it, where the system lets us see.
    if (saved == EWOULDBLOCK && !portHolders_find(path, &gRefusedBy)) memset(&gRefusedBy, 0, sizeof gRefusedBy);
    errno = saved == EWOULDBLOCK ? EBUSY : saved;
    return 0;
  }

  /* Programs that take neither (a getty, a terminal program) would still
     have their line reconfigured under them, where Windows refuses the
     open. Look for them, their lock files and their open descriptors,
     before anything is changed; a held port fails like a flock-held one.
     Only close() here: the exclusive flag, if any, is not ours to clear. */
  if (portHolders_find(path, &gRefusedBy)) {
    close(fd);
    errno = EBUSY;
    return 0;
  }
  // Not checked: the lock above already holds.
  ioctl(fd, TIOCEXCL);
  return 1;
}

// Stage 6: the settings found kept in *before, to put them back at the close;
// then raw bytes, receiver on, modem status ignored for opening and reading.
// VMIN 1 / VTIME 0 with O_NONBLOCK: read() gives -1/EAGAIN when nothing is
// there, so a 0 from read() only ever means the line hung up. FALSE (errno
// set, device released) upon failure.
static int makeRaw(int fd, struct termios *before) {
  if (tcgetattr(fd, before) != 0) {
    int saved = errno;
    releaseDevice(fd);
    errno = saved;
    return 0;
  }
  struct termios tio = *before;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    int saved = errno;
    tcsetattr(fd, TCSANOW, before);  // part of the change may have been taken
    releaseDevice(fd);
    errno = saved;
    return 0;
  }
  return 1;
}

static HANDLE openPort(LPCSTR lpFileName) {
  /* 1. Resolve the COM name to a device path. */
  char path[4096];
  if (!resolvePath(lpFileName, path, sizeof path)) return INVALID_HANDLE_VALUE;

  /* 2. Find a free slot. */
  int slot = 0;
  while (slot < PORT_SLOTS && gPorts[slot].open) slot++;
  if (slot == PORT_SLOTS) {
    errno = EMFILE;
    return INVALID_HANDLE_VALUE;
  }

  /* 3. Open without becoming the controlling terminal and without waiting for
        carrier. */
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  if (!isatty(fd)) {
    close(fd);
    errno = ENOTTY;
    return INVALID_HANDLE_VALUE;
  }

  /* 4. and 5. Exclusive access, from the lock and from other programs. */
  if (!takeExclusively(fd, path)) return INVALID_HANDLE_VALUE;

  /* 6. Raw bytes, the settings found kept. */
  struct termios before;
  if (!makeRaw(fd, &before)) return INVALID_HANDLE_VALUE;

  /* 7. Record the port, and tell other programs it is taken with a UUCP lock
        where the lock folder lets us (a lock that cannot be written is no
        failure: flock and TIOCEXCL already hold the line). Windows starts a
        port with no timeouts (reads wait until the buffer is full); the
        driver sets its own right away. */
  static int exitHookSet = 0;
  if (!exitHookSet) exitHookSet = atexit(closeAllPorts) == 0;  // non-zero upon failure
  PortRecord *port = &gPorts[slot];
  port->open = 1;
  port->fd = fd;
  port->before = before;
  port->owner = getpid();
  port->baud = 0;
  memset(&port->timeouts, 0, sizeof port->timeouts);
  portHolders_writeLock(path, port->lockPath, sizeof port->lockPath);
  return gPorts.start(slot);
}

BOOL CloseHandle(HANDLE hObject) {
  PortRecord *port = portOf(hObject);
  if (port == NULL) return FALSE;
  closePort(port);
  return TRUE;
}

// ---- Configuration -------------------------------------------------------------------

// The port of a handle whose call is given a record to read; NULL (errno
// EINVAL when the record is missing) when the call must fail.
static PortRecord *portWithRecord(HANDLE hFile, const void *record) {
  PortRecord *port = portOf(hFile);
  if (port != NULL && record == NULL) {
    errno = EINVAL;
    return NULL;
  }
  return port;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  // The tty layer has queues of its own size; asking for sizes is accepted.
  (void)dwInQueue;
  (void)dwOutQueue;
  return portOf(hFile) != NULL;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  PortRecord *port = portWithRecord(hFile, lpCommTimeouts);
  if (port == NULL) return FALSE;
  port->timeouts = *lpCommTimeouts;
  return TRUE;
}

// The termios speed of a rate in bits per second; B0 when the line cannot take it.
static speed_t speedOf(DWORD rate) {
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B500000
    case 500000: return B500000;
#endif
#ifdef B576000
    case 576000: return B576000;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
#ifdef B1000000
    case 1000000: return B1000000;
#endif
#ifdef B1152000
    case 1152000: return B1152000;
#endif
#ifdef B1500000
    case 1500000: return B1500000;
#endif
#ifdef B2000000
    case 2000000: return B2000000;
#endif
    default: return B0;
  }
}

// Raises or lowers modem control lines. Pseudo-terminals have none (ENOTTY);
// callers that only want the line up where there is one ignore the result.
static BOOL setModemLines(int fd, int lines, int raise) {
  return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &lines) == 0;
}

// The record's byte size, parity and stop bits into *tio. FALSE (errno
// EINVAL) for a frame the line cannot take.
static BOOL setFrame(const DCB *lpDCB, struct termios *tio) {
  tcflag_t size;
  switch (lpDCB->ByteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: errno = EINVAL; return FALSE;
  }
  tio->c_cflag = (tio->c_cflag & ~(tcflag_t)CSIZE) | size;

  switch (lpDCB->Parity) {
    case NOPARITY: tio->c_cflag &= ~(tcflag_t)(PARENB | PARODD); break;
    case ODDPARITY: tio->c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio->c_cflag = (tio->c_cflag | PARENB) & ~(tcflag_t)PARODD; break;
    default: errno = EINVAL; return FALSE;  // mark and space parity: not offered
  }
  if (lpDCB->fParity && lpDCB->Parity != NOPARITY)
    tio->c_iflag |= INPCK;
  else
    tio->c_iflag &= ~(tcflag_t)INPCK;

  switch (lpDCB->StopBits) {
    case ONESTOPBIT: tio->c_cflag &= ~(tcflag_t)CSTOPB; break;
    case TWOSTOPBITS: tio->c_cflag |= CSTOPB; break;
    default: errno = EINVAL; return FALSE;  // 1.5 stop bits: not offered
  }
  return TRUE;
}

// The record's flow control (the CTS handshake, XON/XOFF) into *tio. FALSE
// (errno EINVAL) for a handshake the system does not offer.
static BOOL setFlowControl(const DCB *lpDCB, struct termios *tio) {
#ifdef CRTSCTS
  // Output waits for CTS while the handshake is on. (termios couples it with RTS
  // input flow control; RTS stays raised while the receive queue has room.)
  if (lpDCB->fOutxCtsFlow || lpDCB->fRtsControl == RTS_CONTROL_HANDSHAKE)
    tio->c_cflag |= CRTSCTS;
  else
    tio->c_cflag &= ~(tcflag_t)CRTSCTS;
#else
  if (lpDCB->fOutxCtsFlow || lpDCB->fRtsControl == RTS_CONTROL_HANDSHAKE) {
    errno = EINVAL;
    return FALSE;
  }
#endif

  tio->c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
  if (lpDCB->fOutX) tio->c_iflag |= IXON;
  if (lpDCB->fInX) tio->c_iflag |= IXOFF;
  tio->c_cc[VSTART] = (cc_t)lpDCB->XonChar;
  tio->c_cc[VSTOP] = (cc_t)lpDCB->XoffChar;
  return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  PortRecord *port = portWithRecord(hFile, lpDCB);
  if (port == NULL) return FALSE;
  speed_t speed = speedOf(lpDCB->BaudRate);
  if (speed == B0) {
    errno = EINVAL;
    return FALSE;
  }
  struct termios tio;
  if (tcgetattr(port->fd, &tio) != 0) return FALSE;
  if (!setFrame(lpDCB, &tio) || !setFlowControl(lpDCB, &tio)) return FALSE;

  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return FALSE;
  // Succeeds when any part of the change was applied.
  if (tcsetattr(port->fd, TCSANOW, &tio) != 0) return FALSE;

  // tcsetattr succeeds when only part of the request was taken: check that
  // the line really runs at the rate asked for.
  struct termios now;
  if (tcgetattr(port->fd, &now) != 0) return FALSE;
  if (cfgetospeed(&now) != speed) {
    errno = EINVAL;
    return FALSE;
  }
  port->baud = lpDCB->BaudRate;

  // DTR and RTS as the record wants them; lines a device lacks are ignored.
  if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE) setModemLines(port->fd, TIOCM_DTR, 1);
  if (lpDCB->fDtrControl == DTR_CONTROL_DISABLE) setModemLines(port->fd, TIOCM_DTR, 0);
  if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE) setModemLines(port->fd, TIOCM_RTS, 1);
  if (lpDCB->fRtsControl == RTS_CONTROL_DISABLE) setModemLines(port->fd, TIOCM_RTS, 0);
  return TRUE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  PortRecord *port = portOf(hFile);
  if (port == NULL) return FALSE;
  int input = (dwFlags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  int output = (dwFlags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!input && !output) return TRUE;
  int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  return tcflush(port->fd, queue) == 0;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  PortRecord *port = portOf(hFile);
  if (port == NULL) return FALSE;
  switch (dwFunc) {
    case SETDTR: return setModemLines(port->fd, TIOCM_DTR, 1);
    case CLRDTR: return setModemLines(port->fd, TIOCM_DTR, 0);
    case SETRTS: return setModemLines(port->fd, TIOCM_RTS, 1);
    case CLRRTS: return setModemLines(port->fd, TIOCM_RTS, 0);
    case SETXOFF: return tcflow(port->fd, TCOOFF) == 0;
    case SETXON: return tcflow(port->fd, TCOON) == 0;
    default: errno = EINVAL; return FALSE;
  }
}

// ---- Transfers --------------------------------------------------------------------

// What a read and a write check first: the count done is set to 0, then the
// port of the handle is returned, or NULL with *result holding the call's
// result (FALSE: no such port or no buffer; TRUE: nothing to transfer).
static PortRecord *startTransfer(HANDLE hFile, const void *buffer, DWORD count, LPDWORD done,
                                 BOOL *result) {
  if (done != NULL) *done = 0;
  *result = FALSE;
  PortRecord *port = portOf(hFile);
  if (port == NULL) return NULL;
  if (count == 0) {
    *result = TRUE;
    return NULL;
  }
  if (buffer == NULL) {
    errno = EINVAL;
    return NULL;
  }
  return port;
}

// ReadFile on a port whose handle and buffer were checked.
static BOOL readPort(PortRecord *port, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead) {
  unsigned char *buffer = (unsigned char *)lpBuffer;
  const COMMTIMEOUTS *t = &port->timeouts;
  ReadDeadline deadline;
  int immediate = t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == 0 &&
                  t->ReadTotalTimeoutConstant == 0;
  // Interval MAXDWORD with no total: take what is there and return at once.
  readDeadline_start(&deadline, readDeadline_nowMs(), immediate ? 0 : t->ReadIntervalTimeout,
                     t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant,
                     nNumberOfBytesToRead);

  DWORD got = 0;
  int first = 1;
  BOOL result = TRUE;
  while (got < nNumberOfBytesToRead) {
    int wait = immediate ? 0 : readDeadline_remainingMs(&deadline, readDeadline_nowMs());
    if (wait == 0 && !first) break;  // a deadline has passed
    first = 0;

    struct pollfd pfd = {port->fd, POLLIN, 0};
    // Returns the ready count, 0 on timeout.
    int ready = poll(&pfd, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;  // the loop recomputes the time left
      result = FALSE;
      break;
    }
    if (ready == 0) {
      if (wait == 0) break;
      continue;  // woke up at a deadline: the top of the loop ends the read
    }
    if (pfd.revents & POLLIN) {
      // Returns 0 at hang-up (VMIN 1).
      ssize_t n = read(port->fd, buffer + got, nNumberOfBytesToRead - got);
      if (n > 0) {
        got += (DWORD)n;
        readDeadline_byteReceived(&deadline, readDeadline_nowMs());
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n == 0) errno = EIO;
      result = got > 0;  // hang-up or device error
      break;
    }
    // POLLHUP, POLLERR or POLLNVAL without data: the device is gone.
    errno = (pfd.revents & POLLNVAL) ? EBADF : EIO;
    result = got > 0;
    break;
  }
  if (result && lpNumberOfBytesRead != NULL) *lpNumberOfBytesRead = got;
  return result;
}

// WriteFile on a port whose handle and buffer were checked.
static BOOL writePort(PortRecord *port, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten) {
  const unsigned char *buffer = (const unsigned char *)lpBuffer;
  DWORD done = 0;
  BOOL result = TRUE;
  while (done < nNumberOfBytesToWrite) {
    ssize_t n = write(port->fd, buffer + done, nNumberOfBytesToWrite - done);
    if (n > 0) {
      done += (DWORD)n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd pfd = {port->fd, POLLOUT, 0};
      int ready = poll(&pfd, 1, -1);
      if (ready < 0 && errno != EINTR) {
        result = FALSE;
        break;
      }
      if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pfd.revents & POLLOUT)) {
        errno = EIO;
        result = FALSE;
        break;
      }
      continue;
    }
    result = FALSE;  // EIO after a hang-up, or another device error
    break;
  }
  if (lpNumberOfBytesWritten != NULL) *lpNumberOfBytesWritten = done;
  return result;
}

// Reads under the Windows timeouts of the port (see ReadDeadline.h): returns
// when the buffer is full, when the interval passed after the last byte, or
// when the total time ran out. Nothing arriving is a success with 0 bytes.
//
// A device that has gone away (pseudo-terminal master closed, adapter
// unplugged: POLLHUP, EIO, or read() giving 0) fails the read at once with a
// count of 0. When it goes away in the middle of a read that already has
// bytes, those bytes are returned as a success; the next read then fails.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPVOID /* synchronous only */) {
  BOOL started;
  PortRecord *port = startTransfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, &started);
  return port == NULL ? started : readPort(port, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
}

// Blocks until every byte has been taken by the driver: loops over partial
// writes, EINTR and a full queue (EAGAIN, waited out with poll()). There is no
// write timeout; with the CTS handshake on, a write waits as long as CTS is low.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPVOID /* synchronous only */) {
  BOOL started;
  PortRecord *port = startTransfer(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, &started);
  return port == NULL ? started : writePort(port, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
}

// ---- Timing -------------------------------------------------------------------------------

void Sleep(DWORD dwMilliseconds) {
  struct timespec left;
  left.tv_sec = (time_t)(dwMilliseconds / 1000);
  left.tv_nsec = (long)(dwMilliseconds % 1000) * 1000000L;
  // EINTR leaves the time still to sleep in the second argument: the sleep
  // goes on with that.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
