// The tool's messages on stderr, each one line: "TessaranFwTool: <text>".
#ifndef TOOLERROR_H
#define TOOLERROR_H

#include "platform/ToolName.h"

#ifdef __GNUC__
__attribute__((format(printf, 1, 2)))
#endif
void toolError_print(const char *format, ...);

#endif  // TOOLERROR_H
