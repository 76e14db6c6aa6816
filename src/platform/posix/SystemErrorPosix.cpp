// errno and its text.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "platform/SystemError.h"

void systemError_capture(SystemError *error) {
  const int code = errno;
  error->code = code;
  snprintf(error->text, sizeof error->text, "%s", strerror(code));
}

void systemError_restore(const SystemError *error) { errno = (int)error->code; }

bool systemError_isUnsupported(const SystemError *error) {
  return error->code == ENOTTY || error->code == EINVAL;
}

const char *systemError_source(void) { return "errno"; }
