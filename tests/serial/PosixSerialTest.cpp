// The POSIX side of the Windows serial calls, and the driver on top of it,
// over pseudo-terminals with the test on the master side.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
#include "platform/posix/ComPortNames.h"

namespace {

HANDLE openCom(const char *name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                     FILE_ATTRIBUTE_SYSTEM, NULL);
}

void setTimeouts(HANDLE h, DWORD interval, DWORD total) {
  COMMTIMEOUTS t = {interval, 0, total, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
}

// One ReadFile; the bytes, the result and how long it took.
struct ReadResult {
  BOOL ok;
  std::string bytes;
  long long ms;
};

ReadResult readOnce(HANDLE h, DWORD size) {
  std::string buffer(size, '\0');
  DWORD count = 12345;
  long long start = nowMs();
  BOOL ok = ReadFile(h, &buffer[0], size, &count, NULL);
  long long ms = nowMs() - start;
  buffer.resize(count <= size ? count : 0);
  return {ok, buffer, ms};
}

using PlatformSerial = PtyTest;

TEST_F(PlatformSerial, ReadTimeouts) {
  PtyPort &port = addPort(1);
  HANDLE h = openCom("\\\\.\\COM1");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  {  // Silence: success with 0 bytes once the total time has passed.
    setTimeouts(h, 200, 200);
    ReadResult r = readOnce(h, 100);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "");
    EXPECT_GE(r.ms, 180);
    EXPECT_LT(r.ms, 2000);
  }
  {  // Pauses shorter than the interval: one read; the interval then ends it
     // long before the total time.
    setTimeouts(h, 300, 5000);
    std::thread peer([&] {
      sleepMs(50);
      writeAll(port.master, "ab");
      sleepMs(80);
      writeAll(port.master, "cd");
      sleepMs(80);
      writeAll(port.master, "ef");
    });
    ReadResult r = readOnce(h, 100);
    peer.join();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "abcdef");
    EXPECT_GE(r.ms, 450);
    EXPECT_LT(r.ms, 3500);
  }
  {  // A pause longer than the interval splits the data; the rest waits for the
     // next read.
    setTimeouts(h, 150, 5000);
    std::thread peer([&] {
      writeAll(port.master, "Rea");
      sleepMs(600);
      writeAll(port.master, "dy");
    });
    ReadResult first = readOnce(h, 100);
    ReadResult second = readOnce(h, 100);
    peer.join();
    EXPECT_EQ(first.bytes, "Rea");
    EXPECT_TRUE(second.ok);
    EXPECT_EQ(second.bytes, "dy");
  }
  {  // Interval MAXDWORD without totals: what is there, at once.
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ReadResult empty = readOnce(h, 10);
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.bytes, "");
    EXPECT_LT(empty.ms, 100);
    writeAll(port.master, "xy");
    sleepMs(50);
    EXPECT_EQ(readOnce(h, 10).bytes, "xy");
  }
  {  // A full buffer returns at once; what does not fit stays queued.
    setTimeouts(h, 1000, 3000);
    writeAll(port.master, "123456");
    sleepMs(50);
    ReadResult first = readOnce(h, 4);
    EXPECT_EQ(first.bytes, "1234");
    EXPECT_LT(first.ms, 500);
    EXPECT_EQ(readOnce(h, 4).bytes, "56");
  }
  EXPECT_TRUE(CloseHandle(h));
}

// An unplugged adapter: the read in progress ends with the bytes it has, the
// next one fails at once with a count of 0, and writes fail; nothing spins.
TEST_F(PlatformSerial, HangUpEndsReadsAndWrites) {
  PtyPort &port = addPort(1);
  HANDLE h = openCom("COM1");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  setTimeouts(h, 3000, 6000);
  std::thread peer([&] {
    writeAll(port.master, "partial");
    sleepMs(100);
    hangUp(port);
  });
  ReadResult first = readOnce(h, 100);
  peer.join();
  EXPECT_LT(first.ms, 2000);
  EXPECT_EQ(std::string("partial").compare(0, first.bytes.size(), first.bytes), 0);

  ReadResult second = readOnce(h, 100);
  EXPECT_FALSE(second.ok);
  EXPECT_EQ(second.bytes, "");
  EXPECT_LT(second.ms, 500);

  DWORD written = 77;
  EXPECT_FALSE(WriteFile(h, "x", 1, &written, NULL));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(h));
}

