// The simulator's serial ports: pseudo-terminals published as DIR/COMn, the
// reading and writing on their master side, line-rate pacing and the wire log.
#include "SimPorts.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

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

int SimPort::baud() const {
  // The slave's termios is what the updater applied; the master side shares
  // it on Linux, but our own slave descriptor works on every system.
  // tcgetattr returns 0 upon success, -1 upon failure.
  struct termios tio;
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) return 0;
  return baudOfSpeed(cfgetospeed(&tio));
}

// Longest the unit lets received bytes wait for their line time (seconds).
#define REPLY_LAG_LIMIT 0.5

// Seconds one byte takes on the line: start bit, 8 data bits, stop bit.
static double byteTime(int baud) { return baud > 0 ? 10.0 / baud : 0.0; }

// ---- Creating and closing a port -------------------------------------------------

bool SimPort::create(const std::string &comDir) {
  /* 1. A new pseudo-terminal master, non-blocking, never our controlling tty.
        posix_openpt returns a descriptor upon success, -1 upon failure;
        grantpt and unlockpt return 0 upon success, -1 upon failure. */
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    fprintf(stderr, "unitsim: cannot create a pseudo-terminal: %s\n", strerror(errno));
    return false;
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  const char *name = ptsname(master_);
  if (name == NULL) return false;
  slaveName_ = name;

  /* 2. Our own slave descriptor. Without it the master would see a hang-up
        (EIO) each time the updater closes the port between two opens, and the
        slave's settings would be reset at the updater's next open. */
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) {
    fprintf(stderr, "unitsim: cannot open %s: %s\n", name, strerror(errno));
    return false;
  }

  /* 3. A fresh serial port: raw bytes at 9600 8N1. tcsetattr returns 0 upon
        success, -1 upon failure; a pty that refuses it still works, so the
        result is only reported. */
  struct termios tio;
  if (tcgetattr(slave_, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0)
      fprintf(stderr, "unitsim: cannot set up %s: %s\n", name, strerror(errno));
  }

  /* 4. Publish the slave as DIR/COMn. A stale link from an earlier run is
        replaced; anything else of that name is left alone. */
  linkPath_ = comDir + "/COM" + std::to_string(number_);
  struct stat st;
  if (lstat(linkPath_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(linkPath_.c_str());
  if (symlink(name, linkPath_.c_str()) != 0) {
    fprintf(stderr, "unitsim: cannot create %s: %s\n", linkPath_.c_str(), strerror(errno));
    linkPath_.clear();
    return false;
  }
  alive_ = true;
  return true;
}

void SimPort::releaseFlow(void) {
  if (outputStopped_ && slave_ >= 0) tcflow(slave_, TCOON);
  outputStopped_ = false;
}

void SimPort::hangUp() {
  releaseFlow();
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = slave_ = -1;
  if (!linkPath_.empty()) unlink(linkPath_.c_str());
  linkPath_.clear();
  alive_ = false;
  out_.clear();
  in_.clear();
}

void SimPort::replug(PortDevice *device, const char *event, const std::string &detail) {
  if (!alive_) return;
  releaseFlow();
  out_.clear();
  outPos_ = 0;
  in_.clear();
  inFreeAt_ = 0;
  device_ = device;
  log(event, detail);
}

// ---- Output ----------------------------------------------------------------------------

void SimPort::send(const std::string &bytes, int rate, double notBefore, double gapAfterPrevious) {
  OutPiece piece;
  piece.bytes = bytes;
  piece.rate = rate;
  piece.notBefore = notBefore;
  piece.gapAfterPrevious = gapAfterPrevious;
  out_.push_back(piece);
}

std::string garbageBytes(void) {
  std::string bytes;
  int count = 3 + rand() % 6;
  for (int i = 0; i < count; i++) bytes += (char)(rand() & 0xFF);
  return bytes;
}

// When the head piece may start (pieces after the first follow the previous
// one's end by their pause).
double SimPort::pieceStartAt(void) const {
  const OutPiece &head = out_.front();
  double at = head.notBefore;
  if (head.gapAfterPrevious > 0 && previousDoneAt_ + head.gapAfterPrevious > at)
    at = previousDoneAt_ + head.gapAfterPrevious;
  return at;
}

void SimPort::serviceWrite(void) {
  while (alive_ && !out_.empty()) {
    double now = nowMono();
    OutPiece &head = out_.front();
    if (!head.started) {
      if (now < pieceStartAt()) return;
      head.started = true;
      int lineBaud = baud();
      if (head.rate == GARBAGE_RATE) {
        log("garbage", escapeBytes(head.bytes, 64));
      } else if (head.rate != 0 && lineBaud != head.rate) {
        // The updater listens at another rate: it can only see garbage.
        head.bytes = garbageBytes();
        log("garbage", escapeBytes(head.bytes, 64));
      } else {
        log("send", escapeBytes(head.bytes, 200));
      }
    }
    size_t remaining = head.bytes.size() - outPos_;
    int lineBaud = baud();
    if (pace_ && lineBaud > 0) {
      if (now < outFreeAt_) return;
      // A few milliseconds' worth at a time keeps the pace smooth; the pauses
      // are far below any read timeout of the updater.
      size_t slice = (size_t)(lineBaud / 10 * 0.004);
      if (slice < 1) slice = 1;
      if (remaining > slice) remaining = slice;
    }
    // Returns the byte count written, -1 upon failure.
    ssize_t n = write(master_, head.bytes.data() + outPos_, remaining);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) writeBlocked_ = true;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      // EIO: nobody can hear us; drop what is queued.
      out_.clear();
      outPos_ = 0;
      return;
    }
    outPos_ += (size_t)n;
    if (pace_ && lineBaud > 0)
      outFreeAt_ = (outFreeAt_ > now ? outFreeAt_ : now) + n * byteTime(lineBaud);
    if (outPos_ == head.bytes.size()) {
      previousDoneAt_ = pace_ && outFreeAt_ > now ? outFreeAt_ : now;
      out_.pop_front();
      outPos_ = 0;
    }
  }
}

