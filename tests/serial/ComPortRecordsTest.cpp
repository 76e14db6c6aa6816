// The driver's records and setters while no port is open, and the CRT integer
// conversion. Nothing here needs a serial device, so it runs on every platform.
#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include <string>

#include "ComPortAPI.h"
#include "TessaranFwUpgrade.h"

namespace {

// The records as the program starts (constant-initialised, so this copy is
// taken before any test can change them).
const DCB kStartDcb = g_dcb;
const COMMTIMEOUTS kStartCto = g_cto;

// Restores the driver's state after each test.
class DriverRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hCOM = NULL;
    g_dcb = kStartDcb;
    g_cto = kStartCto;
  }
  void TearDown() override { SetUp(); }
};

TEST(DriverStart, RecordsHoldTheirInitialValues) {
  EXPECT_EQ(kStartDcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(kStartDcb.BaudRate, (DWORD)BAUD_RATE);
  uint32_t flags;
  memcpy(&flags, (const char *)&kStartDcb + offsetof(DCB, BaudRate) + sizeof(DWORD), sizeof flags);
  EXPECT_EQ(flags, 0x1015u);
  EXPECT_EQ(kStartDcb.XonLim, 256);
  EXPECT_EQ(kStartDcb.XoffLim, 256);
  EXPECT_EQ(kStartDcb.ByteSize, 8);
  EXPECT_EQ(kStartDcb.Parity, NOPARITY);
  EXPECT_EQ(kStartDcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(kStartDcb.XonChar, 0x11);
  EXPECT_EQ(kStartDcb.XoffChar, 0x13);
  EXPECT_EQ(kStartDcb.ErrorChar, 0x3F);
  EXPECT_EQ(kStartDcb.EofChar, 0x1A);
  EXPECT_EQ(kStartDcb.EvtChar, 0x10);
  EXPECT_EQ(kStartCto.ReadIntervalTimeout, 500u);
  EXPECT_EQ(kStartCto.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(kStartCto.ReadTotalTimeoutConstant, 500u);
  EXPECT_EQ(kStartCto.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(kStartCto.WriteTotalTimeoutConstant, 0u);
}

// A setter with no port open: an unchanged value succeeds without touching the
// port; a new value stays in the record although applying it fails.
TEST_F(DriverRecords, SettersWithNoPortKeepTheRecord) {
  EXPECT_EQ(ComPortAPI_SetBaudRate(9600), 1);
  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(500), 1);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(TRUE), 1);

  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(FALSE), 0);
  EXPECT_EQ(g_dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(FALSE), 1);  // now unchanged

  EXPECT_EQ(ComPortAPI_SetBaudRate(57600), 0);
  EXPECT_EQ(g_dcb.BaudRate, 57600u);

  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(1000), 0);
  EXPECT_EQ(g_cto.ReadIntervalTimeout, 1000u);
  EXPECT_EQ(g_cto.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(g_cto.ReadTotalTimeoutMultiplier, 0u);

  // Only the lowest bit of the flag counts.
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(3), 0);
  EXPECT_EQ(g_dcb.fOutxCtsFlow, 1u);
}

TEST_F(DriverRecords, TransfersAndCloseWithNoPort) {
  for (HANDLE h : {(HANDLE)NULL, INVALID_HANDLE_VALUE}) {
    g_hCOM = h;
    char buffer[8] = "abc";
    int count = 99;
    EXPECT_EQ(ComPortAPI_ReadCOM(buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(count, 0);
    count = 99;
    EXPECT_EQ(ComPortAPI_WriteCOM(buffer, 3, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
    EXPECT_EQ(g_hCOM, h);
  }
}

// A port number whose device path would not fit 16 characters fails the open
// with the normal message instead of overrunning the path buffer.
TEST_F(DriverRecords, OpenOfAnOverlongPortNumberFails) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ComPortAPI_OpenCOM(123456789), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ERROR: Opening COM123456789 failed !");
  EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
}

// The exchange with no port: the write fails, with the command's message and
// silently for data.
TEST_F(DriverRecords, ExchangeWithNoPortFails) {
  static char buffer[DATA_BUFFER_SIZE];
  char *saved = gDataBuffer;
  gDataBuffer = buffer;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(sendCommand("%fw -v", FALSE, FALSE, NULL), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\r\nError occurred when sending data !\r\n");
  const uint8_t data[3] = {1, 2, 3};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(sendData(data, 3, TRUE, "SUCCESS"), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "1%");
  gDataBuffer = saved;
}

// Commands that cannot be framed are refused without writing anything.
TEST_F(DriverRecords, UnframeableCommandsAreRefused) {
  static char buffer[DATA_BUFFER_SIZE];
  char *saved = gDataBuffer;
  std::string huge(DATA_BUFFER_SIZE, 'x');
  struct Case {
    char *dataBuffer;
    const char *command;
  } cases[] = {{NULL, "%fw -v"}, {buffer, NULL}, {buffer, huge.c_str()}};
  for (const Case &c : cases) {
    gDataBuffer = c.dataBuffer;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(sendCommand(c.command, FALSE, TRUE, "x"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\r\nError occurred when sending data !\r\n");
  }
  gDataBuffer = saved;
}

TEST(ConsoleItoa, ConvertsAsTheCrt) {
  struct Case {
    int value;
    int radix;
    const char *text;
  } cases[] = {
      {0, 10, "0"},
      {1234, 10, "1234"},
      {-1234, 10, "-1234"},
      {-2147483647 - 1, 10, "-2147483648"},
      {2147483647, 10, "2147483647"},
      {255, 16, "ff"},
      {-1, 16, "ffffffff"},
      {5, 2, "101"},
      {-2147483647 - 1, 2, "10000000000000000000000000000000"},
      {35, 36, "z"},
      {-1, 8, "37777777777"},
  };
  for (const Case &c : cases) {
    char buffer[40];
    memset(buffer, 'Q', sizeof buffer);
    EXPECT_EQ(_itoa(c.value, buffer, c.radix), buffer);
    EXPECT_STREQ(buffer, c.text) << c.value << " radix " << c.radix;
  }
}

}  // namespace