// A write larger than every queue blocks until the peer has taken it all.
TEST_F(PlatformSerial, WriteTakesEveryByte) {
  PtyPort &port = addPort(1);
  HANDLE h = openCom("COM1");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 7 + i / 251);
  std::string seen;
  std::thread peer([&] {
    sleepMs(200);  // let the queues fill first
    seen = readBytes(port.master, data.size(), 10000);
  });
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, data.data(), (DWORD)data.size(), &written, NULL));
  peer.join();
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(seen == data);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PlatformSerial, OpenIsExclusiveUntilClosed) {
  PtyPort &port = addPort(3);
  HANDLE first = openCom("\\\\.\\COM3");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(openCom("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(openCom("COM3"), INVALID_HANDLE_VALUE);
  // Another program asking for the device the usual way is refused too.
  int other = open(port.slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);

  EXPECT_TRUE(CloseHandle(first));
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  flock(other, LOCK_UN);
  close(other);
  HANDLE again = openCom("\\\\.\\COM3");
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(again));
}

// Handles that name no open port fail every call, also after their slot has
// been reused by a later open.
TEST_F(PlatformSerial, StaleAndInvalidHandlesFailCleanly) {
  addPort(1);
  addPort(2);
  HANDLE stale = openCom("COM1");
  ASSERT_NE(stale, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(stale));
  HANDLE live = openCom("COM2");
  ASSERT_NE(live, INVALID_HANDLE_VALUE);
  EXPECT_NE(live, stale);

  COMMTIMEOUTS t = {10, 0, 10, 0, 0};
  DCB dcb = g_dcb;
  char buffer[4];
  for (HANDLE h : {stale, (HANDLE)NULL, INVALID_HANDLE_VALUE, (HANDLE)(intptr_t)0x7f}) {
    DWORD count = 5;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &count, NULL));
    EXPECT_EQ(count, 0u);
    count = 5;
    EXPECT_FALSE(WriteFile(h, "x", 1, &count, NULL));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(SetCommTimeouts(h, &t));
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_FALSE(SetupComm(h, 8, 8));
    EXPECT_FALSE(PurgeComm(h, 0x0F));
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
    EXPECT_FALSE(CloseHandle(h));
  }
  EXPECT_TRUE(SetCommTimeouts(live, &t));  // the live port is untouched
  EXPECT_TRUE(CloseHandle(live));
}

TEST(ComPortNames, PortNumbersAndDevicePaths) {
  struct Case {
    const char *name;
    int number;
  } names[] = {
      {"\\\\.\\COM5", 5}, {"COM12", 12},      {"com3", 3},      {"\\\\.\\COM999999999", 999999999},
      {"COM0", 0},        {"COM", 0},         {"COM1x", 0},     {"COM-1", 0},
      {"LPT1", 0},        {"COM1234567890", 0}, {"\\\\?\\COM1", 0}, {"", 0},
  };
  for (const Case &c : names) EXPECT_EQ(ComPortNames_portNumber(c.name), c.number) << c.name;
  EXPECT_EQ(ComPortNames_portNumber(NULL), 0);

  const char *saved = getenv(COM_DIR_ENV);
  std::string savedValue = saved ? saved : "";
  char path[64];

  setenv(COM_DIR_ENV, "/tmp/ports", 1);
  EXPECT_EQ(ComPortNames_resolve("\\\\.\\COM40", path, sizeof path), 1);
  EXPECT_STREQ(path, "/tmp/ports/COM40");
  EXPECT_EQ(ComPortNames_resolve("COM40", path, 10), 0);  // does not fit
  EXPECT_STREQ(path, "");
  EXPECT_EQ(ComPortNames_resolve("PRN", path, sizeof path), 0);

  unsetenv(COM_DIR_ENV);
#ifndef __APPLE__
  struct Mapping {
    const char *name;
    const char *path;
  } table[] = {
      {"COM1", "/dev/ttyS0"},    {"COM4", "/dev/ttyS3"},     {"COM5", "/dev/ttyUSB0"},
      {"COM20", "/dev/ttyUSB15"}, {"COM21", "/dev/ttyACM0"}, {"COM32", "/dev/ttyACM11"},
      {"COM33", ""},
  };
  for (const Mapping &m : table) {
    EXPECT_EQ(ComPortNames_resolve(m.name, path, sizeof path), m.path[0] != '\0') << m.name;
    EXPECT_STREQ(path, m.path);
  }
#endif
  if (saved) setenv(COM_DIR_ENV, savedValue.c_str(), 1);
}

// ---- The driver on a pseudo-terminal ------------------------------------------------

using SerialDriver = PtyTest;

