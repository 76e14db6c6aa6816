// The updater's main module: exchange with the unit, detection, image assembly
// entry, update procedure, console front end, web update file and bench routines.
//
// The module is split over several source files that share this header:
//   UnitExchange.cpp     sendCommand, sendData (framing and reply collection)
//   Detection.cpp        detectComPortAndBaudrate
//   ImageAssembly.cpp    ValidateFwAndConcatenateData, StrRemoveNL, imageCheckSum
//   UpdateProcedure.cpp  updateFirmware
//   FrontEnd.cpp         working buffers, dipsplayLastMessageToUserBeforeExit
//   WebUpdateFile.cpp    createFirmwareFileForWeb
//   Diagnostics.cpp      the bench routines
//   TessaranFwUpgrade.cpp  main
#ifndef TESSARANFWUPGRADE_H
#define TESSARANFWUPGRADE_H

#include <stdint.h>
#include "platform/Platform.h"

// ---- Sizes ----------------------------------------------------------------
#define DATA_BUFFER_SIZE (1024 * 1000)        // serial scratch buffer
#define CONCAT_BUFFER_SIZE (4 * 1024 * 1024)  // flat image buffer (plus 16 spare bytes)
#define READ_CHUNK_SIZE (DATA_BUFFER_SIZE - 1)  // one read, leaving room for the NUL

// ---- The release carried by the updater -------------------------------------
#define FIRMWARE_VERSION_TO_UPLOAD "1.0.4"

// ---- What the unit answers ----------------------------------------------------
#define DETECTION_PROBE_COMMAND "%help -c version"
#define DETECTION_EXPECTED_RESPONSE \
  "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"
#define VALIDATE_TX_PRODUCT_ID_STRING "Zarvel 6G SDI EXTENDER OVER FIBER TX\r\n>>"
#define VALIDATE_RX_PRODUCT_ID_STRING "Zarvel 6G SDI EXTENDER OVER FIBER RX\r\n>>"

// FPGA device codes the version reply may report; only DEVICE_XC7A35_484 is ours.
#define DEVICE_NONE 0x00
#define DEVICE_XC7A35_484 0x01
#define DEVICE_XC7A50_484 0x02
#define DEVICE_XC7A75_484 0x03
#define DEVICE_XC7A100_484 0x04
#define DEVICE_XC7A200_S484 0x05
#define DEVICE_XC7A200_F484 0x06
#define DEVICE_XC7A75_676 0x07
#define DEVICE_XC7A100_676 0x08
#define DEVICE_XC7A15_484 0x09

// ---- Web update file ------------------------------------------------------------
#define FIRMWARE_FILE_HEADER_FOR_WEB "ZarVel\r\n482619\r\n"
#define FIRMWARE_CHUNCK_SIZE_FOR_WEB 928
#define FIRMWARE_FILE_NAME_FOR_WEB "FwToUpload.bin"

// ---- Shared state ----------------------------------------------------------------
extern char *gDataBuffer;                   // DATA_BUFFER_SIZE bytes, serial scratch
extern uint8_t *gDataConcatenated;          // CONCAT_BUFFER_SIZE + 16 bytes, flat image
extern int gDataConcatenatedLenght;         // length of the image last assembled
extern uint32_t gDataConcatenatedCheckSum;  // 0 minus the image's byte sum
extern char *gHexFirmware;                  // heap copy of the microcontroller text
extern char *gHexFPGA_Code;                 // heap copy of the chosen FPGA text
extern int gComPortNumber;                  // port of the unit (found or entered)
extern int gBaudRate;                       // console rate of the unit (found or entered)

// ---- Command and data exchange ---------------------------------------------------
BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse);
BOOL sendData(const uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse);
// How sendData's mismatch dump ("Expected : ...  received : ...") prints the
// unit's reply: NULL (the updater) prints it as received; the tool installs a
// printer that escapes bytes which could drive a terminal.
typedef void (*ReplyPrinter)(const char *reply);
void unitExchange_setReplyPrinter(ReplyPrinter printer);

// ---- Detection -------------------------------------------------------------------
BOOL detectComPortAndBaudrate(void);

// ---- Image assembly --------------------------------------------------------------
BOOL ValidateFwAndConcatenateData(char *gHexData);
BOOL StrRemoveNL(char *str, char ch);
// 0 minus the sum of the first `length` bytes, modulo 2^32.
uint32_t imageCheckSum(const uint8_t *image, int length);

// ---- Update procedure and front end ---------------------------------------------
BOOL updateFirmware(void);
// TRUE when the text begins with "[" and ends with ">>" (the unit's prompt).
BOOL unitBannerShowsPrompt(const char *banner);
void dipsplayLastMessageToUserBeforeExit(const char *lastMessage);
// A zero-filled heap block of the catalogue text's length + 16 with the text
// copied to its start; null when the allocation fails.
char *newCopyOfEmbeddedText(int catalogueIndex);
// The start-up state of a run: gHexFirmware, gDataConcatenated, gDataBuffer
// allocated and prepared. Prints a message and returns 0 when memory runs out
// (whatever was allocated is released again).
BOOL allocateWorkingBuffers(void);
// Releases gDataBuffer, gDataConcatenated, gHexFirmware, gHexFPGA_Code in this
// order and sets each to null.
void releaseWorkingBuffers(void);

// ---- Web update file --------------------------------------------------------------
BOOL createFirmwareFileForWeb(void);

// ---- Bench routines ----------------------------------------------------------------
BOOL DEBUG_send_512kb(void);
BOOL DEBUG_send_512kb_2(void);
void printDataBufferInHex(const uint8_t *databuffer, int dataBufferLength);

#endif  // TESSARANFWUPGRADE_H
