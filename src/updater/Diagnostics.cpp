// Bench routines for the serial link and the console: two transfer tests that
// build a 512 KiB pseudo-random pattern in gDataBuffer, and a hexadecimal dump.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef _WIN32
#include <termios.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif
#endif

#include "serial/ComPortAPI.h"
#include "updater/TessaranFwUpgrade.h"

#define TEST_PATTERN_LENGTH 0x80000     // 524,288 bytes, the "512 kb" of the messages
#define PROGRESS_STEP 10240             // one progress output per this many bytes
#define DUMP_KEY_WAIT_AFTER_INDEX 46752  // the dump stops once, after this value

#define TEST_COMMAND "fw -h 1234567\n\r"

// Discards console input typed ahead and not yet read, so that a stray key
// does not end a later key wait at once.
static void flushConsoleInput(void) {
#ifdef _WIN32
  // The Microsoft C runtime defines fflush on an input stream as discarding
  // its buffered input.
  fflush(stdin);
#else
  // fflush(stdin) is undefined in standard C. Drop what stdio has buffered,
  // then what the terminal holds; a pipe or a file is left alone.
  if (isatty(STDIN_FILENO)) {
#if defined(__GLIBC__)
    __fpurge(stdin);
#endif
    (void)tcflush(STDIN_FILENO, TCIFLUSH);  // nothing to do when it fails
  }
#endif
}

BOOL DEBUG_send_512kb(void) {
  int totalBytesToSend = TEST_PATTERN_LENGTH;
  int bytesWritten = 0;
  int i;

  printf("\n\rSending command fw -h 1234567 ...");
  flushConsoleInput();

  strcpy(gDataBuffer, TEST_COMMAND);
  if (!ComPortAPI_WriteCOM(gDataBuffer, (int)strlen(gDataBuffer), &bytesWritten)) {
    dipsplayLastMessageToUserBeforeExit("Error occurred when sending data !\r\n");
    ComPortAPI_CloseCOM();
    return 0;
  }

  printf("OK\r\n");
  printf("%d bytes(s) sent.\r\n", bytesWritten);
  printf("\n\rSending 512 kb of data ...");
  flushConsoleInput();

  for (i = 1; i <= totalBytesToSend; i++) {
    gDataBuffer[i - 1] = (char)(rand() % 100);
    if ((i % PROGRESS_STEP) == 0) printf("...%d %%", (i * 100) / totalBytesToSend);
  }

  ComPortAPI_CloseCOM();
  dipsplayLastMessageToUserBeforeExit("");
  return 1;
}

BOOL DEBUG_send_512kb_2(void) {
  int totalBytesToSend = TEST_PATTERN_LENGTH;
  int percentage;
  int i;

  printf("\n\rSending 512 kb of data ...");
  flushConsoleInput();
  printf(".....");

  for (i = 1; i <= totalBytesToSend; i++) {
    gDataBuffer[i - 1] = (char)(rand() % 100);
    if ((i % PROGRESS_STEP) == 0) {
      percentage = (i * 100) / totalBytesToSend;
      printf("%d%%", percentage);

      // A pause of a fixed number of empty iterations; the counters are
      // volatile so that the compiler keeps every one of them.
      for (volatile int c = 1; c <= 0xCCC; c++)
        for (volatile int d = 1; d <= 0x7FFF; d++) {
        }

      // Back to where the percentage began, so the next one overwrites it.
      if (percentage <= 9)
        printf("\b\b");
      else if (percentage <= 99)
        printf("\b\b\b");
    }
  }

  printf("100%%");
  return 1;
}

void printDataBufferInHex(const uint8_t *databuffer, int dataBufferLength) {
  // The dump shows 512 KiB, but never reads past the length the caller gives
  // for its buffer: a shorter buffer is dumped only up to that length.
  int count = TEST_PATTERN_LENGTH;
  if (databuffer == NULL || dataBufferLength < 0)
    count = 0;
  else if (dataBufferLength < count)
    count = dataBufferLength;

  printf("\r\n Data Buffer Length = ");
  printf("%d", dataBufferLength);
  printf("\r\nData= ");

  for (int i = 0; i < count; i++) {
    printf("%x ", (unsigned)databuffer[i]);
    if (i == DUMP_KEY_WAIT_AFTER_INDEX) {
      fflush(stdout);  // everything up to here is on screen during the wait
      _getch();
    }
  }
}
