// The simulator's serial ports: pseudo-terminals published as DIR/COMn, the
// reading and writing on their master side, line-rate pacing and the wire log.
#include "UnitSim.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

std::vector<SimPort> gPorts;

static FILE *gLog = NULL;

double nowMono(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// ---- Line speed --------------------------------------------------------------------

static int baudOfSpeed(speed_t speed) {
  switch (speed) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
#ifdef B460800
    case B460800: return 460800;
#endif
#ifdef B921600
    case B921600: return 921600;
#endif
    default: return 0;
  }
}

int portBaud(const SimPort &port) {
  // The slave's termios is what the updater applied; the master side shares
  // it on Linux, but our own slave descriptor works on every system.
  // tcgetattr returns 0 upon success, -1 upon failure.
  struct termios tio;
  if (port.slave < 0 || tcgetattr(port.slave, &tio) != 0) return 0;
  return baudOfSpeed(cfgetospeed(&tio));
}

// Longest the unit lets received bytes wait for their line time (seconds).
#define REPLY_LAG_LIMIT 0.5

// Seconds one byte takes on the line: start bit, 8 data bits, stop bit.
static double byteTime(int baud) { return baud > 0 ? 10.0 / baud : 0.0; }

// ---- Creating and removing the ports -------------------------------------------------

