// Hex digits and hex bytes read from ASCII text, and the in-place text splitter.
#ifndef STRINGOPERATIONS_H
#define STRINGOPERATIONS_H

#include <stdint.h>

// "0"-"9" give 0-9, "A"-"F" and "a"-"f" give 10-15, anything else gives 0.
uint8_t int_from_hex_char(char aChar);
// One hex byte at the start of the string (one character: that digit alone).
uint8_t u8_from_hex_string(const char *inputString);
char capitalizeChar(char aChar);

// Splits s in place at any character of ct; returns a heap table of piece
// pointers ended by a null entry (caller frees it), or null for null input.
char **str_split(char *s, const char *ct);

#endif  // STRINGOPERATIONS_H
