// The start-up and shut-down state of a run: the large working buffers, the
// writable copies of the embedded texts, and the last message before exit.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "firmware/BinImage.h"
#include "updater/TessaranFwUpgrade.h"


// Zero bytes after a copied text: they terminate it, since the catalogue's
// lengths do not count a terminator.
#define EMBEDDED_TEXT_PADDING 16

#define EMBEDDED_TEXT_COUNT ((int)(sizeof AUTOGEN_FILES / sizeof AUTOGEN_FILES[0]))

void dipsplayLastMessageToUserBeforeExit(const char *lastMessage) {
  // Written verbatim: a "%" in a message must show as itself.
  if (lastMessage != NULL) fputs(lastMessage, stdout);
  printf("\r\nPress any key to exit");
  fflush(stdout);
  _getch();
}

char *newCopyOfEmbeddedText(int catalogueIndex) {
  if (catalogueIndex < 0 || catalogueIndex >= EMBEDDED_TEXT_COUNT) return NULL;
  const int textLength = AUTOGEN_FILES[catalogueIndex].fileDataLength;
  if (textLength < 0) return NULL;

  char *copy = (char *)calloc((size_t)textLength + EMBEDDED_TEXT_PADDING, 1);
  if (copy == NULL) return NULL;
  memcpy(copy, AUTOGEN_FILES[catalogueIndex].fileData, (size_t)textLength);
  return copy;
}

BOOL allocateWorkingBuffers(void) {
  releaseWorkingBuffers();  // a second call starts afresh instead of leaking

  // 1. The microcontroller text, catalogue entry 0.
  gHexFirmware = newCopyOfEmbeddedText(0);

  // 2. The flat image buffer: 0xFF (erased flash) over the image area, the
  //    spare bytes after it zero.
  if (gHexFirmware != NULL) {
    gDataConcatenated = (uint8_t *)calloc(CONCAT_BUFFER_SIZE + 16, 1);
    if (gDataConcatenated != NULL) memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
  }

  // 3. The serial scratch buffer.
  if (gDataConcatenated != NULL) gDataBuffer = (char *)calloc(DATA_BUFFER_SIZE, 1);

  if (gHexFirmware == NULL || gDataConcatenated == NULL || gDataBuffer == NULL) {
    releaseWorkingBuffers();
    printf("\r\nERROR: Not enough memory to start the update.\r\n");
    return FALSE;
  }
  return TRUE;
}

void releaseWorkingBuffers(void) {
  free(gDataBuffer);
  gDataBuffer = NULL;
  free(gDataConcatenated);
  gDataConcatenated = NULL;
  free(gHexFirmware);
  gHexFirmware = NULL;
  free(gHexFPGA_Code);
  gHexFPGA_Code = NULL;
}
