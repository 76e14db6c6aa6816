// Hex digits and hex bytes read from ASCII text, and the in-place text splitter.
#ifndef STRINGOPERATIONS_H
#define STRINGOPERATIONS_H

#include <stdint.h>

// "0"-"9" give 0-9, "A"-"F" and "a"-"f" give 10-15, anything else gives 0.
// Digit values by character code; every code that is not a hex digit (blank,
// NUL, "G"-"Z", bytes 0x80-0xFF) reads as the digit 0. Defined here so that
// the record operations and the release check inline it: they read every
// digit of a text several times, and a call per digit was most of their cost.
inline uint8_t int_from_hex_char(char aChar) {
  static constexpr uint8_t kHexDigitValue[256] = {
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x00
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x10
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x20
     0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  0,  0,  0,  0,  0,  0,  // 0x30
     0, 10, 11, 12, 13, 14, 15,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x40
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x50
     0, 10, 11, 12, 13, 14, 15,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x60
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x70
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x80
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0x90
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0xA0
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0xB0
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0xC0
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0xD0
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0xE0
     0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0xF0
  };
  return kHexDigitValue[(unsigned char)aChar];
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
