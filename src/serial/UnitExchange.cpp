// Command and data exchange with the unit's console.
//
// A command goes out as "%%", the command text, LF, CR. The unit's reply has no
// length and no terminator: it ends at the first read that brings no byte
// within the read timeout in force, and the whole collected text is compared
// with the expected one for exact equality.
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <chrono>

#include "serial/ComPortAPI.h"
#include "serial/UnitExchange.h"
#include "serial/UpdateProgress.h"

#define DATA_CHUNK_SIZE 10240  // bytes per write while streaming an image

// ---- How long a reply may keep arriving ------------------------------------------
// A reply ends when the line falls silent, so a device that never does (a GPS
// receiver, a UPS monitor, a board printing its log) would hold a collection
// for as long as it talks. Each collection is therefore bounded in time too.
//
// Let T be the read timeout in force: the driver keeps the interval and the
// total timeout of g_cto equal, so every read lasts at most T, whatever
// arrives (it ends at its total time, or earlier when its buffer fills).
// A reply that can match begins within T of the collection's start (otherwise
// the first read brings nothing and the reply is "no answer" anyway). Its
// longest form, the help text of detection (74 bytes), takes 74 / 120 s =
// 616 ms at the slowest rate tried, 1200 baud (10 bits a byte: 120 bytes/s).
// We allow twice that for gaps between characters, and one more T for a pause
// between pieces (a longer pause ends the reply anyway). So every byte of a
// legitimate reply has arrived
//     T + 2 x 616 ms + T
// after the start. A read that begins later than that and still brings bytes
// belongs to a line that keeps talking: the collection stops and counts as no
// answer. Since reads last at most T, one collection then takes at most the
// bound plus 2 T: with detection's 500 ms, reads begin every 500 ms, the
// bound is 2232 ms and the read begun at 2500 ms is the last, so a talking
// port costs 3 s per attempt, 36 s for its twelve attempts (a silent one 6 s).
// A reply within the bound is collected up to its silence, like any other.
//
// The two direct reads of the update procedure (version reply, reboot banner)
// are single reads: with the interval and total timeouts equal, a read returns
// at its total time, 1 s and 11 s there, so they need no bound of their own.
#define LONGEST_EXPECTED_REPLY_BYTES (sizeof DETECTION_EXPECTED_RESPONSE - 1)
#define SLOWEST_RATE_BYTES_PER_S 120  // 1200 baud, start + 8 data + stop bits
#define REPLY_LINE_TIME_MS (LONGEST_EXPECTED_REPLY_BYTES * 1000 / SLOWEST_RATE_BYTES_PER_S)

static_assert(sizeof VALIDATE_TX_PRODUCT_ID_STRING <= sizeof DETECTION_EXPECTED_RESPONSE &&
                  sizeof VALIDATE_RX_PRODUCT_ID_STRING <= sizeof DETECTION_EXPECTED_RESPONSE,
              "the bound assumes the help text is the longest expected reply");

// Latest start, counted from the start of the collection, of a read that may
// still bring part of a legitimate reply, for the read timeout in force. On a
// network port the reply also travels there and back, in segments: the
// port's round trip allowance is added (0 on a local line). Gaps between
// segments need nothing more: they are far shorter than T, and only a read
// that brings nothing for T ends a reply.
static long long replyWindowMs(void) {
  long long timeoutMs = (long long)g_cto.ReadIntervalTimeout;
  if ((long long)g_cto.ReadTotalTimeoutConstant > timeoutMs)
    timeoutMs = (long long)g_cto.ReadTotalTimeoutConstant;
  return timeoutMs + 2 * (long long)REPLY_LINE_TIME_MS + timeoutMs + ComPortAPI_ReplyDelayMs();
}

static long long monotonicMs(void) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

char *gDataBuffer = NULL;

static ReplyPrinter gReplyPrinter = NULL;

void unitExchange_setReplyPrinter(ReplyPrinter printer) { gReplyPrinter = printer; }

// Warnings that broke the progress line: counted by the interrupt handler,
// compared on the main flow with the count already answered by a label, so
// that a warning arriving between the two never goes unanswered.
static volatile sig_atomic_t gLineBreaks = 0;
static sig_atomic_t gLineBreaksLabelled = 0;
static BOOL gRelabel = FALSE;
static const char *gStreamLabel = NULL;

void unitExchange_setRelabelAfterBreak(BOOL relabel) { gRelabel = relabel; }

void unitExchange_setStreamLabel(const char *label) {
  gStreamLabel = label;
  gLineBreaksLabelled = gLineBreaks;  // breaks before the label was printed are behind it
}

void unitExchange_noteLineBroken(void) { gLineBreaks = gLineBreaks + 1; }

// The collected reply: READ_CHUNK_SIZE characters plus the terminator. About
// 1 MB, so it lives here rather than on the stack; one exchange runs at a time.
static char responseReceivedCopy[READ_CHUNK_SIZE + 1];

