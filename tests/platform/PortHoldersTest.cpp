// Ports that other programs hold: they are refused before a byte is sent or a
// setting changed, and a port we used gets its settings back at the close.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "PtyFixture.h"
#include "platform/posix/PortHolders.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

// Another process that keeps the given descriptors open (and nothing else)
// until it is killed.
struct OtherProcess {
  pid_t pid = -1;
  explicit OtherProcess(std::vector<int> keep) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid = fork();
    if (pid == 0) {
      keep.push_back(ready[1]);
      for (int fd = 3; fd < 1024; fd++) {
        bool kept = false;
        for (int k : keep) kept = kept || k == fd;
        if (!kept) close(fd);
      }
      if (write(ready[1], "r", 1) != 1) _exit(1);
      close(ready[1]);
      for (;;) pause();
    }
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);  // its descriptors are settled
    close(ready[0]);
  }
  ~OtherProcess() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

// A PID that no process has any more.
long deadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A line as a terminal program leaves it: canonical, echo, 9600.
void setTerminalLike(int fd) {
  struct termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  tio.c_lflag |= ICANON | ECHO | ISIG;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
}

std::string settings(int fd) {
  struct termios tio;
  EXPECT_EQ(tcgetattr(fd, &tio), 0);
  char text[160];
  snprintf(text, sizeof text, "iflag %o oflag %o cflag %o lflag %o speed %u/%u vmin %u", (unsigned)tio.c_iflag,
           (unsigned)tio.c_oflag, (unsigned)tio.c_cflag, (unsigned)tio.c_lflag, (unsigned)cfgetispeed(&tio),
           (unsigned)cfgetospeed(&tio), (unsigned)tio.c_cc[VMIN]);
  return text;
}

const int kRates[] = {115200, 9600, 57600, 4800, 2400, 1200};

// What detection does at one port: the existence probe, then an open and a
// probe at every rate. Returns how many opens succeeded.
int detectionLikeRun(int number) {
  std::string name = "\\\\.\\COM" + std::to_string(number);
  int opened = 0;
  HANDLE probe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 4, NULL);
  if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
  for (int rate : kRates) {
    ComPortAPI_SetBaudRate(rate);
    CaptureStdout();
    BOOL ok = ComPortAPI_OpenCOM(number);
    std::string printed = GetCapturedStdout();
    if (!ok) {
      EXPECT_EQ(printed, "ERROR: Opening COM" + std::to_string(number) + " failed !");
      continue;
    }
    opened++;
    int written = 0;
    ComPortAPI_WriteCOM((void *)"%%help -c version\n\r", 19, &written);
    ComPortAPI_CloseCOM();
  }
  return opened;
}

class PortHolders : public PtyTest {
 protected:
  void SetUp() override {
    PtyTest::SetUp();
    lockDir = comDir + "/locks";
    ASSERT_EQ(mkdir(lockDir.c_str(), 0755), 0);
    setenv(LOCK_DIRS_ENV, (comDir + "/no-such-folder:" + lockDir).c_str(), 1);
  }
  void TearDown() override {
    for (const std::string &name : lockNames) unlink((lockDir + "/" + name).c_str());
    rmdir(lockDir.c_str());
    unsetenv(LOCK_DIRS_ENV);
    PtyTest::TearDown();
  }
  std::string lockDir;
  std::vector<std::string> lockNames;
};

// Another program with the line open and no lock of any kind: no byte reaches
// it and its settings stay; the other end of our own pty is no such program,
// and a line we used is left as we found it.
TEST_F(PortHolders, OpenDescriptorsOfOtherProcesses) {
  enum Keeps { SLAVE, MASTER_AND_SLAVE, SLAVE_AND_OTHER_MASTER, MASTER_ONLY };
  struct Case {
    const char *what;
    Keeps keeps;
    bool held;
  } cases[] = {
      {"a terminal program on the line", SLAVE, true},
      {"the other end of the line, also on the slave", MASTER_AND_SLAVE, false},
      {"the other end of another line", SLAVE_AND_OTHER_MASTER, true},
      {"the other end only", MASTER_ONLY, false},
  };
  PtyPort &line = addPort(1);
  PtyPort &other = addPort(2);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    setTerminalLike(line.slave);
    std::string before = settings(line.slave);
    std::vector<int> keep;
    if (c.keeps != MASTER_ONLY) keep.push_back(line.slave);
    if (c.keeps == MASTER_AND_SLAVE || c.keeps == MASTER_ONLY) keep.push_back(line.master);
    if (c.keeps == SLAVE_AND_OTHER_MASTER) keep.push_back(other.master);
    OtherProcess holder(keep);

    PortHolder found = {0, "", 0};
    EXPECT_EQ(portHolders_find((comDir + "/COM1").c_str(), &found), c.held ? 1 : 0);
    int opened = detectionLikeRun(1);
    std::string heard = readFor(line.master, 1000, 100);
    if (c.held) {
      EXPECT_EQ(found.pid, (long)holder.pid);
      EXPECT_STREQ(found.name, "platform_tests");
      EXPECT_EQ(found.how, PORT_HELD_OPEN);
      EXPECT_EQ(opened, 0);
      EXPECT_EQ(heard, "");
      errno = 0;
      EXPECT_EQ(CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 4, NULL),
                INVALID_HANDLE_VALUE);
      EXPECT_EQ(errno, EBUSY);
    } else {
      EXPECT_EQ(opened, 6);
      // Every open purges the line, which on a pty also drops what the master
      // has not read yet: nobody reads here during the run, so an earlier
      // probe may be gone. Whole probes arrive, and at least the last one.
      EXPECT_GE(heard.size(), 19u);
      EXPECT_EQ(heard.size() % 19, 0u);
    }
    EXPECT_EQ(settings(line.slave), before);
  }
}

