// The companion tool's name, with which its messages begin.
#ifndef TOOLNAME_H
#define TOOLNAME_H

#define TOOL_NAME "TessaranFwTool"

#endif  // TOOLNAME_H
