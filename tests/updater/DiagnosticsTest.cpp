// The bench routines: the test command on a pseudo-terminal, the progress
// outputs, the pattern's extent, and where the dump waits for its key.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif

#include <string>
#include <vector>

#include "../webfile/WebTestSupport.h"
#include "serial/ComPortAPI.h"
#include "updater/TessaranFwUpgrade.h"

namespace {

const int kPattern = 524288;
const unsigned char kUntouched = 0xEE;

// The percentages the transfer routines show, one per 10,240 bytes: the odd
// numbers 1 to 41, the even numbers 42 to 82, the odd numbers 83 to 99.
std::vector<int> expectedPercentages() {
  std::vector<int> p;
  for (int v = 1; v <= 41; v += 2) p.push_back(v);
  for (int v = 42; v <= 82; v += 2) p.push_back(v);
  for (int v = 83; v <= 99; v += 2) p.push_back(v);
  return p;
}

// Everything the master side receives until the line stays quiet for `quietMs`.
std::string drain(int fd, int quietMs) {
  std::string got;
  char chunk[4096];
  struct pollfd p = {fd, POLLIN, 0};
  while (poll(&p, 1, quietMs) > 0 && (p.revents & POLLIN)) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, (size_t)n);
  }
  return got;
}

// Reads into `output` until it holds `want` bytes, the writer closes, or
// nothing arrives for `quietMs`: a routine that stops early cannot hang the test.
void readUpTo(int fd, std::string &output, size_t want, int quietMs) {
  char chunk[65536];
  struct pollfd p = {fd, POLLIN, 0};
  while (output.size() < want && poll(&p, 1, quietMs) > 0) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    output.append(chunk, (size_t)n);
  }
}

class DiagnosticsTest : public webtest::ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    webtest::writeFile("keys", "abc");
    ASSERT_NE(nullptr, freopen("keys", "r", stdin));
    ASSERT_TRUE(allocateWorkingBuffers());
    memset(gDataBuffer, kUntouched, DATA_BUFFER_SIZE);
  }
  void TearDown() override {
    ComPortAPI_CloseCOM();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    unsetenv("FWUPGRADE_COM_DIR");
    releaseWorkingBuffers();
    ScratchFolderTest::TearDown();
  }

  // A pseudo-terminal reached as COM7 through the COM folder, opened by the driver.
  void openPortOnPty() {
    ASSERT_EQ(0, openpty(&master_, &slave_, NULL, NULL, NULL));
    std::filesystem::create_symlink(ttyname(slave_), folder_ / "COM7");
    setenv("FWUPGRADE_COM_DIR", folder_.c_str(), 1);
    ComPortAPI_SetHardwareFlowControl(FALSE);
    ComPortAPI_SetBaudRate(115200);
    ASSERT_TRUE(ComPortAPI_OpenCOM(7));
  }

  void expectPatternOnly() {
    for (int k = 0; k < kPattern; k++)
      ASSERT_LT((unsigned char)gDataBuffer[k], 100) << "byte " << k;
    for (int k = kPattern; k < DATA_BUFFER_SIZE; k++)
      ASSERT_EQ(kUntouched, (unsigned char)gDataBuffer[k]) << "byte " << k;
  }

  int master_ = -1;
  int slave_ = -1;
};

TEST_F(DiagnosticsTest, Send512kbWritesTheCommandAndShows51Steps) {
  openPortOnPty();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(1, DEBUG_send_512kb());
  const std::string output = ::testing::internal::GetCapturedStdout();

  // Exactly the 15 command bytes reach the line, and nothing after them.
  EXPECT_EQ("fw -h 1234567\n\r", drain(master_, 300));

  std::string expected =
      "\n\rSending command fw -h 1234567 ...OK\r\n15 bytes(s) sent.\r\n\n\rSending 512 kb of data ...";
  for (int p : expectedPercentages()) expected += "..." + std::to_string(p) + " %";
  expected += "\r\nPress any key to exit";
  EXPECT_EQ(expected, output);
  EXPECT_EQ(51u, expectedPercentages().size());
  EXPECT_EQ(1, ftell(stdin));
  expectPatternOnly();
}

TEST_F(DiagnosticsTest, Send512kbStopsWhenTheCommandCannotBeWritten) {
  openPortOnPty();
  // Without the master side the line is gone: the write fails with EIO.
  close(master_);
  master_ = -1;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(0, DEBUG_send_512kb());
  EXPECT_EQ(
      "\n\rSending command fw -h 1234567 ...Error occurred when sending data !\r\n"
      "\r\nPress any key to exit",
      ::testing::internal::GetCapturedStdout());
  EXPECT_EQ(1, ftell(stdin));
  // No pattern: past the command and its NUL the buffer is as it was.
  for (int k = 16; k < kPattern; k++) ASSERT_EQ(kUntouched, (unsigned char)gDataBuffer[k]);
}