TEST_F(SerialDriver, OpenFailuresPrintTheirMessage) {
  addPort(1);
  {  // A port that does not exist.
    StdoutCapture out;
    EXPECT_EQ(ComPortAPI_OpenCOM(7), 0);
    EXPECT_EQ(out.finish(), "ERROR: Opening COM7 failed !");
    EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
  }
  {  // A port held by another open.
    HANDLE holder = openCom("COM1");
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    StdoutCapture out;
    EXPECT_EQ(ComPortAPI_OpenCOM(1), 0);
    EXPECT_EQ(out.finish(), "ERROR: Opening COM1 failed !");
    EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
    CloseHandle(holder);
  }
  {  // A rate the line cannot take: the port is closed again.
    g_dcb.BaudRate = 14400;
    StdoutCapture out;
    EXPECT_EQ(ComPortAPI_OpenCOM(1), 0);
    EXPECT_EQ(out.finish(), "ERROR: COM1 configuration failed !");
    HANDLE probe = openCom("COM1");  // free again
    EXPECT_NE(probe, INVALID_HANDLE_VALUE);
    CloseHandle(probe);
  }
}

// Line settings reach the line: what was set with no port open applies at the
// open, later changes apply at once, and after the close the setters only
// change the records again.
TEST_F(SerialDriver, LineSettingsFollowTheRecords) {
  PtyPort &port = addPort(1);
  EXPECT_EQ(ComPortAPI_SetBaudRate(57600), 0);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(TRUE), 1);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);

  struct termios tio;
  ASSERT_EQ(tcgetattr(port.master, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), (speed_t)B57600);
  EXPECT_EQ(cfgetispeed(&tio), (speed_t)B57600);
  EXPECT_EQ(tio.c_cflag & CSIZE, (tcflag_t)CS8);
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

  struct Step {
    int baud;
    BOOL cts;
    speed_t speed;
  } steps[] = {{115200, FALSE, B115200}, {1200, TRUE, B1200}, {4800, FALSE, B4800}};
  for (const Step &s : steps) {
    EXPECT_EQ(ComPortAPI_SetBaudRate(s.baud), 1);
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(s.cts), 1);
    ASSERT_EQ(tcgetattr(port.master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), s.speed) << s.baud;
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, s.cts != 0) << s.baud;
  }
  // A rate the line cannot take fails; the line keeps its rate, the record the new one.
  EXPECT_EQ(ComPortAPI_SetBaudRate(14400), 0);
  EXPECT_EQ(g_dcb.BaudRate, 14400u);
  ASSERT_EQ(tcgetattr(port.master, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), (speed_t)B4800);
  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(100), 1);

  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
  EXPECT_EQ(ComPortAPI_SetBaudRate(9600), 0);
  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(300), 0);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(TRUE), 0);
  char byte;
  int count = 9;
  EXPECT_EQ(ComPortAPI_ReadCOM(&byte, 1, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
}

// The key wait with standard input not a terminal: bytes come from the same
// stream scanf reads, and the end of input returns at once.
TEST(ConsoleKeyWait, ReadsRedirectedInputAndReturnsAtEnd) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  writeAll(pipeFds[1], "7\nq");
  close(pipeFds[1]);
  int savedStdin = dup(STDIN_FILENO);
  dup2(pipeFds[0], STDIN_FILENO);
  close(pipeFds[0]);
  clearerr(stdin);

  int number = 0;
  EXPECT_EQ(scanf("%d", &number), 1);
  EXPECT_EQ(number, 7);
  EXPECT_EQ(_getch(), '\n');
  EXPECT_EQ(_getch(), 'q');
  long long start = nowMs();
  EXPECT_EQ(_getch(), -1);
  EXPECT_EQ(_getch(), -1);
  EXPECT_LT(nowMs() - start, 1000);

  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  clearerr(stdin);
}

// On a terminal: one key without Enter and without echo, and the terminal's
// settings back as they were afterwards.
TEST(ConsoleKeyWait, TakesOneKeyFromATerminal) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  struct termios before;
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_NE(before.c_lflag & ICANON, 0u);
  int savedStdin = dup(STDIN_FILENO);
  dup2(slave, STDIN_FILENO);

  std::thread typist([&] {
    sleepMs(100);
    writeAll(master, "k");  // no line end: canonical mode would wait forever
  });
  int key = _getch();
  typist.join();
  EXPECT_EQ(key, 'k');
  EXPECT_EQ(readUntilSilent(master, 50), "");  // nothing echoed

  struct termios after;
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);

  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  close(slave);
  close(master);
}

TEST(PlatformTiming, SleepWaitsAtLeastItsTime) {
  long long start = nowMs();
  Sleep(120);
  long long ms = nowMs() - start;
  EXPECT_GE(ms, 119);
  EXPECT_LT(ms, 2000);
}

}  // namespace
