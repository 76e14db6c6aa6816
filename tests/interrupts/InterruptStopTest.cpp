// An interrupt's stop in a child process, seen from the pty's master in
// packet mode, which reports each flush of the port's output as it happens.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "PtyFixture.h"
#include "interrupts/Interrupts.h"
#include "serial/SerialCalls.h"
#include "serial/SerialTrace.h"

// The port is purged, then closed, and the trace ends with both records, in
// the local time of the records before them (a zone of 3:30 west here).
TEST_F(PtyTest, InterruptStopPurgesClosesAndTraces) {
  PtyPort &unit = addPort(1);
  int on = 1, opened[2], go[2];
  ASSERT_EQ(ioctl(unit.master, TIOCPKT, &on), 0);
  ASSERT_TRUE(pipe(opened) == 0 && pipe(go) == 0);
  const std::string trace = comDir + "/trace.log";
  const pid_t child = fork();
  if (child == 0) {
    setenv("TZ", "XYZ+3:30", 1);
    dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
    serialTrace_start("stop-test", "1", trace.c_str());
    interruptHandling_install();
    char byte = ComPortAPI_OpenCOM(1) ? 'o' : 'x';
    // The open's own purge is read off the master before the stop's.
    if (write(opened[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(2);
    DWORD done = 0;
    serialCalls_WriteFile(g_hCOM, "image data", 10, &done);
    raise(SIGTERM);
    _exit(3);
  }
  char byte = 0, packet[4096];
  ASSERT_EQ(read(opened[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'o');  // opened
  while (readFor(unit.master, sizeof packet, 100).size() > 0) {
  }
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int status = 0, flushes = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  for (struct pollfd pfd = {unit.master, POLLIN, 0}; poll(&pfd, 1, 200) > 0;) {
    const ssize_t n = read(unit.master, packet, sizeof packet);
    if (n <= 0) break;
    if (n == 1 && (packet[0] & TIOCPKT_FLUSHWRITE)) flushes++;
  }
  EXPECT_EQ(flushes, 1);
  std::ifstream file(trace);
  std::string line, first, close, last;
  while (std::getline(file, line)) {
    first = first.empty() ? line : first;
    close = line.find(" close COM1 ok") != std::string::npos ? line : close;
    last = line;
  }
  unlink(trace.c_str());
  EXPECT_NE(close, "");
  EXPECT_NE(last.find(" exit status 130"), std::string::npos) << last;
  struct tm started = {}, ended = {};
  ASSERT_TRUE(strptime(first.c_str(), "%Y-%m-%d %H:%M:%S", &started) &&
              strptime(last.c_str(), "%Y-%m-%d %H:%M:%S", &ended));
  EXPECT_NEAR(difftime(timegm(&ended), timegm(&started)), 0, 60) << first << "\n" << last;
}
