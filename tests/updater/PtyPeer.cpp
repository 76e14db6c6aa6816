#include "PtyPeer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "updater/TessaranFwUpgrade.h"

static int baudOf(speed_t speed) {
  const struct { speed_t speed; int baud; } table[] = {
      {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B57600, 57600}, {B115200, 115200}};
  for (const auto &row : table) {
    if (row.speed == speed) return row.baud;
  }
  return -1;
}

static void writeAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the updater's side is gone
    done += (size_t)n;
  }
}

PtyPeer::PtyPeer(const std::vector<int> &ports) {
  char dir[] = "/tmp/updater-com-XXXXXX";
  if (mkdtemp(dir) == NULL) throw std::runtime_error("mkdtemp failed");
  comDir_ = dir;
  for (int number : ports) {
    // Raw from the start, so nothing is echoed before the updater configures
    // the line. The slave stays open here too, so the master never sees a
    // hang-up between the updater's opens.
    struct termios raw = {};
    cfmakeraw(&raw);
    Port port = {number, -1, -1, "", 0, 0, 0};
    char slaveName[128];
    if (openpty(&port.master, &port.slave, slaveName, &raw, NULL) != 0) {
      throw std::runtime_error("openpty failed");
    }
    fcntl(port.master, F_SETFL, fcntl(port.master, F_GETFL) | O_NONBLOCK);
    if (symlink(slaveName, (comDir_ + "/COM" + std::to_string(number)).c_str()) != 0) {
      throw std::runtime_error("symlink failed");
    }
    ports_.push_back(port);
  }
  setenv("FWUPGRADE_COM_DIR", comDir_.c_str(), 1);
}

PtyPeer::~PtyPeer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  for (Port &port : ports_) {
    if (port.master >= 0) close(port.master);
    if (port.slave >= 0) close(port.slave);
    unlink((comDir_ + "/COM" + std::to_string(port.number)).c_str());
  }
  rmdir(comDir_.c_str());
}

void PtyPeer::start(Responder responder) {
  responder_ = std::move(responder);
  thread_ = std::thread(&PtyPeer::run, this);
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

void PtyPeer::handle(Port &port, PeerEvent event) {
  event.port = port.number;
  // The master reports the slave's line settings: those the updater set.
  struct termios line;
  if (tcgetattr(port.master, &line) == 0) {
    event.baud = baudOf(cfgetospeed(&line));
    event.ctsFlow = (line.c_cflag & CRTSCTS) != 0;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  PeerReply reply = responder_(event);
  writeAll(port.master, reply.text);
  if (reply.hangUp) {
    close(port.master);
    close(port.slave);
    port.master = port.slave = -1;
  }
  port.dataLeft = port.dataLength = reply.expectData;
  port.dataSum = 0;
}

void PtyPeer::run() {
  char chunk[65536];
  while (!stopping_) {
    std::vector<struct pollfd> fds;
    std::vector<Port *> owners;
    for (Port &port : ports_) {
      if (port.master < 0) continue;
      fds.push_back({port.master, POLLIN, 0});
      owners.push_back(&port);
    }
    if (fds.empty() || poll(fds.data(), fds.size(), 20) <= 0) {
      usleep(1000);
      continue;
    }
    for (size_t k = 0; k < fds.size(); k++) {
      Port &port = *owners[k];
      ssize_t n = (fds[k].revents & POLLIN) ? read(port.master, chunk, sizeof chunk) : 0;
      for (ssize_t used = 0; used < n && port.master >= 0; used++) {
        if (port.dataLeft > 0) {  // image bytes: counted and summed, not parsed
          port.dataSum += (uint8_t)chunk[used];
          if (--port.dataLeft == 0) {
            PeerEvent event;
            event.isData = true;
            event.dataLength = port.dataLength;
            event.dataSum = port.dataSum;
            handle(port, event);
          }
          continue;
        }
        port.pending.push_back(chunk[used]);
        size_t end = port.pending.find("\n\r");
        if (end == std::string::npos) continue;
        PeerEvent event;
        event.command = port.pending.substr(0, end);
        if (event.command.compare(0, 2, "%%") == 0) event.command.erase(0, 2);
        port.pending.clear();
        handle(port, event);
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

std::string StdoutCapture::finish() {
  if (saved_ < 0) return std::string();
  fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  saved_ = -1;
  std::string text;
  char buffer[4096];
  ssize_t n;
  lseek(file_, 0, SEEK_SET);
  while ((n = read(file_, buffer, sizeof buffer)) > 0) text.append(buffer, (size_t)n);
  close(file_);
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
