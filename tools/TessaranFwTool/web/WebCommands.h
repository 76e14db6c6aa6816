// export-web and verify-web: the web update file written and checked.
#ifndef WEBCOMMANDS_H
#define WEBCOMMANDS_H

#include <string>
#include <vector>

#include "platform/ToolName.h"

struct VerifyWebOptions {
  // FILE, and any argument CLI11 takes for an option: a file name may begin with '-'.
  std::vector<std::string> files;
};

// The usage texts of the two commands.
#define EXPORT_WEB_USAGE "Usage: " TOOL_NAME " export-web"
#define VERIFY_WEB_USAGE "Usage: " TOOL_NAME " verify-web [FILE]"

// verify-web's usage on stderr; exit status 2.
int verifyWebUsage(void);

#endif  // WEBCOMMANDS_H
