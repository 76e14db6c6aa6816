// export-web's and verify-web's options, and their usage errors.
#include <stdio.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ToolCommands.h"

void addExportWebOptions(CLI::App &command, ToolOptions &) {
  setOwnUsage(command, EXPORT_WEB_USAGE);
}

int exportWebUsageError(const CLI::ParseError &) {
  fprintf(stderr, EXPORT_WEB_USAGE "\n");
  return 2;
}

void addVerifyWebOptions(CLI::App &command, ToolOptions &options) {
  std::vector<std::string> &files = options.verifyWeb.files;
  setOwnUsage(command, VERIFY_WEB_USAGE);
  command.add_option("FILE", files)->group("");
  // What CLI11 takes for an unknown option is a file name too; the "--" that
  // ends the options is not.
  command.allow_extras();
  command.final_callback([&command, &files] {
    for (const std::string &extra : command.remaining())
      if (extra != "--") files.push_back(extra);
  });
}

int verifyWebUsageError(const CLI::ParseError &) { return verifyWebUsage(); }
