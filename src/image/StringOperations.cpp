// Hex digits and hex bytes read from ASCII text, and the in-place text splitter.
#include "image/StringOperations.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Digit values by character code; every code that is not a hex digit (blank,
// NUL, "G"-"Z", bytes 0x80-0xFF) reads as the digit 0. A table keeps the
// per-digit cost flat: image assembly reads every digit of a text several times.
static const uint8_t kHexDigitValue[256] = {
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

uint8_t int_from_hex_char(char aChar) { return kHexDigitValue[(unsigned char)aChar]; }

uint8_t u8_from_hex_string(const char *inputString) {
  // Only the first two characters matter, so looking for the NUL among them
  // gives the same answer as measuring the whole string, without walking it.
  if (inputString == NULL || inputString[0] == '\0') return 0;
  if (inputString[1] == '\0') return int_from_hex_char(inputString[0]);
  return (uint8_t)(int_from_hex_char(inputString[0]) * 16 + int_from_hex_char(inputString[1]));
}

char capitalizeChar(char aChar) {
  if (aChar >= 'a' && aChar <= 'z') return (char)(aChar - 'a' + 'A');
  return aChar;
}

char **str_split(char *s, const char *ct) {
  if (s == NULL || ct == NULL) return NULL;

  char **tab = NULL;
  size_t size = 1;  // capacity of tab, in entries
  size_t i = 0;     // pieces stored

  for (char *piece = strtok(s, ct); piece != NULL; piece = strtok(NULL, ct)) {
    if (i + 1 >= size) {
      size *= 2;
      char **grown = (char **)realloc(tab, size * sizeof(char *));
      if (grown == NULL) {
        // The table cannot hold the pieces: the text cannot be processed at
        // all. This is a failure, so the process ends with a failure status.
        free(tab);
        printf("Memoire insuffisante\n");
        fflush(stdout);
        exit(EXIT_FAILURE);
      }
      tab = grown;
    }
    tab[i] = piece;
    i++;
  }

  // A text with no piece at all yields no table: there is nothing to return
  // the pieces in, and callers treat the null result as "nothing usable".
  if (tab == NULL) return NULL;
  tab[i] = NULL;
  return tab;
}
