// TessaranFwTool's commands. Each is one entry of the command table: its name,
// its help, the function that adds its options to its CLI11 subcommand and the
// function that runs it on the values parsed. runTool builds the command line
// from the table.
#ifndef TOOLCOMMANDS_H
#define TOOLCOMMANDS_H

#include <optional>
#include <string>
#include <vector>

#include "PortCommands.h"
#include "UpdateCommand.h"
#include "fleet/FleetRun.h"
#include "update-all/UpdateAllCommand.h"
#include "platform/ToolName.h"

namespace CLI {
class App;
class ParseError;
}  // namespace CLI

struct ImageOptions {
  std::optional<std::string> input;   // HEXFILE
  int entry = -1;                     // --entry N; -1: HEXFILE
  std::optional<std::string> output;  // -o FILE
  bool asUpdater = false;
};

struct VerifyWebOptions {
  // FILE, and any argument CLI11 takes for an option: a file name may begin with '-'.
  std::vector<std::string> files;
};

struct BenchOptions {
  std::string routine;  // send-512kb, send-512kb-2 or dump
  int port = 0;         // send-512kb's PORT and BAUD; 0: not given
  int baud = 0;
};

struct HistoryOptions {
  std::string path;  // --history FILE; empty: the default
  bool json = false, csv = false;
  std::string since, until;  // as given: dates or UTC times
  std::string result, label, slot, port;
};

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

// The usage texts of the commands that have their own.
#define EXPORT_WEB_USAGE "Usage: " TOOL_NAME " export-web"
#define VERIFY_WEB_USAGE "Usage: " TOOL_NAME " verify-web [FILE]"
#define BENCH_USAGE                                       \
  "Usage: " TOOL_NAME " bench send-512kb PORT BAUD\n"    \
  "       " TOOL_NAME " bench send-512kb-2\n"            \
  "       " TOOL_NAME " bench dump"
// The catalogue entries `image --entry` takes: 0 MCU, 1 TX FPGA, 2 RX FPGA.
#define CATALOGUE_ENTRIES 3

// Each command's options (CommandOptions.cpp, the one file that compiles CLI11
// besides main's).
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

// The history a unit is recorded in: --history FILE, else the default, none
// (empty) with --no-history.
std::string historyPathFor(const std::string &option, bool none);
// Appends the unit's record to the history at PATH (the default's, when
// empty); "" when done, else the line that says why not, for the caller to
// print as the tool's own. A history that cannot be written fails nothing.
std::string recordInHistory(const std::string &path, const FleetRecord &record);
// The line recordInHistory appends for RECORD.
std::string historyLine(const FleetRecord &record);

// The usage errors of the commands with a usage text of their own, and their
// usage printed on stderr (exit status 2).
int imageUsage(void);
int verifyWebUsage(void);
int benchUsage(void);
int imageUsageError(const CLI::ParseError &error);
int exportWebUsageError(const CLI::ParseError &error);
int verifyWebUsageError(const CLI::ParseError &error);
int benchUsageError(const CLI::ParseError &error);

// The command NAME with the arguments after it, as on the tool's command line
// (runTool): `runToolCommand("image", argc, argv)` for `image --entry 0 -o FILE`.
int runToolCommand(const char *name, int argc, char **argv);

#endif  // TOOLCOMMANDS_H