// UUCP lock files: one of a live process makes the port busy, whatever its
// form; a stale one, an unreadable one or our own does not. A port we open
// gets our lock, which goes at the close; a stale lock of that name is
// replaced by ours (left in place, it would make the port look held once its
// PID is reused).
TEST_F(PortHolders, LockFiles) {
  PtyPort &line = addPort(1);
  std::string index = line.slaveName.substr(line.slaveName.rfind('/') + 1);
  const std::string nested = "LCK..pts_" + index, plain = "LCK.." + index;
  lockNames = {nested, plain};
  char live[16], dead[16], own[16];
  snprintf(live, sizeof live, "%10ld\n", (long)getppid());
  snprintf(dead, sizeof dead, "%10ld\n", deadPid());
  snprintf(own, sizeof own, "%10ld\n", (long)getpid());
  int binaryLive = (int)getppid(), binaryDead = (int)deadPid();
  struct Case {
    const char *what;
    const std::string &name;
    std::string content;  // empty: no lock file at all
    bool held;
    bool ours;  // our lock is in place while the port is open
  } cases[] = {
      {"live, ASCII", nested, live, true, false},
      {"live, plain device name", plain, live, true, false},
      {"live, binary", nested, std::string((const char *)&binaryLive, sizeof binaryLive), true, false},
      {"stale", nested, dead, false, true},
      {"stale, binary", nested, std::string((const char *)&binaryDead, sizeof binaryDead), false, true},
      {"stale, plain device name", plain, dead, false, true},
      {"no PID in it", nested, "junk\n", false, false},
      {"our own", nested, own, false, false},
      {"none", nested, "", false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = lockDir + "/" + c.name;
    if (!c.content.empty()) {
      FILE *f = fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      fwrite(c.content.data(), 1, c.content.size(), f);
      fclose(f);
    }
    PortHolder found = {0, "", 0};
    EXPECT_EQ(portHolders_find(line.slaveName.c_str(), &found), c.held ? 1 : 0);
    if (c.held) {
      EXPECT_EQ(found.pid, (long)getppid());
      EXPECT_EQ(found.how, PORT_HELD_BY_LOCK_FILE);
    }
    CaptureStdout();
    BOOL opened = ComPortAPI_OpenCOM(1);
    GetCapturedStdout();
    EXPECT_EQ(opened, c.held ? 0 : 1);
    if (c.ours) {
      FILE *ours = fopen((lockDir + "/" + nested).c_str(), "rb");  // announced to others
      ASSERT_NE(ours, nullptr);
      char text[32] = "";
      EXPECT_EQ(fread(text, 1, sizeof text - 1, ours), 11u);
      fclose(ours);
      EXPECT_STREQ(text, own);
    }
    ComPortAPI_CloseCOM();
    bool there = access(path.c_str(), F_OK) == 0;
    // Ours is gone (with the stale lock it replaced), nobody else's is touched.
    EXPECT_EQ(there, !c.content.empty() && !(c.ours && &c.name == &nested));
    unlink(path.c_str());
  }
}

// The kernel's serial console is never probed. Runs where the machine has one
// (a serial console, as virtual machines and CI runners often do).
TEST(PortHoldersConsole, TheSystemConsoleIsHeld) {
  FILE *active = fopen("/sys/class/tty/console/active", "r");
  char names[256] = "";
  if (active != NULL) {
    if (fgets(names, sizeof names, active) == NULL) names[0] = '\0';
    fclose(active);
  }
  std::string device;
  for (char *save = NULL, *name = strtok_r(names, " \n", &save); name != NULL;
       name = strtok_r(NULL, " \n", &save)) {
    struct stat st;
    std::string path = std::string("/dev/") + name;
    if (strncmp(name, "ttyS", 4) == 0 && stat(path.c_str(), &st) == 0) device = path;
  }
  if (device.empty()) GTEST_SKIP() << "this machine has no serial console";
  PortHolder found = {-1, "", 0};
  EXPECT_EQ(portHolders_find(device.c_str(), &found), 1) << device;
  EXPECT_EQ(found.how, PORT_HELD_AS_CONSOLE);
  EXPECT_EQ(found.pid, 0);
}

}  // namespace
