// A scripted stand-in for the unit on the master side of pseudo-terminals.
//
// Each simulated COM port is a pseudo-terminal whose slave is reachable as
// COMn through a temporary folder named in FWUPGRADE_COM_DIR, where the
// platform layer looks up "\\.\COMn". A thread reads what the updater writes
// on each master, cuts it into framed commands ("%%" text LF CR), asks the
// test's responder what to do, and writes the answer back.
#ifndef UPDATER_TESTS_PTYPEER_H
#define UPDATER_TESTS_PTYPEER_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One thing the updater sent: a command, or a block of raw image bytes.
struct PeerEvent {
  int port = 0;
  std::string command;   // the command text without framing; empty for data
  bool isData = false;   // a block of image bytes
  uint32_t dataLength = 0;
  uint32_t dataSum = 0;  // byte sum of the block, modulo 2^32
  int baud = 0;          // line speed of the port when the event ended
  bool ctsFlow = false;  // CTS handshake (CRTSCTS) in force at that time
};

// What the unit does in answer.
struct PeerReply {
  std::string text;           // written back at once (empty: stays silent)
  bool hangUp = false;        // then closes the master, like an unplugged cable
  uint32_t expectData = 0;    // then takes this many raw bytes as one data block
};

class PtyPeer {
 public:
  using Responder = std::function<PeerReply(const PeerEvent &)>;

  // Creates one pseudo-terminal per port number and the COMn links to them.
  explicit PtyPeer(const std::vector<int> &ports);
  ~PtyPeer();

  void start(Responder responder);
  void stop();

  std::vector<PeerEvent> events();
  std::vector<std::string> commands(int port = 0);  // 0: every port
  // Waits up to two seconds for the command to arrive on the port.
  bool waitForCommand(int port, const std::string &command);
  const std::string &comDir() const { return comDir_; }

 private:
  struct Port {
    int number = 0;
    int master = -1;
    int slave = -1;
    std::string pending;     // bytes not yet forming a whole frame
    uint32_t dataLeft = 0;   // raw bytes still expected for a data block
    uint32_t dataLength = 0;
    uint32_t dataSum = 0;
  };

  void run();
  void handle(Port &port, const PeerEvent &event);
  PeerEvent eventFor(const Port &port);

  std::string comDir_;
  std::vector<Port> ports_;
  Responder responder_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<PeerEvent> events_;
};

// Redirects standard output (fd 1) into a temporary file while it lives.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  std::string finish();  // restores stdout and gives what was printed

 private:
  int saved_ = -1;
  int file_ = -1;
};

// The expected reply to the detection probe, for responders.
extern const char *const kHelpReply;

// Number of bytes and byte sum of an embedded image once assembled.
struct ImageFigures {
  int length = 0;
  uint32_t sum = 0;
};
ImageFigures assembledImageFigures(int catalogueIndex);

#endif  // UPDATER_TESTS_PTYPEER_H
