#include "PtyFixture.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

#include <chrono>
#include <thread>

#include "updater/TessaranFwUpgrade.h"

void PtyTest::SetUp() {
  savedDcb = g_dcb;
  savedCto = g_cto;
  char pattern[] = "/tmp/serial_tests.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  comDir = pattern;
  setenv("FWUPGRADE_COM_DIR", pattern, 1);
  setenv("FWUPGRADE_LOCK_DIRS", "", 1);  // no UUCP lock files outside the test's own folders
}

void PtyTest::TearDown() {
  CloseHandle(g_hCOM);  // fails harmlessly when nothing is open
  g_hCOM = NULL;
  g_dcb = savedDcb;
  g_cto = savedCto;
  for (size_t i = 0; i < ports.size(); i++) {
    if (ports[i].master >= 0) close(ports[i].master);
    close(ports[i].slave);
  }
  for (int n = 1; n <= 32; n++) unlink((comDir + "/COM" + std::to_string(n)).c_str());
  rmdir(comDir.c_str());
  unsetenv("FWUPGRADE_COM_DIR");
  unsetenv("FWUPGRADE_LOCK_DIRS");
}

PtyPort &PtyTest::addPort(int number) {
  PtyPort port;
  char name[256];
  EXPECT_EQ(openpty(&port.master, &port.slave, name, nullptr, nullptr), 0);
  port.slaveName = name;
  EXPECT_EQ(symlink(name, (comDir + "/COM" + std::to_string(number)).c_str()), 0);
  ports.push_back(port);
  return ports.back();
}

long long nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string readFor(int fd, size_t count, int silenceMs) {
  std::string got;
  char buffer[65536];
  while (got.size() < count) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, silenceMs) <= 0) break;
    size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
    ssize_t n = read(fd, buffer, want);
    if (n <= 0) break;
    got.append(buffer, (size_t)n);
  }
  return got;
}

void writeAll(int fd, const std::string &bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += (size_t)n;
  }
}

void OpenUnitTest::SetUp() {
  PtyTest::SetUp();
  gDataBuffer = (char *)calloc(DATA_BUFFER_SIZE, 1);
  unit = &addPort(1);
  if (readTimeoutMs() > 0) ComPortAPI_SetReadingTimeoutInMs(readTimeoutMs());
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
}

void OpenUnitTest::TearDown() {
  if (peer.joinable()) peer.join();
  PtyTest::TearDown();
  free(gDataBuffer);
  gDataBuffer = NULL;
}
