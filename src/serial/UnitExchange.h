// Command and data exchange with the unit's console, and the texts the unit
// answers with (the simulated unit answers with the same ones).
#ifndef UNITEXCHANGE_H
#define UNITEXCHANGE_H

#include <stdint.h>

#include "platform/Platform.h"

#define DATA_BUFFER_SIZE (1024 * 1000)          // serial scratch buffer
#define READ_CHUNK_SIZE (DATA_BUFFER_SIZE - 1)  // one read, leaving room for the NUL

#define DETECTION_PROBE_COMMAND "%help -c version"
#define DETECTION_EXPECTED_RESPONSE \
  "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"
#define VALIDATE_TX_PRODUCT_ID_STRING "Zarvel 6G SDI EXTENDER OVER FIBER TX\r\n>>"
#define VALIDATE_RX_PRODUCT_ID_STRING "Zarvel 6G SDI EXTENDER OVER FIBER RX\r\n>>"

extern char *gDataBuffer;  // DATA_BUFFER_SIZE bytes, serial scratch

BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse);
BOOL sendData(const uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse);
// The text the last collected reply brought ("" when the unit said nothing).
const char *unitExchange_lastReply(void);
// How sendData's mismatch dump ("Expected : ...  received : ...") prints the
// unit's reply: NULL (the updater) prints it as received; the tool installs a
// printer that escapes bytes which could drive a terminal.
typedef void (*ReplyPrinter)(const char *reply);
void unitExchange_setReplyPrinter(ReplyPrinter printer);

// A warning written over the progress (an interrupt while an image streams)
// leaves the line broken: the next percentage would stand alone at the start
// of a new line. When RELABEL is TRUE (the tool; default FALSE, the updater's
// console stays as it was), sendData first prints the stream's label again,
// the one handed over by unitExchange_setStreamLabel (NULL: none).
void unitExchange_setRelabelAfterBreak(BOOL relabel);
void unitExchange_setStreamLabel(const char *label);
// Called after such a warning is written. Async-signal-safe.
void unitExchange_noteLineBroken(void);

#endif  // UNITEXCHANGE_H
