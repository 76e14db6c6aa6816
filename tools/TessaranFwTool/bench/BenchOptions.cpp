// bench's arguments on its CLI11 subcommand, and its usage error.
#include <stdlib.h>

#include <string>

#include <CLI/CLI.hpp>

#include "ToolCommands.h"

int benchUsageError(const CLI::ParseError &) { return benchUsage(); }

// A whole positive decimal number, nothing else.
static int parsePositive(const char *text, int *value) {
  char *end = NULL;
  long v = strtol(text, &end, 10);
  if (end == text || *end != 0 || v <= 0 || v > 0x7FFFFFFF) return 0;
  *value = (int)v;
  return 1;
}

// PORT and BAUD as parsePositive reads them, written back plainly: CLI11's own
// conversion would read "010" as octal.
static CLI::Validator positiveDecimal(void) {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        int value = 0;
        if (!parsePositive(text.c_str(), &value)) return "expects a positive number";
        text = std::to_string(value);
        return std::string();
      },
      "");
}

void addBenchOptions(CLI::App &command, ToolOptions &options) {
  BenchOptions &bench = options.bench;
  setOwnUsage(command, BENCH_USAGE);
  command.add_option("ROUTINE", bench.routine)
      ->check(CLI::IsMember({"send-512kb", "send-512kb-2", "dump"}))
      ->group("");
  command.add_option("PORT", bench.port)->transform(positiveDecimal())->group("");
  command.add_option("BAUD", bench.baud)->transform(positiveDecimal())->group("");
}
