#include "platform/ToolError.h"

#include <stdarg.h>
#include <stdio.h>

#include <string>

void toolError_print(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  const int length = vsnprintf(NULL, 0, format, arguments);
  va_end(arguments);
  // The line goes out in one write, as a single fprintf would write it.
  std::string line = TOOL_NAME ": ";
  if (length > 0) {
    std::string text((size_t)length + 1, '\0');
    vsnprintf(&text[0], text.size(), format, again);
    line.append(text.c_str(), (size_t)length);
  }
  va_end(again);
  line += '\n';
  fputs(line.c_str(), stderr);
}
