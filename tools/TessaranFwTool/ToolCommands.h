// TessaranFwTool's commands. Each is one entry of the command table: its name,
// its help, the function that adds its options to its CLI11 subcommand and the
// function that runs it on the values parsed. runTool builds the command line
// from the table.
#ifndef TOOLCOMMANDS_H
#define TOOLCOMMANDS_H

#include <string>
#include <vector>

#include "bench/BenchCommand.h"
#include "history/HistoryCommand.h"
#include "image/ImageCommand.h"
#include "platform/ToolName.h"
#include "ports/PortsCommand.h"
#include "probe/ProbeCommand.h"
#include "update-all/UpdateAllCommand.h"
#include "update/UpdateCommand.h"
#include "web/WebCommands.h"

namespace CLI {
class App;
class ParseError;
}  // namespace CLI

// The values of every command's options; a command fills its own member.
struct ToolOptions {
  const char *program = "";  // argv[0]: update-all starts its children with it
  ImageOptions image;
  VerifyWebOptions verifyWeb;
  BenchOptions bench;
  PortsOptions ports;
  ProbeOptions probe;
  ScriptedUpdateOptions update;
  std::string updateChannel;  // update's --progress-fd
  UpdateAllCommandLine updateAll;
  HistoryOptions history;
};

struct ToolCommand {
  const char *name;
  const char *help;
  void (*addOptions)(CLI::App &command, ToolOptions &options);
  int (*run)(const ToolOptions &options);  // returns the exit status
  // Set for a command with its own usage text: on a command line error it is
  // printed instead of CLI11's message, and -h/--help is help only before
  // the command's first plain argument. Returns the exit status.
  int (*usageError)(const CLI::ParseError &error);
};

// The whole command line, argv[0] first; returns the process exit status.
int runTool(int argc, char **argv);

// The help of a command with its own usage text: USAGE after the options, and
// no arguments in CLI11's usage line.
void setOwnUsage(CLI::App &command, const char *usage);

// Each command's options, in its own folder (NAME/...Options.cpp, the files
// that compile CLI11 besides TessaranFwTool.cpp).
void addImageOptions(CLI::App &command, ToolOptions &options);
void addExportWebOptions(CLI::App &command, ToolOptions &options);
void addVerifyWebOptions(CLI::App &command, ToolOptions &options);
void addBenchOptions(CLI::App &command, ToolOptions &options);
void addPortsOptions(CLI::App &command, ToolOptions &options);
void addProbeOptions(CLI::App &command, ToolOptions &options);
void addUpdateOptions(CLI::App &command, ToolOptions &options);
void addUpdateAllOptions(CLI::App &command, ToolOptions &options);
void addHistoryOptions(CLI::App &command, ToolOptions &options);

// Each command's run on its parsed values: the table's `run`.
int runImage(const ToolOptions &options);
int runExportWeb(const ToolOptions &options);
int runVerifyWeb(const ToolOptions &options);
int runBench(const ToolOptions &options);
int runPorts(const ToolOptions &options);
int runProbe(const ToolOptions &options);
int runUpdate(const ToolOptions &options);
int runUpdateAll(const ToolOptions &options);
int runHistory(const ToolOptions &options);

// The usage errors of the commands with a usage text of their own, and their
// usage printed on stderr (exit status 2).
int imageUsageError(const CLI::ParseError &error);
int exportWebUsageError(const CLI::ParseError &error);
int verifyWebUsageError(const CLI::ParseError &error);
int benchUsageError(const CLI::ParseError &error);

// The command NAME with the arguments after it, as on the tool's command line
// (runTool): `runToolCommand("image", argc, argv)` for `image --entry 0 -o FILE`.
int runToolCommand(const char *name, int argc, char **argv);

#endif  // TOOLCOMMANDS_H
