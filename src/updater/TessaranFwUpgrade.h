// The updater's main module: detection, the update procedure, the console
// front end and the bench routines, over the exchange (serial/UnitExchange.h),
// the image assembly (image/ImageAssembly.h) and the web update file's
// format (webfile/WebFileFormat.h), whose headers it includes.
//
//   Detection.cpp        detectComPortAndBaudrate
//   UpdateProcedure.cpp  updateFirmware
//   FrontEnd.cpp         working buffers, dipsplayLastMessageToUserBeforeExit
//   WebUpdateFile.cpp    createFirmwareFileForWeb
//   Diagnostics.cpp      the bench routines
//   TessaranFwUpgrade.cpp  main
#ifndef TESSARANFWUPGRADE_H
#define TESSARANFWUPGRADE_H

#include <stdint.h>

#include "image/ImageAssembly.h"
#include "platform/Platform.h"
#include "serial/UnitExchange.h"
#include "webfile/WebFileFormat.h"

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

extern int gComPortNumber;  // port of the unit (found or entered)
extern int gBaudRate;       // console rate of the unit (found or entered)

BOOL detectComPortAndBaudrate(void);

// Assembles gHexFirmware and writes FIRMWARE_FILE_NAME_FOR_WEB in the current
// folder, then waits for a key as the front end does.
BOOL createFirmwareFileForWeb(void);

// ---- Update procedure and front end ---------------------------------------------
#define UPLOAD_BAUD_RATE 115200  // the rate the unit takes its images at, whatever its console's
BOOL updateFirmware(void);
// The update again from the first image's announce, for the unit updateFirmware
// identified (the tool's retries): the unit must be back at its console, and
// the line at the rate it listens at.
BOOL updateFirmwareAgain(void);
// The end of the update alone, for a unit that accepted its last image (the
// tool's retries: after its wait for the answer had ended): the reboot wait
// and the banner read, at the console rate, which the caller sets.
BOOL waitForUnitRestart(void);
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

// ---- Bench routines ----------------------------------------------------------------
BOOL DEBUG_send_512kb(void);
BOOL DEBUG_send_512kb_2(void);
void printDataBufferInHex(const uint8_t *databuffer, int dataBufferLength);

#endif  // TESSARANFWUPGRADE_H
