// Fuzzes the reading of a UUCP lock file's PID on arbitrary file contents,
// held in a buffer of exactly the file's size so that a read past its end is
// caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "platform/posix/PortHolders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *file = (char *)malloc(size ? size : 1);
  if (size) memcpy(file, data, size);
  long pid = portHolders_lockFilePid(file, size);
  free(file);
  // A PID is positive and fits what a lock's ten digits (or an int) can hold.
  if (pid < 0 || pid > 9999999999L) abort();
  return 0;
}
