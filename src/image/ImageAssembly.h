// Image assembly: an Intel HEX or MCS text turned into the flat binary image
// in gDataConcatenated, and the texts and image buffer it works on.
#ifndef IMAGEASSEMBLY_H
#define IMAGEASSEMBLY_H

#include <stdint.h>

#include "platform/Platform.h"

#define CONCAT_BUFFER_SIZE (4 * 1024 * 1024)  // flat image buffer (plus 16 spare bytes)

// The release carried by the updater.
#define FIRMWARE_VERSION_TO_UPLOAD "1.0.4"

extern uint8_t *gDataConcatenated;          // CONCAT_BUFFER_SIZE + 16 bytes, flat image
extern int gDataConcatenatedLenght;         // length of the image last assembled
extern uint32_t gDataConcatenatedCheckSum;  // 0 minus the image's byte sum
extern char *gHexFirmware;                  // heap copy of the microcontroller text
extern char *gHexFPGA_Code;                 // heap copy of the chosen FPGA text

BOOL ValidateFwAndConcatenateData(char *gHexData);
BOOL StrRemoveNL(char *str, char ch);
// 0 minus the sum of the first `length` bytes, modulo 2^32.
uint32_t imageCheckSum(const uint8_t *image, int length);

#endif  // IMAGEASSEMBLY_H
