// Operations on one Intel HEX record line: ":" first, line end already removed.
#ifndef INTELHEX_H
#define INTELHEX_H

#include <stdint.h>
#include "image/StringOperations.h"

#define INTEL_HEX_RECORD_DATA 0
#define INTEL_HEX_RECORD_EOF 1
#define INTEL_HEX_RECORD_EXTENDED_SEGMENT_ADDRESS 2
#define INTEL_HEX_RECORD_START_SEGMENT_ADDRESS 3
#define INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS 4
#define INTEL_HEX_RECORD_START_LINEAR_ADDRESS 5

#define INTEL_HEX_STRING_OK 1
#define INTEL_HEX_STRING_INVALID 0

uint8_t intel_hex_start_code_present(const char *intelHexString);
uint8_t intel_hex_line_data_length(const char *intelHexString);
uint16_t intel_hex_line_address(const char *intelHexString);
uint8_t intel_hex_line_record_type(const char *intelHexString);
uint8_t intel_hex_line_is_data_record(const char *intelHexString);
uint8_t intel_hex_line_is_extended_linear_address_record(const char *intelHexString);
uint8_t intel_hex_line_is_valid(const char *intelHexString);
uint8_t u8_checksum_from_hex_string(const char *hexString, uint8_t numberOfBytes);
// n data bytes in a new array the caller frees; null for a line that is not valid.
uint8_t *new_u8_data_array_from_intel_hex_string(const char *intelHexString);

#endif  // INTELHEX_H