static bool createPort(SimPort &port) {
  /* 1. A new pseudo-terminal master, non-blocking, never our controlling tty.
        posix_openpt returns a descriptor upon success, -1 upon failure;
        grantpt and unlockpt return 0 upon success, -1 upon failure. */
  port.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (port.master < 0 || grantpt(port.master) != 0 || unlockpt(port.master) != 0) {
    fprintf(stderr, "unitsim: cannot create a pseudo-terminal: %s\n", strerror(errno));
    return false;
  }
  fcntl(port.master, F_SETFL, fcntl(port.master, F_GETFL) | O_NONBLOCK);
  fcntl(port.master, F_SETFD, FD_CLOEXEC);
  const char *name = ptsname(port.master);
  if (name == NULL) return false;
  port.slaveName = name;

  /* 2. Our own slave descriptor. Without it the master would see a hang-up
        (EIO) each time the updater closes the port between two opens, and the
        slave's settings would be reset at the updater's next open. */
  port.slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port.slave < 0) {
    fprintf(stderr, "unitsim: cannot open %s: %s\n", name, strerror(errno));
    return false;
  }

  /* 3. A fresh serial port: raw bytes at 9600 8N1. tcsetattr returns 0 upon
        success, -1 upon failure; a pty that refuses it still works, so the
        result is only reported. */
  struct termios tio;
  if (tcgetattr(port.slave, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(port.slave, TCSANOW, &tio) != 0)
      fprintf(stderr, "unitsim: cannot set up %s: %s\n", name, strerror(errno));
  }

  /* 4. Publish the slave as DIR/COMn. A stale link from an earlier run is
        replaced; anything else of that name is left alone. */
  port.linkPath = gOpt.comDir + "/COM" + std::to_string(port.number);
  struct stat st;
  if (lstat(port.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(port.linkPath.c_str());
  if (symlink(name, port.linkPath.c_str()) != 0) {
    fprintf(stderr, "unitsim: cannot create %s: %s\n", port.linkPath.c_str(), strerror(errno));
    port.linkPath.clear();
    return false;
  }
  port.alive = true;
  return true;
}

bool createPorts(void) {
  gPorts.resize(gOpt.ports.size());
  for (size_t i = 0; i < gOpt.ports.size(); i++) {
    gPorts[i].number = gOpt.ports[i];
    for (SimUnit &unit : gUnits)
      if (unit.opt.port == gOpt.ports[i]) gPorts[i].unit = &unit;
    if (!createPort(gPorts[i])) return false;
  }
  return true;
}

static void releaseFlow(SimPort &port) {
  if (port.outputStopped && port.slave >= 0) tcflow(port.slave, TCOON);
  port.outputStopped = false;
}

void hangUp(SimPort &port) {
  releaseFlow(port);
  if (port.master >= 0) close(port.master);
  if (port.slave >= 0) close(port.slave);
  port.master = port.slave = -1;
  if (!port.linkPath.empty()) unlink(port.linkPath.c_str());
  port.linkPath.clear();
  port.alive = false;
  port.out.clear();
  port.in.clear();
}

void removePorts(void) {
  for (SimPort &port : gPorts) hangUp(port);
}

// ---- Output ----------------------------------------------------------------------------

void queueOutput(SimPort &port, const std::string &bytes, int rate, double delay) {
  OutPiece piece;
  piece.bytes = bytes;
  piece.rate = rate;
  piece.notBefore = nowMono() + delay;
  int piecesPauseMs = port.unit != nullptr ? port.unit->opt.piecesPauseMs : -1;
  if (piecesPauseMs >= 0 && bytes.size() >= 3) {
    // The pieces fault: the same text in three parts with pauses between them.
    size_t third = bytes.size() / 3;
    size_t cuts[4] = {0, third, 2 * third, bytes.size()};
    for (int i = 0; i < 3; i++) {
      OutPiece part = piece;
      part.bytes = bytes.substr(cuts[i], cuts[i + 1] - cuts[i]);
      part.gapAfterPrevious = i == 0 ? 0 : piecesPauseMs / 1000.0;
      if (i > 0) part.notBefore = 0;
      port.out.push_back(part);
    }
    return;
  }
  port.out.push_back(piece);
}

std::string garbageBytes(void) {
  std::string bytes;
  int count = 3 + rand() % 6;
  for (int i = 0; i < count; i++) bytes += (char)(rand() & 0xFF);
  return bytes;
}

// When the head piece may start (pieces after the first follow the previous
// one's end by their pause).
static double pieceStartAt(const SimPort &port) {
  const OutPiece &head = port.out.front();
  double at = head.notBefore;
  if (head.gapAfterPrevious > 0 && port.previousDoneAt + head.gapAfterPrevious > at)
    at = port.previousDoneAt + head.gapAfterPrevious;
  return at;
}

void servicePortWrite(SimPort &port) {
  while (port.alive && !port.out.empty()) {
    double now = nowMono();
    OutPiece &head = port.out.front();
    if (!head.started) {
      if (now < pieceStartAt(port)) return;
      head.started = true;
      int baud = portBaud(port);
      if (head.rate == GARBAGE_RATE) {
        logEvent(port, "garbage", escapeBytes(head.bytes, 64));
      } else if (head.rate != 0 && baud != head.rate) {
        // The updater listens at another rate: it can only see garbage.
        head.bytes = garbageBytes();
        logEvent(port, "garbage", escapeBytes(head.bytes, 64));
      } else {
        logEvent(port, "send", escapeBytes(head.bytes, 200));
      }
    }
    size_t remaining = head.bytes.size() - port.outPos;
    int baud = portBaud(port);
    if (gOpt.pace && baud > 0) {
      if (now < port.outFreeAt) return;
      // A few milliseconds' worth at a time keeps the pace smooth; the pauses
      // are far below any read timeout of the updater.
      size_t slice = (size_t)(baud / 10 * 0.004);
      if (slice < 1) slice = 1;
      if (remaining > slice) remaining = slice;
    }
    // Returns the byte count written, -1 upon failure.
    ssize_t n = write(port.master, head.bytes.data() + port.outPos, remaining);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) port.writeBlocked = true;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      // EIO: nobody can hear us; drop what is queued.
      port.out.clear();
      port.outPos = 0;
      return;
    }
    port.outPos += (size_t)n;
    if (gOpt.pace && baud > 0) port.outFreeAt = (port.outFreeAt > now ? port.outFreeAt : now) + n * byteTime(baud);
    if (port.outPos == head.bytes.size()) {
      port.previousDoneAt = gOpt.pace && port.outFreeAt > now ? port.outFreeAt : now;
      port.out.pop_front();
      port.outPos = 0;
    }
  }
}

// ---- Input -------------------------------------------------------------------------------

static void deliver(SimPort &port, const std::string &bytes, int baud) {
  if (port.unit != nullptr) {
    unitReceive(port, bytes, baud);
    return;
  }
  // A silent port only listens: it logs each command line it hears.
  for (char c : bytes) {
    if (c == '\n' || c == '\r') {
      if (!port.line.empty()) silentPortLine(port, port.line, baud);
      port.line.clear();
    } else if (port.line.size() < 4096) {
      port.line += c;
    }
  }
}

