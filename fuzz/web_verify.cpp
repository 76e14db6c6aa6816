// Fuzzes the web update file checker on arbitrary file contents, held in a
// buffer of exactly the file's size so that a read past its end is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "webfile/WebFileVerifier.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  unsigned char *file = (unsigned char *)malloc(size ? size : 1);
  if (size) memcpy(file, data, size);
  WebFileReport report;
  int ok = webFileVerifier_verify(file, size, &report);
  free(file);

  // A verdict is either clean or names its problem, in a terminated text.
  if (memchr(report.problem, 0, sizeof report.problem) == NULL) abort();
  if (ok != (report.problem[0] == 0)) abort();
  if (ok && (report.headerLength < 0 || report.decodedBytes < report.headerLength)) abort();
  return 0;
}
