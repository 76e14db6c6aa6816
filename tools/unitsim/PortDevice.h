// The meeting point of a simulated port and what is plugged into it. The port
// (SimPorts.cpp) hands what it receives to its PortDevice; the device (the
// unit's console, a silent port's listener, a talker) answers through the
// PortLink it is given. Neither side knows the other's type, so the device on
// a port can change while the simulator runs.
#ifndef PORTDEVICE_H
#define PORTDEVICE_H

#include <stddef.h>

#include <string>

// The rate of bytes that are garbage already: sent as they are, logged as garbage.
#define GARBAGE_RATE (-1)

// A port as the device plugged into it sees it.
class PortLink {
 public:
  virtual int number() const = 0;
  // Queues bytes the device sends at `rate` (0: no rate check). They start no
  // earlier than `notBefore` (monotonic) nor than `gapAfterPrevious` seconds
  // after the previous bytes' end, when that gap is not 0.
  virtual void send(const std::string &bytes, int rate, double notBefore,
                    double gapAfterPrevious) = 0;
  // Sends queued and not yet written out in full.
  virtual size_t queuedSends() const = 0;
  // Bytes received that the device has not been handed yet (waiting for their line time).
  virtual bool inputPending() const = 0;
  // How much line time the last bytes received still had when the port took them.
  virtual double lineLead() const = 0;
  virtual void log(const char *event, const std::string &detail) const = 0;
  // Closes the port as an unplugged adapter would; the link goes away.
  virtual void hangUp() = 0;

 protected:
  ~PortLink() = default;
};

// What is plugged into a port. Called only while the port is alive.
class PortDevice {
 public:
  virtual ~PortDevice() = default;
  // Bytes that reached the device at line rate `baud` (0 when unknown).
  virtual void receive(PortLink &link, const std::string &bytes, int baud) = 0;
  // Does what is due at `now`; lowers *nextDeadline to the device's next moment.
  virtual void timers(PortLink &link, double now, double *nextDeadline) = 0;
};

double nowMono(void);
// A few random bytes, as a UART shows text sent at another rate.
std::string garbageBytes(void);
// The bytes as log text: C escapes, at most maxLength bytes then "...".
std::string escapeBytes(const std::string &bytes, size_t maxLength);

#endif  // PORTDEVICE_H
