// The POSIX side of the Windows serial and console calls, and the driver on
// top of it, over pseudo-terminals with the test on the master side.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

#include <string>
#include <thread>

#include "PtyFixture.h"
#include "../TestTiming.h"
#include "platform/posix/ComPortNames.h"
#include "serial/SerialCalls.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

HANDLE openCom(const char *name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 4, NULL);
}

struct ReadResult {
  BOOL ok;
  std::string bytes;
  long long ms;
};

ReadResult readOnce(HANDLE h, DWORD size, DWORD interval, DWORD total) {
  COMMTIMEOUTS t = {interval, 0, total, 0, 0};
  EXPECT_TRUE(SetCommTimeouts(h, &t));
  std::string buffer(size, '\0');
  DWORD count = 12345;
  long long start = nowMs();
  BOOL ok = ReadFile(h, &buffer[0], size, &count, NULL);
  buffer.resize(count <= size ? count : 0);
  return {ok, buffer, nowMs() - start};
}

using PlatformSerial = PtyTest;

TEST_F(PlatformSerial, ReadTimeouts) {
  PtyPort &unit = addPort(1);
  HANDLE h = openCom("\\\\.\\COM1");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  ReadResult silent = readOnce(h, 100, 200, 200);  // nothing: 0 bytes after the total
  EXPECT_TRUE(silent.ok);
  EXPECT_EQ(silent.bytes, "");
  EXPECT_GE(silent.ms, 180);
  EXPECT_LT(silent.ms, slackMs(2000));

  std::thread peer([&] {  // pauses shorter than the interval: one read
    for (const char *piece : {"ab", "cd", "ef"}) {
      sleepMs(80);
      writeAll(unit.master, piece);
    }
  });
  ReadResult joined = readOnce(h, 100, 1000, 10000);
  peer.join();
  EXPECT_EQ(joined.bytes, "abcdef");
  EXPECT_LT(joined.ms, 1300 + slackMs(2200));  // ended by the interval, not the total

  peer = std::thread([&] {  // a longer pause splits; the rest waits for the next read
    writeAll(unit.master, "Rea");
    sleepMs(600);
    writeAll(unit.master, "dy");
  });
  EXPECT_EQ(readOnce(h, 100, 150, 5000).bytes, "Rea");
  EXPECT_EQ(readOnce(h, 100, 150, 5000).bytes, "dy");
  peer.join();

  ReadResult immediate = readOnce(h, 10, MAXDWORD, 0);  // what is there, at once
  EXPECT_TRUE(immediate.ok);
  EXPECT_LT(immediate.ms, slackMs(1000));
  writeAll(unit.master, "123456");  // a full buffer returns at once
  sleepMs(50);
  ReadResult full = readOnce(h, 4, 5000, 10000);
  EXPECT_EQ(full.bytes, "1234");
  EXPECT_LT(full.ms, slackMs(900));  // not held for the 5000 ms interval
  EXPECT_EQ(readOnce(h, 4, MAXDWORD, 0).bytes, "56");

  // A write bigger than every queue blocks until the peer has taken it all.
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 7 + i / 251);
  std::string seen;
  peer = std::thread([&] { seen = readFor(unit.master, data.size(), 2000); });
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, data.data(), (DWORD)data.size(), &written, NULL));
  peer.join();
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(seen == data);
  EXPECT_TRUE(CloseHandle(h));
}

// An unplugged adapter: the read in progress ends with what it has, the next
// read fails at once with a count of 0, and writes fail; nothing waits or spins.
TEST_F(PlatformSerial, HangUpEndsReadsAndWrites) {
  PtyPort &unit = addPort(1);
  HANDLE h = openCom("COM1");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::thread peer([&] {
    writeAll(unit.master, "partial");
    sleepMs(100);
    close(unit.master);
    unit.master = -1;
  });
  ReadResult first = readOnce(h, 100, 10000, 20000);
  peer.join();
  EXPECT_LT(first.ms, slackMs(2000));
  EXPECT_EQ(std::string("partial").compare(0, first.bytes.size(), first.bytes), 0);
  ReadResult second = readOnce(h, 100, 3000, 6000);
  EXPECT_FALSE(second.ok);
  EXPECT_EQ(second.bytes, "");
  EXPECT_LT(second.ms, slackMs(500));
  DWORD written = 77;
  EXPECT_FALSE(WriteFile(h, "x", 1, &written, NULL));
  EXPECT_EQ(written, 0u);
}

// Exclusive until closed, for us and for another program; a closed handle
// fails every call, also once its slot serves a new port.
TEST_F(PlatformSerial, ExclusiveOpenAndStaleHandles) {
  PtyPort &port = addPort(3);
  addPort(4);
  HANDLE first = openCom("\\\\.\\COM3");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(openCom("com3"), INVALID_HANDLE_VALUE);
  int other = open(port.slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);

  HANDLE live = openCom("COM4");
  ASSERT_NE(live, INVALID_HANDLE_VALUE);
  EXPECT_NE(live, first);
  char buffer[4];
  for (HANDLE h : {first, (HANDLE)NULL, INVALID_HANDLE_VALUE, (HANDLE)(intptr_t)0x7f}) {
    DWORD count = 5;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &count, NULL));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(SetCommState(h, &g_dcb));
    EXPECT_FALSE(CloseHandle(h));
  }
  EXPECT_TRUE(CloseHandle(live));
}

