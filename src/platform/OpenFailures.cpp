#include "platform/OpenFailures.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <map>

// The failed opens only: a port's entry goes at its next successful open.
static std::map<int, PortOpenFailure> gFailures;

void openFailures_note(int port, const PortOpenFailure *failure) {
  if (port < 0) return;
  if (failure != NULL) gFailures[port] = *failure;
  else gFailures.erase(port);
}

int openFailures_find(int port, PortOpenFailure *out) {
  const auto found = gFailures.find(port);
  if (port < 0 || found == gFailures.end()) return 0;
  if (out != NULL) *out = found->second;
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
