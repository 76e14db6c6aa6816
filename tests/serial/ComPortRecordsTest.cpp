// The driver's records and setters with no port open, the exchange's refusals,
// and the CRT integer conversion. No serial device needed: runs everywhere.
#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include <string>

#include "serial/ComPortAPI.h"
#include "updater/TessaranFwUpgrade.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

// The records as the program starts (constant-initialised, so copied before
// any test runs).
const DCB kStartDcb = g_dcb;
const COMMTIMEOUTS kStartCto = g_cto;

class DriverRecords : public ::testing::Test {
 protected:
  void TearDown() override {
    g_hCOM = NULL;
    g_dcb = kStartDcb;
    g_cto = kStartCto;
  }
};

// The flag bits, as laid out by the compiler, form the word 0x1015.
TEST(DriverStart, RecordsHoldTheirInitialValues) {
  uint32_t flags;
  memcpy(&flags, (const char *)&kStartDcb + offsetof(DCB, BaudRate) + sizeof(DWORD), 4);
  EXPECT_EQ(flags, 0x1015u);
  EXPECT_EQ(kStartDcb.BaudRate, 9600u);
  const COMMTIMEOUTS cto = {500, 0, 500, 0, 0};
  EXPECT_EQ(memcmp(&kStartCto, &cto, sizeof cto), 0);
}

// With no port open an unchanged value succeeds; a new one stays in the
// record although applying it fails. Transfers fail with a count of 0.
TEST_F(DriverRecords, SettersAndTransfersWithNoPort) {
  EXPECT_EQ(ComPortAPI_SetBaudRate(9600), 1);
  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(500), 1);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(FALSE), 0);
  EXPECT_EQ(g_dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(3), 0);  // only the lowest bit counts
  EXPECT_EQ(g_dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(ComPortAPI_SetBaudRate(57600), 0);
  EXPECT_EQ(g_dcb.BaudRate, 57600u);
  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(1000), 0);
  EXPECT_EQ(g_cto.ReadTotalTimeoutConstant, 1000u);

  for (HANDLE h : {(HANDLE)NULL, INVALID_HANDLE_VALUE}) {
    g_hCOM = h;
    char buffer[8] = "abc";
    int count = 99;
    EXPECT_EQ(ComPortAPI_ReadCOM(buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ComPortAPI_WriteCOM(buffer, 3, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
    EXPECT_EQ(g_hCOM, h);
  }
}

// A number whose device path would not fit 16 characters fails like a
// missing port instead of overrunning the path buffer.
TEST_F(DriverRecords, OpenOfAnOverlongPortNumberFails) {
  CaptureStdout();
  EXPECT_EQ(ComPortAPI_OpenCOM(123456789), 0);
  EXPECT_EQ(GetCapturedStdout(), "ERROR: Opening COM123456789 failed !");
  EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
}

// No port, no buffer, or a command too long to frame: nothing is sent.
TEST_F(DriverRecords, ExchangeFailuresWithoutAPort) {
  static char buffer[DATA_BUFFER_SIZE];
  std::string huge(DATA_BUFFER_SIZE, 'x');
  struct Case {
    char *dataBuffer;
    const char *command;
  } cases[] = {{buffer, "%fw -v"}, {NULL, "%fw -v"}, {buffer, NULL}, {buffer, huge.c_str()}};
  for (const Case &c : cases) {
    gDataBuffer = c.dataBuffer;
    CaptureStdout();
    EXPECT_EQ(sendCommand(c.command, FALSE, TRUE, "x"), 0);
    EXPECT_EQ(GetCapturedStdout(), "\r\nError occurred when sending data !\r\n");
  }
  const uint8_t data[3] = {1, 2, 3};
  CaptureStdout();
  EXPECT_EQ(sendData(data, 3, TRUE, "SUCCESS"), 0);
  EXPECT_EQ(GetCapturedStdout(), "1%");
  gDataBuffer = NULL;
}

TEST(ConsoleItoa, ConvertsAsTheCrt) {
  struct Case {
    int value, radix;
    const char *text;
  } cases[] = {
      {0, 10, "0"},           {-1234, 10, "-1234"},  {-2147483647 - 1, 10, "-2147483648"},
      {255, 16, "ff"},        {-1, 16, "ffffffff"},  {-2147483647 - 1, 2, "10000000000000000000000000000000"},
      {35, 36, "z"},          {-1, 8, "37777777777"},
  };
  for (const Case &c : cases) {
    char buffer[40];
    EXPECT_EQ(_itoa(c.value, buffer, c.radix), buffer);
    EXPECT_STREQ(buffer, c.text) << c.value << " radix " << c.radix;
  }
}

}  // namespace