// The serial layer's table over the local ports: a late call on a closed
// port fails and is refused again once its slot serves another port.
TEST_F(PlatformSerial, SerialCallsLateCallsAndSlotReuse) {
  addPort(3);
  addPort(4);
  HANDLE first = serialCalls_CreateFile(3, "\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(serialCalls_CloseHandle(first));
  EXPECT_FALSE(serialCalls_SetupComm(first, 64, 64));
  HANDLE second = serialCalls_CreateFile(4, "\\\\.\\COM4", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);
  EXPECT_FALSE(serialCalls_SetupComm(first, 64, 64));
  EXPECT_FALSE(serialCalls_CloseHandle(first));
  EXPECT_TRUE(serialCalls_SetupComm(second, 64, 64));
  EXPECT_TRUE(serialCalls_CloseHandle(second));
}

TEST(ComPortNames, PortNumbersAndDevicePaths) {
  struct Case {
    const char *name;
    int number;
  } names[] = {{"\\\\.\\COM5", 5}, {"COM12", 12}, {"com3", 3}, {"COM0", 0},          {"COM", 0},
               {"COM1x", 0},      {"COM-1", 0},  {"LPT1", 0}, {"COM1234567890", 0}, {"\\\\?\\COM1", 0}};
  for (const Case &c : names) EXPECT_EQ(comPortNames_portNumber(c.name), c.number) << c.name;

  char path[64];
  setenv(COM_DIR_ENV, "/tmp/ports", 1);
  EXPECT_EQ(comPortNames_resolve("\\\\.\\COM40", path, sizeof path), 1);
  EXPECT_STREQ(path, "/tmp/ports/COM40");
  EXPECT_EQ(comPortNames_resolve("COM40", path, 10), 0);  // does not fit
  unsetenv(COM_DIR_ENV);
}

// ---- The driver ------------------------------------------------------------------

using SerialDriver = PtyTest;

TEST_F(SerialDriver, OpenFailuresPrintTheirMessage) {
  addPort(1);
  CaptureStdout();
  EXPECT_EQ(ComPortAPI_OpenCOM(7), 0);  // missing
  EXPECT_EQ(GetCapturedStdout(), "ERROR: Opening COM7 failed !");
  EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);

  HANDLE holder = openCom("COM1");
  CaptureStdout();
  EXPECT_EQ(ComPortAPI_OpenCOM(1), 0);  // held
  EXPECT_EQ(GetCapturedStdout(), "ERROR: Opening COM1 failed !");
  CloseHandle(holder);

  g_dcb.BaudRate = 14400;  // a rate the line cannot take: closed again
  CaptureStdout();
  EXPECT_EQ(ComPortAPI_OpenCOM(1), 0);
  EXPECT_EQ(GetCapturedStdout(), "ERROR: COM1 configuration failed !");
  HANDLE probe = openCom("COM1");
  EXPECT_NE(probe, INVALID_HANDLE_VALUE);
  CloseHandle(probe);
}

// What was set with no port open applies at the open, later changes at once;
// after the close the setters change only the records again.
TEST_F(SerialDriver, LineSettingsFollowTheRecords) {
  PtyPort &port = addPort(1);
  EXPECT_EQ(ComPortAPI_SetBaudRate(57600), 0);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  struct termios tio;
  ASSERT_EQ(tcgetattr(port.master, &tio), 0);  // the master sees the slave's settings
  EXPECT_EQ(cfgetispeed(&tio), (speed_t)B57600);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL), (tcflag_t)(CS8 | CLOCAL));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

  struct Step {
    int baud;
    BOOL cts, result;
    speed_t speed;
  } steps[] = {{57600, TRUE, 1, B57600},   {115200, FALSE, 1, B115200}, {1200, TRUE, 1, B1200},
               {4800, FALSE, 1, B4800}, {14400, FALSE, 0, B4800}};
  for (const Step &s : steps) {
    EXPECT_EQ(ComPortAPI_SetBaudRate(s.baud), s.result) << s.baud;
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(s.cts), 1);
    ASSERT_EQ(tcgetattr(port.master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), s.speed) << s.baud;
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, s.cts != 0) << s.baud;
  }
  EXPECT_EQ(g_dcb.BaudRate, 14400u);

  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
  EXPECT_EQ(ComPortAPI_SetBaudRate(9600), 0);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(TRUE), 0);
  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
}

// The key wait: redirected input comes through the stream scanf reads and the
// end returns at once; on a terminal one key is enough, without echo, and the
// terminal's settings come back.
TEST(ConsoleKeyWait, RedirectedInputAndTerminal) {
  int savedStdin = dup(STDIN_FILENO);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  writeAll(pipeFds[1], "7\nq");
  close(pipeFds[1]);
  dup2(pipeFds[0], STDIN_FILENO);
  close(pipeFds[0]);
  clearerr(stdin);
  int number = 0;
  EXPECT_EQ(scanf("%d", &number), 1);
  EXPECT_EQ(_getch(), '\n');
  EXPECT_EQ(_getch(), 'q');
  EXPECT_EQ(_getch(), -1);

  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  struct termios before, after;
  tcgetattr(slave, &before);
  dup2(slave, STDIN_FILENO);
  std::thread typist([&] {
    sleepMs(100);
    writeAll(master, "k");  // no line end
  });
  EXPECT_EQ(_getch(), 'k');
  typist.join();
  EXPECT_EQ(readFor(master, 1, 50), "");  // not echoed
  tcgetattr(slave, &after);
  EXPECT_EQ(after.c_lflag, before.c_lflag);

  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  clearerr(stdin);
  close(slave);
  close(master);
}

}  // namespace
