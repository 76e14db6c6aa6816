// Pseudo-terminal ports for the serial tests: each pty's slave is COMn of a
// temporary FWUPGRADE_COM_DIR folder, and the test plays the unit on the master.
#ifndef PTYFIXTURE_H
#define PTYFIXTURE_H

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <thread>

#include "serial/ComPortAPI.h"

struct PtyPort {
  int master = -1;
  int slave = -1;  // held open, so the master sees no hang-up between our opens
  std::string slaveName;
};

// A fresh COM folder for each test; the driver's state is restored afterwards.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  PtyPort &addPort(int number);  // a pty reached as COM<number>

  std::deque<PtyPort> ports;
  std::string comDir;
  DCB savedDcb;
  COMMTIMEOUTS savedCto;
};

// A unit on COM1, opened with the working buffer allocated; `peer`, the test's
// unit thread, is joined before the port is closed.
class OpenUnitTest : public PtyTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual int readTimeoutMs() const { return 0; }  // 0: the driver's default
  PtyPort *unit = nullptr;
  std::thread peer;
};

// Bytes from fd until `count` have come or the line stayed silent `silenceMs`.
std::string readFor(int fd, size_t count, int silenceMs);
void writeAll(int fd, const std::string &bytes);
void sleepMs(int ms);
long long nowMs();

#endif  // PTYFIXTURE_H
