// Pseudo-terminal ports for the serial tests: each port is a pty whose slave is
// reached as COMn through a temporary FWUPGRADE_COM_DIR folder, with the test
// playing the unit on the master side.
#ifndef PTYFIXTURE_H
#define PTYFIXTURE_H

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "ComPortAPI.h"

struct PtyPort {
  int master = -1;
  int slave = -1;  // held open so the master never sees a hang-up between opens
  std::string slaveName;
};

// Gives each test a fresh COM folder and restores the driver's records after it.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Creates a pty and the entry COM<number> for it.
  PtyPort &addPort(int number);
  // Closes the master: the unit's cable is pulled.
  void hangUp(PtyPort &port);

  std::string comDir;
  std::deque<PtyPort> ports;

 private:
  HANDLE savedHandle = NULL;
  DCB savedDcb;
  COMMTIMEOUTS savedCto;
  std::string savedEnv;
  bool hadEnv = false;
};

// Bytes from fd until `count` arrived or `timeoutMs` passed without completing.
std::string readBytes(int fd, size_t count, int timeoutMs);
// Everything that arrives on fd until it stays silent for `silenceMs`.
std::string readUntilSilent(int fd, int silenceMs);
void writeAll(int fd, const std::string &bytes);
void sleepMs(int ms);
long long nowMs();

// Sends standard output (the descriptor, so printf and raw writes both) to a
// temporary file until finish() hands back what was printed.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  std::string finish();

 private:
  int savedFd = -1;
  FILE *file = nullptr;
};

#endif  // PTYFIXTURE_H
