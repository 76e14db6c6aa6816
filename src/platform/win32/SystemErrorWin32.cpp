// GetLastError and its message. Windows calls here return non-zero upon
// success, 0 upon failure.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "platform/SystemError.h"
#include "platform/win32/SystemMessageWin32.h"

void systemError_capture(SystemError *error) {
  const DWORD code = GetLastError();
  error->code = (long)code;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                code, 0, error->text, sizeof error->text, NULL);
  if (length == 0) snprintf(error->text, sizeof error->text, "unknown error");
  // The system's text ends in CR LF: one record stays one line.
  for (char *c = error->text; *c != '\0'; c++)
    if (*c == '\r' || *c == '\n') *c = ' ';
  size_t end = strlen(error->text);
  while (end > 0 && error->text[end - 1] == ' ') error->text[--end] = '\0';
}

void systemError_restore(const SystemError *error) { SetLastError((DWORD)error->code); }

bool systemError_isUnsupported(const SystemError *error) {
  return error->code == ERROR_INVALID_FUNCTION || error->code == ERROR_NOT_SUPPORTED;
}

const char *systemError_source(void) { return "GetLastError"; }

std::string systemError_messageOf(DWORD code) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text,
                 sizeof text, NULL);
  std::string message = text;
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message + " (" + std::to_string(code) + ")";
}
