#include "PtyFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

#include <chrono>
#include <thread>

#include "platform/posix/ComPortNames.h"

void PtyTest::SetUp() {
  savedHandle = g_hCOM;
  savedDcb = g_dcb;
  savedCto = g_cto;
  const char *env = getenv(COM_DIR_ENV);
  hadEnv = env != nullptr;
  if (hadEnv) savedEnv = env;
  char pattern[] = "/tmp/serial_tests.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  comDir = pattern;
  setenv(COM_DIR_ENV, comDir.c_str(), 1);
}

void PtyTest::TearDown() {
  CloseHandle(g_hCOM);  // fails harmlessly when nothing is open
  g_hCOM = savedHandle;
  g_dcb = savedDcb;
  g_cto = savedCto;
  for (PtyPort &port : ports) {
    if (port.master >= 0) close(port.master);
    if (port.slave >= 0) close(port.slave);
  }
  for (int n = 1; n <= 64; n++) unlink((comDir + "/COM" + std::to_string(n)).c_str());
  rmdir(comDir.c_str());
  if (hadEnv)
    setenv(COM_DIR_ENV, savedEnv.c_str(), 1);
  else
    unsetenv(COM_DIR_ENV);
}

PtyPort &PtyTest::addPort(int number) {
  PtyPort port;
  char name[256];
  EXPECT_EQ(openpty(&port.master, &port.slave, name, nullptr, nullptr), 0);
  port.slaveName = name;
  std::string link = comDir + "/COM" + std::to_string(number);
  EXPECT_EQ(symlink(name, link.c_str()), 0);
  ports.push_back(port);
  return ports.back();
}

void PtyTest::hangUp(PtyPort &port) {
  close(port.master);
  port.master = -1;
}

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string readBytes(int fd, size_t count, int timeoutMs) {
  std::string got;
  long long end = nowMs() + timeoutMs;
  while (got.size() < count) {
    long long left = end - nowMs();
    if (left <= 0) break;
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, (int)left) <= 0) continue;
    char buffer[65536];
    size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
    ssize_t n = read(fd, buffer, want);
    if (n <= 0) break;
    got.append(buffer, (size_t)n);
  }
  return got;
}

std::string readUntilSilent(int fd, int silenceMs) {
  std::string got;
  for (;;) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, silenceMs) <= 0) break;
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, (size_t)n);
  }
  return got;
}

void writeAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += (size_t)n;
  }
}

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  file = tmpfile();
  savedFd = dup(STDOUT_FILENO);
  dup2(fileno(file), STDOUT_FILENO);
}

std::string StdoutCapture::finish() {
  if (savedFd < 0) return "";
  fflush(stdout);
  dup2(savedFd, STDOUT_FILENO);
  close(savedFd);
  savedFd = -1;
  std::string text;
  rewind(file);
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  fclose(file);
  file = nullptr;
  return text;
}

StdoutCapture::~StdoutCapture() { finish(); }
