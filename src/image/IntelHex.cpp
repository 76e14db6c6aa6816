// Operations on one Intel HEX record line: ":" first, line end already removed.
//
// Every read stays inside the line's own characters: a line shorter than its
// full standard length (11 + 2n characters) is not valid, and the operations
// that do not validate first look for the NUL before they read a field.
#include "image/IntelHex.h"

#include <stdlib.h>
#include <string.h>

// The checksum walk counts n + 4 bytes in 8 bits, so n may be 251 at most.
#define INTEL_HEX_MAX_DATA_LENGTH 251
// Start code, byte count, load offset, type and checksum: 11 characters.
#define INTEL_HEX_FRAME_LENGTH 11
#define INTEL_HEX_TYPE_POSITION 8

uint8_t intel_hex_start_code_present(const char *intelHexString) {
  return intelHexString[0] == ':' ? 1 : 0;
}

uint8_t intel_hex_line_data_length(const char *intelHexString) {
  // An empty string has no count field; never read past its NUL.
  if (intelHexString[0] == '\0') return 0;
  return u8_from_hex_string(intelHexString + 1);
}

uint16_t intel_hex_line_address(const char *intelHexString) {
  if (intel_hex_line_is_valid(intelHexString) != INTEL_HEX_STRING_OK) return 0;
  return (uint16_t)(u8_from_hex_string(intelHexString + 3) * 256 +
                    u8_from_hex_string(intelHexString + 5));
}

uint8_t intel_hex_line_record_type(const char *intelHexString) {
  // Only the second type character counts. A line that ends before it reads
  // as if that character were the NUL, without reading past the line.
  if (strnlen(intelHexString, INTEL_HEX_TYPE_POSITION) < INTEL_HEX_TYPE_POSITION)
    return (uint8_t)('\0' - '0');
  char typeChar = intelHexString[INTEL_HEX_TYPE_POSITION];
  return (uint8_t)(typeChar - '0');
}

uint8_t intel_hex_line_is_data_record(const char *intelHexString) {
  return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_DATA ? 1 : 0;
}

uint8_t intel_hex_line_is_extended_linear_address_record(const char *intelHexString) {
  return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS ? 1
                                                                                                 : 0;
}

uint8_t intel_hex_line_is_valid(const char *intelHexString) {
  if (intel_hex_start_code_present(intelHexString) == 0) return INTEL_HEX_STRING_INVALID;

  uint8_t n = intel_hex_line_data_length(intelHexString);
  if (n > INTEL_HEX_MAX_DATA_LENGTH) return INTEL_HEX_STRING_INVALID;

  // Characters between the end of the data and the last two are not examined,
  // but the line must hold at least every field its byte count announces.
  size_t length = strlen(intelHexString);
  if (length < (size_t)INTEL_HEX_FRAME_LENGTH + 2u * n) return INTEL_HEX_STRING_INVALID;

  // The length check puts every byte of the sum inside the line, so the digits
  // are read in pairs without looking for its end (u8_checksum_from_hex_string
  // does the same sum, looking).
  uint8_t data_sum_expected = u8_from_hex_string(intelHexString + length - 2);
  uint8_t data_sum_calculated = 0;
  for (const char *p = intelHexString + 1; p < intelHexString + 1 + 2 * (n + 4); p += 2)
    data_sum_calculated =
        (uint8_t)(data_sum_calculated - (int_from_hex_char(p[0]) * 16 + int_from_hex_char(p[1])));
  return data_sum_expected == data_sum_calculated ? INTEL_HEX_STRING_OK : INTEL_HEX_STRING_INVALID;
}

uint8_t u8_checksum_from_hex_string(const char *hexString, uint8_t numberOfBytes) {
  uint8_t data_sum = 0;
  const char *p = hexString;
  for (unsigned k = 0; k < numberOfBytes; k++) {
    // A string that ends early adds nothing more: never step over its NUL.
    if (p[0] == '\0') break;
    data_sum = (uint8_t)(data_sum - u8_from_hex_string(p));
    if (p[1] == '\0') break;
    p += 2;
  }
  return data_sum;
}

uint8_t *new_u8_data_array_from_intel_hex_string(const char *intelHexString) {
  uint8_t n = intel_hex_line_data_length(intelHexString);
  if (intel_hex_line_is_valid(intelHexString) != INTEL_HEX_STRING_OK) return NULL;

  // malloc(0) may give a null pointer; an empty record still gets a real block.
  uint8_t *data = (uint8_t *)malloc(n > 0 ? n : 1);
  if (data == NULL) return NULL;
  for (unsigned k = 0; k < n; k++) data[k] = u8_from_hex_string(intelHexString + 9 + 2 * k);
  return data;
}
