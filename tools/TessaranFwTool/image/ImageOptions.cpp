// image's options on its CLI11 subcommand, and its usage errors.
#include <string>

#include <CLI/CLI.hpp>

#include "ToolCommands.h"
#include "platform/ToolError.h"

void addImageOptions(CLI::App &command, ToolOptions &options) {
  ImageOptions &image = options.image;
  setOwnUsage(command,
              "Usage: " TOOL_NAME
              " image --entry N -o FILE   (N: 0 MCU, 1 TX FPGA, 2 RX FPGA)\n"
              "       " TOOL_NAME
              " image HEXFILE -o FILE [--as-updater]\n"
              "  --as-updater  write the updater's image even of a text that would lose, overlap\n"
              "                or misplace data");
  CLI::Option *file = command.add_option("HEXFILE", image.input)->group("");
  command.add_option("--entry", image.entry)
      ->check(CLI::Validator(
          [](std::string &n) -> std::string {
            if (n.size() == 1 && n[0] >= '0' && n[0] < '0' + CATALOGUE_ENTRIES)
              return std::string();
            return "takes 0, 1 or 2";
          },
          ""))
      ->excludes(file)
      ->group("");
  command.add_option("-o", image.output)->group("");
  command.add_flag("--as-updater", image.asUpdater)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
      ->disable_flag_override()
      ->group("");
}

int imageUsageError(const CLI::ParseError &error) {
  // --entry's value is the only one CLI11 checks here.
  if (dynamic_cast<const CLI::ValidationError *>(&error) != NULL)
    toolError_print("image: --entry takes 0, 1 or 2");
  return imageUsage();
}
