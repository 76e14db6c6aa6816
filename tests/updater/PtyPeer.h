// A scripted stand-in for the unit on the master side of pseudo-terminals.
//
// Each simulated port is a pseudo-terminal whose slave is reachable as COMn
// through a temporary folder named in FWUPGRADE_COM_DIR. A thread cuts what the
// updater writes into framed commands ("%%" text LF CR) or raw image blocks,
// records each with the line speed and CTS handshake in force, and writes back
// what the test's responder says.
#ifndef UPDATER_TESTS_PTYPEER_H
#define UPDATER_TESTS_PTYPEER_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct PeerEvent {
  int port = 0;
  std::string command;  // without framing; empty for an image block
  bool isData = false;
  uint32_t dataLength = 0;
  uint32_t dataSum = 0;  // byte sum of the block, modulo 2^32
  int baud = 0;
  bool ctsFlow = false;
};

struct PeerReply {
  std::string text;         // written back at once (empty: silence)
  bool hangUp = false;      // then the cable is pulled (master closed)
  uint32_t expectData = 0;  // then this many raw bytes form one image block
};

class PtyPeer {
 public:
  using Responder = std::function<PeerReply(const PeerEvent &)>;

  explicit PtyPeer(const std::vector<int> &ports);
  ~PtyPeer();
  void start(Responder responder);

  std::vector<PeerEvent> events();
  std::vector<std::string> commands(int port = 0);  // 0: every port
  // Waits up to two seconds for the command to arrive on the port.
  bool waitForCommand(int port, const std::string &command);

 private:
  struct Port {
    int number, master, slave;
    std::string pending;  // bytes not yet forming a whole frame
    uint32_t dataLeft, dataLength, dataSum;
  };
  void run();
  void handle(Port &port, PeerEvent event);

  std::string comDir_;
  std::vector<Port> ports_;
  Responder responder_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<PeerEvent> events_;
};

// Standard output (fd 1) goes to a temporary file until finish().
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture() { finish(); }
  std::string finish();

 private:
  int saved_ = -1, file_ = -1;
};

struct ImageFigures {
  int length = 0;
  uint32_t sum = 0;
};
// Length and byte sum of an embedded image, assembled (into gDataConcatenated).
ImageFigures assembledImageFigures(int catalogueIndex);

#endif  // UPDATER_TESTS_PTYPEER_H
