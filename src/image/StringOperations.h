// Hex digits and hex bytes read from ASCII text, and the in-place text splitter.
#ifndef STRINGOPERATIONS_H
#define STRINGOPERATIONS_H

#include <stdint.h>

// Digit values by character code: "0"-"9" give 0-9, "A"-"F" and "a"-"f" give
// 10-15, every other code (blank, NUL, "G"-"Z", bytes 0x80-0xFF) gives 0.
struct HexDigitValues {
  uint8_t value[256];
  constexpr HexDigitValues() : value() {
    for (int k = 0; k < 10; k++) value['0' + k] = (uint8_t)k;
    for (int k = 0; k < 6; k++) value['A' + k] = value['a' + k] = (uint8_t)(10 + k);
  }
};

// Defined here so that the record operations and the release check inline
// it: they read every digit of a text several times, and a call per digit was
// most of their cost.
inline uint8_t int_from_hex_char(char aChar) {
  static constexpr HexDigitValues kHexDigits;
  return kHexDigits.value[(unsigned char)aChar];
}

// One hex byte at the start of the string (one character: that digit alone).
inline uint8_t u8_from_hex_string(const char *inputString) {
  // Only the first two characters matter, so looking for the NUL among them
  // gives the same answer as measuring the whole string, without walking it.
  if (inputString == nullptr || inputString[0] == '\0') return 0;
  if (inputString[1] == '\0') return int_from_hex_char(inputString[0]);
  return (uint8_t)(int_from_hex_char(inputString[0]) * 16 + int_from_hex_char(inputString[1]));
}

char capitalizeChar(char aChar);

// Splits s in place at any character of ct; returns a heap table of piece
// pointers ended by a null entry (caller frees it), or null for null input.
char **str_split(char *s, const char *ct);

#endif  // STRINGOPERATIONS_H
