// TessaranFwTool: the operations that sit beside the updater's console flow.
//
// The command line is parsed by CLI11, built from the command table. Errors
// go to stderr as "TessaranFwTool: ..."; a command line that cannot be
// understood ends with exit status 2.
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ToolCommands.h"
#include "platform/ExitStatus.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "updater/ReleaseSummary.h"
#include "updater/TessaranFwUpgrade.h"

#ifndef TOOL_VERSION
#define TOOL_VERSION "1.0.4"
#endif

static const ToolCommand kCommands[] = {
    {"image", "assemble an embedded release text or a HEX/MCS file into its flat image",
     addImageOptions, runImage, imageUsageError},
    {"export-web", "write the web update file FwToUpload.bin in the current folder",
     addExportWebOptions, runExportWeb, exportWebUsageError},
    {"verify-web", "check a web update file against its header", addVerifyWebOptions, runVerifyWeb,
     verifyWebUsageError},
    {"bench", "bench routines (test patterns, dump)", addBenchOptions, runBench, benchUsageError},
    {"ports", "list the COM ports the updater scans, with state", addPortsOptions, runPorts, NULL},
    {"probe", "find the unit and show its type, rate and versions (read-only); exit 3: no unit",
     addProbeOptions, runProbe, NULL},
    {"update",
     "update the unit without questions or key wait, then verify its version; exit 0 updated "
     "and verified, 1 failed or not verified, 3 no unit",
     addUpdateOptions, runUpdate, NULL},
    {"update-all",
     "update every unit found on the ports at once, each as update does; exit 0 all updated, "
     "1 any failed, 3 no unit",
     addUpdateAllOptions, runUpdateAll, NULL},
    {"history",
     "show the units this station's update and update-all handled, newest last, with counts, "
     "median time and units per hour; exit 1: the history cannot be read",
     addHistoryOptions, runHistory, NULL},
};

static const ToolCommand &commandNamed(const std::string &name) {
  for (const ToolCommand &command : kCommands)
    if (name == command.name) return command;
  return kCommands[0];  // CLI11 chooses among the table's names only
}

// The tool's version, the embedded release and each image in figures (the
// build's, so --version assembles nothing).
static std::string versionText(void) {
  std::string text = TOOL_NAME " " TOOL_VERSION "\nrelease " FIRMWARE_VERSION_TO_UPLOAD "\n";
  ReleaseImage images[RELEASE_IMAGE_COUNT];
  if (!summarizeEmbeddedRelease(images)) return text;
  static const char *const kRoles[RELEASE_IMAGE_COUNT] = {"MCU", "TX FPGA", "RX FPGA"};
  for (int entry = 0; entry < RELEASE_IMAGE_COUNT; entry++) {
    char line[256];
    if (images[entry].valid)
      snprintf(line, sizeof line, "image %d (%s) %s length %d checksum %u\n", entry, kRoles[entry],
               images[entry].name, images[entry].flatLength, (unsigned)images[entry].checkSum);
    else
      snprintf(line, sizeof line, "image %d (%s) %s does not assemble\n", entry, kRoles[entry],
               images[entry].name);
    text += line;
  }
  text.pop_back();  // CLI11 ends the text with its own line end
  return text;
}

// The help of a command with its own usage text: its description, a usage
// line that names no arguments, the options shown (-h/--help), the text.
class OwnUsageFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App *app, std::string name, CLI::AppFormatMode) const override {
    const std::vector<const CLI::Option *> shown = app->get_options([](const CLI::Option *option) {
      return option->get_group() == "Options" && option->nonpositional();
    });
    return make_description(app) + get_label("Usage") + ": " + name + " [" + get_label("OPTIONS") +
           "]\n" + make_group("Options", false, shown) + "\n" + make_footer(app);
  }
};

void setOwnUsage(CLI::App &command, const char *usage) {
  command.footer(usage);
  command.formatter(std::make_shared<OwnUsageFormatter>());
}

// Whether -h or --help comes before the first argument that is no option.
static bool helpBeforeArguments(char **arguments, int count) {
  for (int i = 0; i < count; i++) {
    const std::string argument = arguments[i];
    if (argument == "-h" || argument == "--help") return true;
    if (argument.size() < 2 || argument[0] != '-' || argument == "--") return false;
  }
  return false;
}

static int refusal(const std::string &message) {
  toolError_print("%s", message.c_str());
  fprintf(stderr, "Run with --help for more information.\n");
  return EXIT_USAGE;
}

// The exit status of a command line that CLI11 refused or answered itself
// (--help, --version).
static int commandLineError(CLI::App &app, const CLI::ParseError &error) {
  CLI::App *chosen = app.get_subcommands().empty() ? NULL : app.get_subcommands().front();
  const ToolCommand *command = chosen != NULL ? &commandNamed(chosen->get_name()) : NULL;
  if (command == NULL || command->usageError == NULL) {
    if (error.get_exit_code() == 0) return app.exit(error);
    return refusal(error.what());
  }
  // A command with its own usage text. Help asked for before its arguments
  // goes before their errors, and shows -h/--help even where the arguments
  // turned it off.
  const CLI::Option *help = chosen->get_help_ptr();
  const bool helpAsked = error.get_exit_code() == 0 || (help != NULL && help->count() > 0);
  if (help == NULL) chosen->set_help_flag("-h,--help", "Print this help message and exit");
  if (helpAsked) return error.get_exit_code() == 0 ? app.exit(error) : app.exit(CLI::CallForHelp());
  // Arguments before the command are the tool's error, though CLI11 may have
  // come upon one in the command's arguments first.
  if (app.remaining_size() > 0) return refusal(CLI::ExtrasError(TOOL_NAME, app.remaining()).what());
  return command->usageError(error);
}

int runTool(int argc, char **argv) {
  CLI::App app{"Operations beside the Tessaran firmware updater: images, web update file, "
               "ports, probe, scripted update.",
               TOOL_NAME};
  app.set_version_flag("--version", versionText, "show the version and the embedded release");
  app.require_subcommand(1);

  ToolOptions options;
  options.program = argv[0];
  for (const ToolCommand &entry : kCommands) {
    CLI::App *command = app.add_subcommand(entry.name, entry.help);
    entry.addOptions(*command, options);
    if (entry.usageError != NULL)
      command->preparse_callback([command, argc, argv](size_t left) {
        if (!helpBeforeArguments(argv + argc - left, (int)left)) command->set_help_flag();
      });
  }

  // The tool's name alone lists its commands, as its --help does.
  if (argc <= 1) {
    fputs(app.help().c_str(), stdout);
    return EXIT_UPDATE_DONE;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    return commandLineError(app, error);
  }
  return commandNamed(app.get_subcommands().front()->get_name()).run(options);
}

int runToolCommand(const char *name, int argc, char **argv) {
  std::string tool = TOOL_NAME, command = name;
  std::vector<char *> line = {&tool[0], &command[0]};
  for (int k = 0; k < argc; k++) line.push_back(argv[k]);
  line.push_back(NULL);
  return runTool((int)line.size() - 1, line.data());
}
