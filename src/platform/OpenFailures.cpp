#include "platform/OpenFailures.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

static struct {
  int failed;
  PortOpenFailure failure;
} gRecord[OPEN_FAILURES_LAST_PORT + 1];

void openFailures_note(int port, const PortOpenFailure *failure) {
  if (port < 1 || port > OPEN_FAILURES_LAST_PORT) return;
  gRecord[port].failed = failure != NULL;
  if (failure != NULL) gRecord[port].failure = *failure;
}

int openFailures_find(int port, PortOpenFailure *out) {
  if (port < 1 || port > OPEN_FAILURES_LAST_PORT || !gRecord[port].failed) return 0;
  if (out != NULL) *out = gRecord[port].failure;
  return 1;
}

int openFailures_portOfName(const char *name) {
  if (name == NULL) return 0;
  if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (toupper((unsigned char)name[0]) != 'C' || toupper((unsigned char)name[1]) != 'O' ||
      toupper((unsigned char)name[2]) != 'M' || !isdigit((unsigned char)name[3]))
    return 0;
  char *end = NULL;
  long number = strtol(name + 3, &end, 10);
  if (*end != '\0' || number < 1 || number > OPEN_FAILURES_LAST_PORT) return 0;
  return (int)number;
}