// Reads the unit's reply into responseReceivedCopy until a read brings no byte.
// A NUL byte inside a piece ends what that piece contributes.
//
// Collection stops once more than READ_CHUNK_SIZE bytes have arrived (nothing is
// written past the buffer), or when a read begun after the reply window still
// brings bytes (see above): a line that never falls silent cannot hold the
// updater. Such a reply is incomplete, so it returns 0 and the caller counts it
// as a mismatch; otherwise it returns 1.
static BOOL collectReply(void) {
  size_t textLength = 0;
  size_t bytesReceived = 0;
  responseReceivedCopy[0] = '\0';
  if (gDataBuffer == NULL) return FALSE;
  const long long startMs = monotonicMs();
  const long long windowMs = replyWindowMs();
  for (;;) {
    int count = 0;
    const bool lateRead = monotonicMs() - startMs > windowMs;
    // The result is not needed: a failed read reports a count of 0.
    ComPortAPI_ReadCOM(gDataBuffer, READ_CHUNK_SIZE, &count);
    if (count <= 0 || count > READ_CHUNK_SIZE) count = 0;
    gDataBuffer[count] = '\0';
    if (count == 0) return TRUE;
    if (lateRead) return FALSE;  // still talking: what it sent now is no part of the reply

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

// What the reply to a command ends with, for a network port to know it whole
// (ComPortAPI_ExpectReplyEnd): the console's prompt ends every reply but the
// announces' "Ready" and the streams' "SUCCESS", which end with themselves.
// A reply expected to end in the prompt is known whole at any prompt, so
// that an unexpected one (RX where TX was asked) ends as soon.
#define CONSOLE_PROMPT "\r\n>>"

static const char *replyEndOf(const char *expectedResponse) {
  const size_t promptLength = sizeof CONSOLE_PROMPT - 1;
  if (expectedResponse == NULL) return CONSOLE_PROMPT;
  const size_t length = strlen(expectedResponse);
  if (length >= promptLength &&
      strcmp(expectedResponse + length - promptLength, CONSOLE_PROMPT) == 0)
    return CONSOLE_PROMPT;
  return expectedResponse;
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
  ComPortAPI_ExpectReplyEnd(replyEndOf(expectedResponse));
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

// Starts the line again with the stream's label when a warning broke it since
// the last percentage (and the run asked for it). TRUE: it did, and the shown
// percentage is on the line above, no longer to be erased.
static BOOL relabelBrokenLine(void) {
  const sig_atomic_t breaks = gLineBreaks;
  if (breaks == gLineBreaksLabelled) return FALSE;
  gLineBreaksLabelled = breaks;
  if (!gRelabel || gStreamLabel == NULL) return FALSE;
  printf("%s", gStreamLabel);
  return TRUE;
}

BOOL sendData(const uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse) {
  int dataSent = 0;
  int percentage = 0;

  relabelBrokenLine();
  printf("1%%");
  if (dataToSendLength < 0 || (dataToSend == NULL && dataToSendLength > 0)) return FALSE;
  ComPortAPI_ExpectReplyEnd(expectedResponse);

  while (dataSent != dataToSendLength) {
    int written = 0;
    int remaining = dataToSendLength - dataSent;
    if (remaining > DATA_CHUNK_SIZE) {
      if (!ComPortAPI_WriteCOM((void *)(dataToSend + dataSent), DATA_CHUNK_SIZE, &written))
        return FALSE;
      dataSent += DATA_CHUNK_SIZE;
      if (!relabelBrokenLine()) erasePercentage(percentage);
      percentage = (int)((long long)dataSent * 100 / dataToSendLength);
      printf("%d%%", percentage);
      updateProgress_setPercent(percentage);
    } else {
      if (!ComPortAPI_WriteCOM((void *)(dataToSend + dataSent), remaining, &written))
        return FALSE;
      if (!relabelBrokenLine()) erasePercentage(percentage);
      printf("100%%");
      updateProgress_setPercent(100);
      dataSent = dataToSendLength;

      if (expectedResponse == NULL) return TRUE;
      BOOL complete = collectReply();
      if (!validateResponse) return TRUE;
      if (complete && strcmp(responseReceivedCopy, expectedResponse) == 0) return TRUE;
      if (gReplyPrinter == NULL) {
        printf("\r\nExpected : %s  received : %s\r\n", expectedResponse, responseReceivedCopy);
      } else {
        printf("\r\nExpected : %s  received : ", expectedResponse);
        gReplyPrinter(responseReceivedCopy);
        printf("\r\n");
      }
      printf("\r\nError: Expected response did  not matched !\r\n");
      return FALSE;
    }
  }
  return TRUE;
}

const char *unitExchange_lastReply(void) { return responseReceivedCopy; }