// ---- Input -------------------------------------------------------------------------------

void SimPort::deliver(const std::string &bytes, int baud) {
  if (device_ != nullptr) device_->receive(*this, bytes, baud);
}

// Holds the updater's writes while the bytes already taken have not yet had
// their time on the line. A pseudo-terminal takes tens of kilobytes at once;
// a real UART takes them at the line rate, and the updater's reply timeouts
// count from the end of its writes, so both ends must agree on the pace.
void SimPort::gateInput(double now) {
  if (!pace_ || slave_ < 0) return;
  bool behind = inFreeAt_ > now;
  // tcflow returns 0 upon success, -1 upon failure; a refused stop only
  // loosens the pacing, so it is not treated as an error.
  if (behind && !outputStopped_) {
    tcflow(slave_, TCOOFF);
    outputStopped_ = true;
  } else if (!behind && outputStopped_) {
    tcflow(slave_, TCOON);
    outputStopped_ = false;
  }
}

void SimPort::serviceRead(void) {
  char buffer[65536];
  while (alive_) {
    // Returns the byte count read, 0 at end of file, -1 upon failure.
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return;  // EAGAIN: all read; EIO cannot happen while we hold the slave
    double now = nowMono();
    int lineBaud = baud();
    std::string bytes(buffer, (size_t)n);
    if (!pace_ || lineBaud <= 0) {
      deliver(bytes, lineBaud);
      continue;
    }
    double start = inFreeAt_ > now ? inFreeAt_ : now;
    inFreeAt_ = start + n * byteTime(lineBaud);
    lastReadAt_ = now;
    InChunk chunk;
    chunk.bytes = bytes;
    // The updater's last write returns once the pty has taken the bytes,
    // which can be most of a second before their line time is over; so the
    // unit acts at their line time but never later than REPLY_LAG_LIMIT
    // after it got them, within the updater's shortest reply timeout.
    chunk.due = inFreeAt_ < now + REPLY_LAG_LIMIT ? inFreeAt_ : now + REPLY_LAG_LIMIT;
    chunk.baud = lineBaud;
    in_.push_back(chunk);
    gateInput(now);
  }
}

double SimPort::lineLead() const { return pace_ ? inFreeAt_ - lastReadAt_ : 0.0; }

struct pollfd SimPort::pollRequest() const {
  struct pollfd pfd = {master_, POLLIN, 0};
  if (!alive_) pfd.fd = -1;
  if (writeBlocked_) pfd.events |= POLLOUT;
  return pfd;
}

void SimPort::serviceTimers(double now, double *nextDeadline) {
  while (alive_ && !in_.empty() && in_.front().due <= now) {
    InChunk chunk = in_.front();
    in_.pop_front();
    deliver(chunk.bytes, chunk.baud);
  }
  if (alive_) {
    gateInput(now);
    if (!in_.empty() && in_.front().due < *nextDeadline) *nextDeadline = in_.front().due;
    if (outputStopped_ && inFreeAt_ < *nextDeadline) *nextDeadline = inFreeAt_;
    // A write that found the pty full waits for POLLOUT instead of a deadline.
    if (!out_.empty() && !writeBlocked_) {
      double at = out_.front().started ? now : pieceStartAt();
      if (pace_ && outFreeAt_ > at) at = outFreeAt_;
      if (at < *nextDeadline) *nextDeadline = at;
    }
  }
  if (alive_ && device_ != nullptr) device_->timers(*this, now, nextDeadline);
  serviceWrite();
}

void SimPort::serviceEvents(short revents) {
  if (!alive_ || revents == 0) return;
  if (revents & POLLOUT) writeBlocked_ = false;
  if (revents & (POLLIN | POLLHUP | POLLERR)) serviceRead();
  serviceWrite();
}

// ---- Wire log --------------------------------------------------------------------------------

bool WireLog::open(const std::string &path) {
  if (path.empty()) return true;
  file_ = fopen(path.c_str(), "w");
  if (file_ == NULL) {
    fprintf(stderr, "unitsim: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  setvbuf(file_, NULL, _IOLBF, 0);
  return true;
}

void WireLog::close(void) {
  if (file_ != NULL) fclose(file_);
  file_ = NULL;
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

void WireLog::write(int port, int baud, const char *event, const std::string &detail) {
  if (file_ == NULL) return;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  fprintf(file_, "%lld.%06ld COM%d %d %s %s\n", (long long)ts.tv_sec, ts.tv_nsec / 1000, port, baud,
          event, detail.c_str());
}

void SimPort::log(const char *event, const std::string &detail) const {
  // The rate is asked of the pty only when there is a log to write it to.
  if (log_ != nullptr && log_->isOpen()) log_->write(number_, baud(), event, detail);
}
