// Command and data exchange with the unit's console.
//
// A command goes out as "%%", the command text, LF, CR. The unit's reply has no
// length and no terminator: it ends at the first read that brings no byte
// within the read timeout in force, and the whole collected text is compared
// with the expected one for exact equality.
#include <stdio.h>
#include <string.h>

#include "ComPortAPI.h"
#include "TessaranFwUpgrade.h"
#include "UpdateProgress.h"

#define DATA_CHUNK_SIZE 10240  // bytes per write while streaming an image

char *gDataBuffer = NULL;

// The collected reply: READ_CHUNK_SIZE characters plus the terminator. About
// 1 MB, so it lives here rather than on the stack; one exchange runs at a time.
static char responseReceivedCopy[READ_CHUNK_SIZE + 1];

// Reads the unit's reply into responseReceivedCopy until a read brings no byte.
// A NUL byte inside a piece ends what that piece contributes.
//
// Collection stops once more than READ_CHUNK_SIZE bytes have arrived: nothing is
// written past the buffer, and a unit that never stops talking cannot hold the
// updater forever. Such a reply is incomplete, so it returns 0 and the caller
// counts it as a mismatch; otherwise it returns 1.
static BOOL collectReply(void) {
  size_t textLength = 0;
  size_t bytesReceived = 0;
  responseReceivedCopy[0] = '\0';
  if (gDataBuffer == NULL) return FALSE;
  for (;;) {
    int count = 0;
    // The result is not needed: a failed read reports a count of 0.
    ComPortAPI_ReadCOM(gDataBuffer, READ_CHUNK_SIZE, &count);
    if (count <= 0 || count > READ_CHUNK_SIZE) count = 0;
    gDataBuffer[count] = '\0';
    if (count == 0) return TRUE;

    bytesReceived += (size_t)count;
    size_t pieceLength = strlen(gDataBuffer);
    size_t room = READ_CHUNK_SIZE - textLength;
    if (pieceLength > room) pieceLength = room;
    memcpy(responseReceivedCopy + textLength, gDataBuffer, pieceLength);
    textLength += pieceLength;
    responseReceivedCopy[textLength] = '\0';
    if (bytesReceived > READ_CHUNK_SIZE) return FALSE;
  }
}

BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse) {
  // 1. Frame the command. A command that does not fit the buffer is not sent.
  int length = -1;
  if (gDataBuffer != NULL && commandToSend != NULL)
    length = snprintf(gDataBuffer, DATA_BUFFER_SIZE, isEchoON ? "%s\n\r" : "%%%%%s\n\r",
                      commandToSend);
  if (length < 0 || length >= DATA_BUFFER_SIZE) {
    printf("\r\nError occurred when sending data !\r\n");
    return FALSE;
  }

  // 2. Write it. The count written is not compared with the length.
  int written = 0;
  if (!ComPortAPI_WriteCOM(gDataBuffer, length, &written)) {
    printf("\r\nError occurred when sending data !\r\n");
    return FALSE;
  }

  // 3. No expected text: the reply, if any, stays queued for the caller.
  if (expectedResponse == NULL) return TRUE;

  // 4. and 5. Collect the reply; compare it when asked to.
  BOOL complete = collectReply();
  if (!validateResponse) return TRUE;
  return complete && strcmp(responseReceivedCopy, expectedResponse) == 0;
}

// Erases the percentage shown: two backspaces for one digit and its percent
// sign, three for two digits.
static void erasePercentage(int percentage) {
  printf(percentage <= 9 ? "\b\b" : "\b\b\b");
}

BOOL sendData(const uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse) {
  int dataSent = 0;
  int percentage = 0;

  printf("1%%");
  if (dataToSendLength < 0 || (dataToSend == NULL && dataToSendLength > 0)) return FALSE;

  while (dataSent != dataToSendLength) {
    int written = 0;
    int remaining = dataToSendLength - dataSent;
    if (remaining > DATA_CHUNK_SIZE) {
      if (!ComPortAPI_WriteCOM((void *)(dataToSend + dataSent), DATA_CHUNK_SIZE, &written))
        return FALSE;
      dataSent += DATA_CHUNK_SIZE;
      erasePercentage(percentage);
      percentage = (int)((long long)dataSent * 100 / dataToSendLength);
      printf("%d%%", percentage);
      updateProgress_setPercent(percentage);
    } else {
      if (!ComPortAPI_WriteCOM((void *)(dataToSend + dataSent), remaining, &written))
        return FALSE;
      erasePercentage(percentage);
      printf("100%%");
      updateProgress_setPercent(100);
      dataSent = dataToSendLength;

      if (expectedResponse == NULL) return TRUE;
      BOOL complete = collectReply();
      if (!validateResponse) return TRUE;
      if (complete && strcmp(responseReceivedCopy, expectedResponse) == 0) return TRUE;
      printf("\r\nExpected : %s  received : %s\r\n", expectedResponse, responseReceivedCopy);
      printf("\r\nError: Expected response did  not matched !\r\n");
      return FALSE;
    }
  }
  return TRUE;
}
