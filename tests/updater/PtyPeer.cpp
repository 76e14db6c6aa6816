#include "PtyPeer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "TessaranFwUpgrade.h"

const char *const kHelpReply = DETECTION_EXPECTED_RESPONSE;

static int baudFromSpeed(speed_t speed) {
  switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return -1;
  }
}

static void writeAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the slave side is gone; nothing more to say
    done += (size_t)n;
  }
}

PtyPeer::PtyPeer(const std::vector<int> &ports) {
  char dirTemplate[] = "/tmp/updater-com-XXXXXX";
  if (mkdtemp(dirTemplate) == NULL) throw std::runtime_error("mkdtemp failed");
  comDir_ = dirTemplate;

  for (int number : ports) {
    Port port;
    port.number = number;
    // Raw from the start, so that nothing is echoed before the updater has
    // configured the line itself.
    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    char slaveName[128];
    if (openpty(&port.master, &port.slave, slaveName, &raw, NULL) != 0) {
      throw std::runtime_error("openpty failed");
    }
    // The slave stays open here too: the updater closing and reopening its
    // side then never leaves the master hung up.
    fcntl(port.master, F_SETFL, fcntl(port.master, F_GETFL) | O_NONBLOCK);
    std::string link = comDir_ + "/COM" + std::to_string(number);
    if (symlink(slaveName, link.c_str()) != 0) throw std::runtime_error("symlink failed");
    ports_.push_back(port);
  }
  setenv("FWUPGRADE_COM_DIR", comDir_.c_str(), 1);
}

PtyPeer::~PtyPeer() {
  stop();
  for (Port &port : ports_) {
    if (port.master >= 0) close(port.master);
    if (port.slave >= 0) close(port.slave);
    std::string link = comDir_ + "/COM" + std::to_string(port.number);
    unlink(link.c_str());
  }
  rmdir(comDir_.c_str());
}

void PtyPeer::start(Responder responder) {
  responder_ = std::move(responder);
  thread_ = std::thread(&PtyPeer::run, this);
}

void PtyPeer::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<PeerEvent> PtyPeer::events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<std::string> PtyPeer::commands(int port) {
  std::vector<std::string> result;
  for (const PeerEvent &event : events()) {
    if (!event.isData && (port == 0 || event.port == port)) result.push_back(event.command);
  }
  return result;
}

bool PtyPeer::waitForCommand(int port, const std::string &command) {
  for (int wait = 0; wait < 200; wait++) {
    for (const std::string &seen : commands(port)) {
      if (seen == command) return true;
    }
    usleep(10000);
  }
  return false;
}

PeerEvent PtyPeer::eventFor(const Port &port) {
  PeerEvent event;
  event.port = port.number;
  struct termios line;
  if (tcgetattr(port.master, &line) == 0) {
    event.baud = baudFromSpeed(cfgetospeed(&line));
    event.ctsFlow = (line.c_cflag & CRTSCTS) != 0;
  }
  return event;
}

void PtyPeer::handle(Port &port, const PeerEvent &event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  PeerReply reply = responder_ ? responder_(event) : PeerReply();
  if (!reply.text.empty()) writeAll(port.master, reply.text);
  if (reply.hangUp) {
    close(port.master);
    port.master = -1;
    close(port.slave);
    port.slave = -1;
    return;
  }
  if (reply.expectData > 0) {
    port.dataLeft = reply.expectData;
    port.dataLength = reply.expectData;
    port.dataSum = 0;
  }
}

void PtyPeer::run() {
  std::vector<char> chunk(65536);
  while (!stopping_) {
    std::vector<struct pollfd> fds;
    std::vector<Port *> owners;
    for (Port &port : ports_) {
      if (port.master < 0) continue;
      fds.push_back({port.master, POLLIN, 0});
      owners.push_back(&port);
    }
    if (fds.empty()) {
      usleep(10000);
      continue;
    }
    int ready = poll(fds.data(), fds.size(), 20);
    if (ready <= 0) continue;

    for (size_t k = 0; k < fds.size(); k++) {
      Port &port = *owners[k];
      if (!(fds[k].revents & POLLIN)) continue;
      ssize_t n = read(port.master, chunk.data(), chunk.size());
      if (n <= 0) continue;
      size_t used = 0;
      while (used < (size_t)n) {
        if (port.dataLeft > 0) {
          // Raw image bytes: counted and summed, not parsed.
          size_t take = (size_t)n - used;
          if (take > port.dataLeft) take = port.dataLeft;
          for (size_t b = 0; b < take; b++) port.dataSum += (uint8_t)chunk[used + b];
          port.dataLeft -= (uint32_t)take;
          used += take;
          if (port.dataLeft == 0) {
            PeerEvent event = eventFor(port);
            event.isData = true;
            event.dataLength = port.dataLength;
            event.dataSum = port.dataSum;
            handle(port, event);
            if (port.master < 0) break;
          }
          continue;
        }
        port.pending.push_back(chunk[used++]);
        size_t end = port.pending.find("\n\r");
        if (end == std::string::npos) continue;
        std::string frame = port.pending.substr(0, end);
        port.pending.erase(0, end + 2);
        PeerEvent event = eventFor(port);
        event.command = frame.compare(0, 2, "%%") == 0 ? frame.substr(2) : frame;
        handle(port, event);
        if (port.master < 0) break;
      }
    }
  }
}

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  char name[] = "/tmp/updater-stdout-XXXXXX";
  file_ = mkstemp(name);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  saved_ = dup(1);
  dup2(file_, 1);
}

StdoutCapture::~StdoutCapture() { finish(); }

std::string StdoutCapture::finish() {
  if (saved_ < 0) return std::string();
  fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  saved_ = -1;
  std::string text;
  lseek(file_, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(file_, buffer, sizeof buffer)) > 0) text.append(buffer, (size_t)n);
  close(file_);
  file_ = -1;
  return text;
}

ImageFigures assembledImageFigures(int catalogueIndex) {
  ImageFigures figures;
  char *text = newCopyOfEmbeddedText(catalogueIndex);
  if (text != NULL && ValidateFwAndConcatenateData(text)) {
    figures.length = gDataConcatenatedLenght;
    for (int i = 0; i < figures.length; i++) figures.sum += gDataConcatenated[i];
  }
  free(text);
  return figures;
}