// Holds the updater's writes while the bytes already taken have not yet had
// their time on the line. A pseudo-terminal takes tens of kilobytes at once;
// a real UART takes them at the line rate, and the updater's reply timeouts
// count from the end of its writes, so both ends must agree on the pace.
static void gateInput(SimPort &port, double now) {
  if (!gOpt.pace || port.slave < 0) return;
  bool behind = port.inFreeAt > now;
  // tcflow returns 0 upon success, -1 upon failure; a refused stop only
  // loosens the pacing, so it is not treated as an error.
  if (behind && !port.outputStopped) {
    tcflow(port.slave, TCOOFF);
    port.outputStopped = true;
  } else if (!behind && port.outputStopped) {
    tcflow(port.slave, TCOON);
    port.outputStopped = false;
  }
}

void servicePortRead(SimPort &port) {
  char buffer[65536];
  while (port.alive) {
    // Returns the byte count read, 0 at end of file, -1 upon failure.
    ssize_t n = read(port.master, buffer, sizeof buffer);
    if (n <= 0) return;  // EAGAIN: all read; EIO cannot happen while we hold the slave
    double now = nowMono();
    int baud = portBaud(port);
    std::string bytes(buffer, (size_t)n);
    if (!gOpt.pace || baud <= 0) {
      deliver(port, bytes, baud);
      continue;
    }
    double start = port.inFreeAt > now ? port.inFreeAt : now;
    port.inFreeAt = start + n * byteTime(baud);
    port.lastReadAt = now;
    InChunk chunk;
    chunk.bytes = bytes;
    // The updater's last write returns once the pty has taken the bytes,
    // which can be most of a second before their line time is over; so the
    // unit acts at their line time but never later than REPLY_LAG_LIMIT
    // after it got them, within the updater's shortest reply timeout.
    chunk.due = port.inFreeAt < now + REPLY_LAG_LIMIT ? port.inFreeAt : now + REPLY_LAG_LIMIT;
    chunk.baud = baud;
    port.in.push_back(chunk);
    gateInput(port, now);
  }
}

void servicePortTimers(SimPort &port, double now, double *nextDeadline) {
  while (port.alive && !port.in.empty() && port.in.front().due <= now) {
    InChunk chunk = port.in.front();
    port.in.pop_front();
    deliver(port, chunk.bytes, chunk.baud);
  }
  if (!port.alive) return;
  gateInput(port, now);
  if (!port.in.empty() && port.in.front().due < *nextDeadline) *nextDeadline = port.in.front().due;
  if (port.outputStopped && port.inFreeAt < *nextDeadline) *nextDeadline = port.inFreeAt;
  // A write that found the pty full waits for POLLOUT instead of a deadline.
  if (!port.out.empty() && !port.writeBlocked) {
    double at = port.out.front().started ? now : pieceStartAt(port);
    if (gOpt.pace && port.outFreeAt > at) at = port.outFreeAt;
    if (at < *nextDeadline) *nextDeadline = at;
  }
}

// ---- Wire log --------------------------------------------------------------------------------

bool openLog(void) {
  if (gOpt.logPath.empty()) return true;
  gLog = fopen(gOpt.logPath.c_str(), "w");
  if (gLog == NULL) {
    fprintf(stderr, "unitsim: cannot write %s: %s\n", gOpt.logPath.c_str(), strerror(errno));
    return false;
  }
  setvbuf(gLog, NULL, _IOLBF, 0);
  return true;
}

void closeLog(void) {
  if (gLog != NULL) fclose(gLog);
  gLog = NULL;
}

std::string escapeBytes(const std::string &bytes, size_t maxLength) {
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < maxLength; i++) {
    unsigned char c = (unsigned char)bytes[i];
    if (c == '\r') text += "\\r";
    else if (c == '\n') text += "\\n";
    else if (c == '\\') text += "\\\\";
    else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      text += hex;
    } else {
      text += (char)c;
    }
  }
  if (bytes.size() > maxLength) text += "...";
  return text;
}

// One line per event: wall-clock seconds, port, rate in force, event, detail.
void logEvent(const SimPort &port, const char *event, const std::string &detail) {
  if (gLog == NULL) return;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  fprintf(gLog, "%lld.%06ld COM%d %d %s %s\n", (long long)ts.tv_sec, ts.tv_nsec / 1000, port.number,
          portBaud(port), event, detail.c_str());
}