// About ten seconds: 51 pauses of 107 million counted iterations.
TEST_F(DiagnosticsTest, LongSend512kb2OverwritesEachPercentage) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(1, DEBUG_send_512kb_2());
  const std::string output = ::testing::internal::GetCapturedStdout();

  std::string expected = "\n\rSending 512 kb of data ..." + std::string(".....");
  for (int p : expectedPercentages())
    expected += std::to_string(p) + "%" + (p <= 9 ? "\b\b" : "\b\b\b");
  expected += "100%";
  EXPECT_EQ(expected, output);
  EXPECT_EQ(0, ftell(stdin));
  expectPatternOnly();
}

TEST_F(DiagnosticsTest, DumpWaitsForOneKeyAfterValue46753) {
  for (int k = 0; k < DATA_BUFFER_SIZE; k++) gDataBuffer[k] = (char)(k * 13);

  // The dump runs in a child whose console is a pair of pipes, so that the
  // parent sees where the output stops while the key is awaited.
  int toChild[2], fromChild[2];
  ASSERT_EQ(0, pipe(toChild));
  ASSERT_EQ(0, pipe(fromChild));
  fflush(NULL);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    close(toChild[1]);
    close(fromChild[0]);
#if defined(__GLIBC__)
    __fpurge(stdin);
#endif
    clearerr(stdin);
    setvbuf(stdout, NULL, _IOFBF, 1 << 16);
    printDataBufferInHex((const uint8_t *)gDataBuffer, DATA_BUFFER_SIZE);
    int next = getchar();  // the one key after the awaited one
    fflush(stdout);
    _exit(next == 'z' ? 0 : 1);
  }
  close(toChild[0]);
  close(fromChild[1]);

  std::string expected = "\r\n Data Buffer Length = 1024000\r\nData= ";
  const size_t prefix = expected.size();
  char hex[8];
  size_t beforeKey = 0;
  for (int k = 0; k < kPattern; k++) {
    snprintf(hex, sizeof hex, "%x ", (unsigned)(unsigned char)(k * 13));
    expected += hex;
    if (k == 46752) beforeKey = expected.size();
  }

  // Up to the key wait: exactly the first 46,753 values, then silence.
  std::string output;
  readUpTo(fromChild[0], output, beforeKey, 10000);
  EXPECT_EQ(beforeKey, output.size());
  EXPECT_EQ("", drain(fromChild[0], 300));

  // The key, and one more that must still be unread when the dump ends.
  EXPECT_EQ(2, write(toChild[1], "kz", 2));
  close(toChild[1]);
  readUpTo(fromChild[0], output, expected.size() + 1, 10000);
  close(fromChild[0]);
  // The child ends on its own; one still running after 10 s is stopped.
  int status = 0;
  pid_t ended = 0;
  for (int tries = 0; tries < 1000 && ended == 0; tries++) {
    ended = waitpid(child, &status, WNOHANG);
    if (ended == 0) usleep(10000);
  }
  if (ended == 0) {
    kill(child, SIGKILL);
    ended = waitpid(child, &status, 0);
    ADD_FAILURE() << "the dump did not end";
  }
  ASSERT_EQ(child, ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not exactly one key read";
  EXPECT_EQ(expected.size(), output.size());
  EXPECT_TRUE(expected == output) << "first difference at "
                                  << std::mismatch(expected.begin(), expected.end(),
                                                   output.begin(), output.end()).first -
                                         expected.begin()
                                  << " (values start at " << prefix << ")";
}

TEST_F(DiagnosticsTest, DumpNeverReadsPastTheGivenLength) {
  const uint8_t small[10] = {0, 1, 0x0a, 0x10, 0x7f, 0x80, 0xab, 0xf0, 0xfe, 0xff};
  struct Row {
    const uint8_t *buffer;
    int length;
    std::string expected;
  };
  const Row rows[] = {
      {small, 10, "\r\n Data Buffer Length = 10\r\nData= 0 1 a 10 7f 80 ab f0 fe ff "},
      {small, 3, "\r\n Data Buffer Length = 3\r\nData= 0 1 a "},
      {small, -5, "\r\n Data Buffer Length = -5\r\nData= "},
      {NULL, 100, "\r\n Data Buffer Length = 100\r\nData= "},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.length);
    ::testing::internal::CaptureStdout();
    printDataBufferInHex(row.buffer, row.length);
    EXPECT_EQ(row.expected, ::testing::internal::GetCapturedStdout());
  }
  EXPECT_EQ(0, ftell(stdin));
}

}  // namespace
