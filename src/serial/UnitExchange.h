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
// How sendData's mismatch dump ("Expected : ...  received : ...") prints the
// unit's reply: NULL (the updater) prints it as received; the tool installs a
// printer that escapes bytes which could drive a terminal.
typedef void (*ReplyPrinter)(const char *reply);
void unitExchange_setReplyPrinter(ReplyPrinter printer);

#endif  // UNITEXCHANGE_H
