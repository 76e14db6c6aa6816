// The simulator's serial ports: each a pseudo-terminal whose slave is
// published as DIR/COMn; the updater opens the slave, the simulator works on
// the master. A port paces both directions to the line rate when told to,
// hands what it receives to the device plugged into it and writes out what
// that device sends.
#ifndef SIMPORTS_H
#define SIMPORTS_H

#include <poll.h>
#include <stdio.h>

#include <deque>
#include <string>

#include "PortDevice.h"

// The wire log: one line per event on any port.
class WireLog {
 public:
  ~WireLog() { close(); }
  // No path: no log.
  bool open(const std::string &path);
  void close(void);
  // Wall-clock seconds, port, rate in force, event, detail.
  void write(int port, int baud, const char *event, const std::string &detail);
  bool isOpen() const { return file_ != NULL; }

 private:
  FILE *file_ = NULL;
};

class SimPort final : public PortLink {
 public:
  SimPort(int number, bool pace, WireLog *log) : number_(number), pace_(pace), log_(log) {}
  // The pseudo-terminal and its link DIR/COMn.
  bool create(const std::string &comDir);
  // The device the port hands its input to; null: what arrives is dropped.
  void plug(PortDevice *device) { device_ = device; }
  // Another device while the simulator runs: what the old one still had to
  // send and what it had not yet been handed are dropped with it, as a cable
  // pulled out takes them. EVENT and DETAIL go to the wire log.
  void replug(PortDevice *device, const char *event, const std::string &detail);

  bool alive() const { return alive_; }
  const std::string &slaveName() const { return slaveName_; }
  // The rate the slave runs at (what the updater set), 0 when unknown.
  int baud() const;
  // What to poll the master for; no descriptor once the port is gone.
  struct pollfd pollRequest() const;
  // Delivers what is due, runs the device's timers and writes what is queued.
  void serviceTimers(double now, double *nextDeadline);
  // Reads and writes after poll() reported `revents` on the master.
  void serviceEvents(short revents);

  // PortLink
  int number() const override { return number_; }
  void send(const std::string &bytes, int rate, double notBefore, double gapAfterPrevious) override;
  size_t queuedSends() const override { return out_.size(); }
  bool inputPending() const override { return !in_.empty(); }
  double lineLead() const override;
  void log(const char *event, const std::string &detail) const override;
  void hangUp() override;

 private:
  // One piece of output, as the device sent it.
  struct OutPiece {
    std::string bytes;
    double notBefore = 0;  // monotonic time before which it must not start
    double gapAfterPrevious = 0;
    int rate = 0;          // the rate the device sends at; 0: no rate check;
                           // GARBAGE_RATE: garbage already
    bool started = false;
  };
  // Bytes received, waiting for the moment they would have arrived on a real line.
  struct InChunk {
    std::string bytes;
    double due = 0;
    int baud = 0;
  };

  void deliver(const std::string &bytes, int baud);
  void gateInput(double now);
  void releaseFlow(void);
  double pieceStartAt(void) const;
  void serviceRead(void);
  void serviceWrite(void);

  int number_;
  bool pace_;               // hold both directions to the line rate
  WireLog *log_;
  PortDevice *device_ = nullptr;
  int master_ = -1;
  int slave_ = -1;          // our own slave descriptor, kept open for the whole run
  std::string slaveName_;
  std::string linkPath_;
  bool alive_ = false;
  std::deque<OutPiece> out_;
  size_t outPos_ = 0;       // bytes of out_.front() already written
  double outFreeAt_ = 0;    // line-rate pacing of output
  double previousDoneAt_ = 0;
  bool writeBlocked_ = false;  // the last write found the pty full: wait for POLLOUT
  std::deque<InChunk> in_;
  double inFreeAt_ = 0;     // line-rate pacing of input: end of the line time
  double lastReadAt_ = 0;   // when the last bytes were taken from the pty
  bool outputStopped_ = false;  // the slave's output held with tcflow(TCOOFF)
};

#endif  // SIMPORTS_H
