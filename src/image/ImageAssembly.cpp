// Image assembly: an Intel HEX or MCS text turned into the flat binary image
// in gDataConcatenated, 0xFF where no record puts data.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/ImageAssembly.h"
#include "image/IntelHex.h"
#include "image/StringOperations.h"

uint8_t *gDataConcatenated = NULL;
int gDataConcatenatedLenght = 0;
uint32_t gDataConcatenatedCheckSum = 0;
char *gHexFirmware = NULL;
char *gHexFPGA_Code = NULL;

// ":" plus one piece plus the NUL: a piece may have 98 characters, line end
// included.
#define INTEL_HEX_LINE_BUFFER_SIZE 100
#define INTEL_HEX_MAX_PIECE_LENGTH (INTEL_HEX_LINE_BUFFER_SIZE - 2)

static void printInvalidLine(const char *line) {
  printf("\r\n intel_hex_line_is_valid \r\n");
  printf("%s\r\n", line);
}

BOOL StrRemoveNL(char *str, char ch) {
  if (str == NULL) return 1;
  // One pass up to the string's original end; with ch = NUL the string then
  // ends before its first line-end character.
  for (char *p = str; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') *p = ch;
  }
  return 1;
}

uint32_t imageCheckSum(const uint8_t *image, int length) {
  uint32_t sum = 0;
  if (image == NULL) return 0;
  for (int i = 0; i < length; i++) sum += image[i];
  return 0u - sum;
}

// Places one record line (":" first, line end removed) into the image.
// FALSE when the line is not a sound record or would reach outside the image
// buffer; nothing of such a line is placed.
static BOOL placeRecord(const char *line, uint32_t *memory_offset) {
  // The record must be sound before anything is taken from it.
  if (intel_hex_line_is_valid(line) != INTEL_HEX_STRING_OK) return 0;

  // Extended linear address: only bits 16-23 reach the image.
  if (intel_hex_line_is_extended_linear_address_record(line)) {
    if (intel_hex_line_data_length(line) < 2) return 0;
    uint8_t *data_contents = new_u8_data_array_from_intel_hex_string(line);
    if (data_contents != NULL) {
      *memory_offset = (uint32_t)data_contents[1] * 65536u;
      free(data_contents);
    }
  }

  // Data: every byte at its flat offset, which must stay in the buffer. The
  // line is known valid here, so its fields are read straight from it rather
  // than through the operations that validate it again.
  if (intel_hex_line_is_data_record(line)) {
    uint32_t address =
        (uint32_t)(u8_from_hex_string(line + 3) * 256u + u8_from_hex_string(line + 5)) +
        *memory_offset;
    uint8_t data_length = intel_hex_line_data_length(line);
    if (address + data_length > (uint32_t)CONCAT_BUFFER_SIZE) return 0;
    const char *data_contents = line + 9;
    for (int i = 0; i < data_length; i++)
      gDataConcatenated[address + i] = u8_from_hex_string(data_contents + 2 * i);
    gDataConcatenatedLenght = (int)(address + data_length);
  }
  // Every other record type is passed over; the end-of-file record does not
  // end the walk.
  return 1;
}

BOOL ValidateFwAndConcatenateData(char *gHexData) {
  char intelHexStringLine[INTEL_HEX_LINE_BUFFER_SIZE];
  uint32_t memory_offset = 0;

  if (gDataConcatenated == NULL) {
    printf("\r\nNUL gDataConcatenated \r\n");
    return 0;
  }
  memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
  gDataConcatenatedLenght = 0;

  char **extractedHexLine = str_split(gHexData, ":");
  if (extractedHexLine == NULL) {
    printf("\r\nNUL extractedHexLine \r\n");
    return 0;
  }

  BOOL result = 1;
  for (size_t piece = 0; extractedHexLine[piece] != NULL; piece++) {
    const char *text = extractedHexLine[piece];
    const size_t recordLength = strcspn(text, "\r\n");
    const size_t pieceLength = recordLength + strlen(text + recordLength);

    // The line: ":" and the piece, without its line end. A piece too long for
    // the line buffer is cut to what fits, shown, and rejects the text. The
    // line ends at the first line end, as StrRemoveNL(line, '\0') would cut
    // it, found without walking the rest of the piece.
    const BOOL fits = pieceLength <= INTEL_HEX_MAX_PIECE_LENGTH;
    const size_t copied = fits ? pieceLength : INTEL_HEX_MAX_PIECE_LENGTH;
    const size_t kept = recordLength < copied ? recordLength : copied;
    intelHexStringLine[0] = ':';
    memcpy(intelHexStringLine + 1, text, kept);
    intelHexStringLine[kept + 1] = '\0';

    if (!fits || !placeRecord(intelHexStringLine, &memory_offset)) {
      printInvalidLine(intelHexStringLine);
      result = 0;
      break;
    }
  }

  free(extractedHexLine);
  return result;
}
