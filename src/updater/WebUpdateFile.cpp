// The web update file: the microcontroller image as a five-line text header
// (maker, model, release, checksum, length) followed by its Base64 text in
// lines of FIRMWARE_CHUNCK_SIZE_FOR_WEB characters.
#include <stdio.h>
#include <string.h>

#include "updater/TessaranFwUpgrade.h"
#include "webfile/Encoder.h"
#include "webfile/FileAPI.h"

// 600 KiB: the Base64 text and its NUL for images of up to 460,797 bytes.
#define WEB_BASE64_BUFFER_SIZE 614400

// Too large for the stack; the whole text is produced in one encoder call.
static unsigned char bufferBase64[WEB_BASE64_BUFFER_SIZE];

BOOL createFirmwareFileForWeb(void) {
  char header[100];
  char tempString[25];
  int index;
  int dataLengthBase64 = WEB_BASE64_BUFFER_SIZE;
  int test;
  unsigned char tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 2];
  int remainingByte;
  int currentIndex;
  BOOL fileOk = 1;  // every file operation succeeded so far

  // 1. Maker, model and release lines.
  snprintf(header, sizeof(header), "%s%s\r\n", FIRMWARE_FILE_HEADER_FOR_WEB,
           FIRMWARE_VERSION_TO_UPLOAD);

  // 2. Assemble the embedded microcontroller text into the flat image.
  if (!ValidateFwAndConcatenateData(gHexFirmware)) {
    printf("\r\nERROR: Firmware data is not valid !\r\n");
    return 0;
  }
  // 3.
  printf("\r\n Firmware data is valid !\r\n");

  // 4. Checksum: 0 minus the byte sum, modulo 2^32.
  gDataConcatenatedCheckSum = imageCheckSum(gDataConcatenated, gDataConcatenatedLenght);

  // 5, 6. Checksum line, in unsigned decimal.
  snprintf(tempString, sizeof(tempString), "%u", (unsigned)gDataConcatenatedCheckSum);
  size_t used = strlen(header);
  snprintf(header + used, sizeof(header) - used, "%s\r\n", tempString);
  printf("\r\n Firmware CheckSum = %s !\r\n", tempString);
  printf("\r\n Firmware CheckSum u = %u !\r\n", (unsigned)gDataConcatenatedCheckSum);

  // 7. Length line.
  snprintf(tempString, sizeof(tempString), "%d", gDataConcatenatedLenght);
  used = strlen(header);
  snprintf(header + used, sizeof(header) - used, "%s\r\n", tempString);
  printf("\r\n Firmware data length = %d !\r\n", gDataConcatenatedLenght);

  // 8. The header, in a file created afresh (an existing one is emptied).
  fileOk &= FileAPI_CreateFile(FIRMWARE_FILE_NAME_FOR_WEB, 1);
  fileOk &= FileAPI_writeToFileBinary(header, (uint32_t)strlen(header));
  fileOk &= FileAPI_CloseFile();

  // 9. The whole Base64 text at once. An empty image has no body: the encoder
  // leaves the length untouched then, so it is set here.
  if (gDataConcatenatedLenght == 0) {
    dataLengthBase64 = 0;
  } else {
    test = base64_encode(bufferBase64, &dataLengthBase64, gDataConcatenated,
                         gDataConcatenatedLenght);
    if (test == -1) {
      // dataLengthBase64 now holds the size the text would need, beyond the
      // buffer: no body can be written from it.
      printf("\r\n ERROR BASE 64 !\r\n");
      printf("\r\nERROR: The image is too large, %s holds the header only and is incomplete !\r\n",
             FIRMWARE_FILE_NAME_FOR_WEB);
      return 0;
    }
  }

  // 10. The padding is written as "A" (zero bits) instead of "=".
  for (index = 1; index <= 4 && index <= dataLengthBase64; index++) {
    if (bufferBase64[dataLengthBase64 - index] == '=') bufferBase64[dataLengthBase64 - index] = 'A';
  }

  // 11. The body follows the header.
  fileOk &= FileAPI_OpenFile_ToWrite(FIRMWARE_FILE_NAME_FOR_WEB, 1);

  // 12. Full lines with CR LF between them.
  remainingByte = dataLengthBase64;
  currentIndex = 0;
  while (remainingByte > FIRMWARE_CHUNCK_SIZE_FOR_WEB) {
    memcpy(tempBufferBase64, &bufferBase64[currentIndex], FIRMWARE_CHUNCK_SIZE_FOR_WEB);
    currentIndex += FIRMWARE_CHUNCK_SIZE_FOR_WEB;
    remainingByte -= FIRMWARE_CHUNCK_SIZE_FOR_WEB;
    tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB] = '\r';
    tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 1] = '\n';
    fileOk &= FileAPI_writeToFileBinary(tempBufferBase64, FIRMWARE_CHUNCK_SIZE_FOR_WEB + 2);
  }

  // 13. The last line, without a line end.
  if (remainingByte > 0) {
    memcpy(tempBufferBase64, &bufferBase64[currentIndex], (size_t)remainingByte);
    fileOk &= FileAPI_writeToFileBinary(tempBufferBase64, (uint32_t)remainingByte);
  }

  // 14.
  fileOk &= FileAPI_CloseFile();
  if (!fileOk) {
    printf("\r\nERROR: %s could not be written completely !\r\n", FIRMWARE_FILE_NAME_FOR_WEB);
  }
  dipsplayLastMessageToUserBeforeExit("");
  return fileOk;
}
