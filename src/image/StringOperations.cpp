// Hex digits and hex bytes read from ASCII text, and the in-place text splitter.
#include "image/StringOperations.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
