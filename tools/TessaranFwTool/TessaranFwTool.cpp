// TessaranFwTool: the operations that sit beside the updater's console flow.
//
// The command line is parsed by CLI11. The older commands (image, export-web,
// verify-web, bench) take their arguments as before: their subcommands hand
// everything after the command name to their run*Command functions.
// Errors go to stderr as "TessaranFwTool: ..."; a command line that cannot be
// understood ends with exit status 2.
#include <stdio.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "CommandLineValues.h"
#include "PortCommands.h"
#include "ToolCommands.h"
#include "UpdateCommand.h"
#include "fleet/Fleet.h"
#include "fleet/ProgressChannel.h"
#include "platform/ExitStatus.h"
#include "updater/ReleaseSummary.h"
#include "updater/TessaranFwUpgrade.h"

#define TOOL_NAME "TessaranFwTool"
#ifndef TOOL_VERSION
#define TOOL_VERSION "1.0.4"
#endif

// The tool's version, the embedded release and each image in figures.
static std::string versionText(void) {
  std::string text = TOOL_NAME " " TOOL_VERSION "\nrelease " FIRMWARE_VERSION_TO_UPLOAD "\n";
  if (!allocateWorkingBuffers()) return text;
  ReleaseImage images[RELEASE_IMAGE_COUNT];
  summarizeEmbeddedRelease(images);
  releaseWorkingBuffers();
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

// A subcommand whose arguments go unparsed to an older command's function.
static CLI::App *forwardingCommand(CLI::App &app, const char *name, const char *description,
                                   const char *usage) {
  CLI::App *command = app.add_subcommand(name, description);
  command->prefix_command();
  command->footer(usage);
  return command;
}

static int runForwarded(CLI::App *command, int (*run)(int, char **)) {
  std::vector<std::string> arguments = command->remaining();
  std::vector<char *> argv;
  for (std::string &argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(NULL);
  return run((int)arguments.size(), argv.data());
}

static void addPortOption(CLI::App *command, int *port) {
  command->add_option("--port", *port,
                      "COM port of the unit, 1-255: 3 or COM3 (default: scan COM1 to COM32)")
      ->transform(commandLine_portValidator())
      ->option_text("N");
}

static void addBaudOption(CLI::App *command, int *baud) {
  command->add_option("--baud", *baud, "console baud rate of the unit (default: try 115200, "
                                       "9600, 57600, 4800, 2400, 1200)")
      ->check(commandLine_positiveValidator("a baud rate, a positive number such as 115200"))
      ->option_text("RATE");
}

static void addTraceOption(CLI::App *command, std::string *path) {
  command->add_option("--trace", *path,
                      "append a wire trace of the run to FILE (also FWUPGRADE_TRACE=FILE)")
      ->option_text("FILE");
}

int main(int argc, char **argv) {
  CLI::App app{"Operations beside the Tessaran firmware updater: images, web update file, "
               "ports, probe, scripted update.",
               TOOL_NAME};
  app.set_version_flag("--version", versionText, "show the version and the embedded release");
  app.require_subcommand(1);

  CLI::App *image = forwardingCommand(
      app, "image", "assemble an embedded release text or a HEX/MCS file into its flat image",
      "Usage: " TOOL_NAME " image --entry N -o FILE   (N: 0 MCU, 1 TX FPGA, 2 RX FPGA)\n"
      "       " TOOL_NAME " image HEXFILE -o FILE [--as-updater]\n"
      "  --as-updater  write the updater's image even of a text that would lose, overlap\n"
      "                or misplace data");
  CLI::App *exportWeb = forwardingCommand(
      app, "export-web", "write the web update file FwToUpload.bin in the current folder",
      "Usage: " TOOL_NAME " export-web");
  CLI::App *verifyWeb = forwardingCommand(app, "verify-web",
                                          "check a web update file against its header",
                                          "Usage: " TOOL_NAME " verify-web [FILE]");
  CLI::App *bench = forwardingCommand(app, "bench", "bench routines (test patterns, dump)",
                                      "Usage: " TOOL_NAME " bench send-512kb PORT BAUD\n"
                                      "       " TOOL_NAME " bench send-512kb-2\n"
                                      "       " TOOL_NAME " bench dump");

  PortsOptions portsOptions;
  CLI::App *ports = app.add_subcommand("ports", "list the COM ports the updater scans, with state");
  ports->add_flag("--probe", portsOptions.probe,
                  "ask each free port for a unit (read-only commands only)");
  ports->add_flag("--json", portsOptions.json, "print one JSON array");
  addTraceOption(ports, &portsOptions.tracePath);

  ProbeOptions probeOptions;
  CLI::App *probe = app.add_subcommand(
      "probe", "find the unit and show its type, rate and versions (read-only); exit 3: no unit");
  addPortOption(probe, &probeOptions.port);
  addBaudOption(probe, &probeOptions.baud);
  probe->add_flag("--json", probeOptions.json, "print one JSON object");
  addTraceOption(probe, &probeOptions.tracePath);

  ScriptedUpdateOptions updateOptions;
  bool noVerify = false;
  CLI::App *update = app.add_subcommand(
      "update", "update the unit without questions or key wait, then verify its version; "
                "exit 0 updated and verified, 1 failed or not verified, 3 no unit");
  addPortOption(update, &updateOptions.port);
  addBaudOption(update, &updateOptions.baud);
  update->add_flag("--no-verify", noVerify, "do not read the version back after the reboot");
  addTraceOption(update, &updateOptions.tracePath);
  std::string progressChannel;
  update->add_option("--progress-fd", progressChannel,
                     "write the update's steps, percentages and facts on this descriptor (a handle "
                     "value on Windows), one per line: update-all reads its children so")
      ->option_text("X")
      ->group("");  // update-all's own, as --probe-port is

  FleetOptions fleetOptions;
  std::string fleetPorts, probeChannel;
  int probePort = 0;
  CLI::App *updateAll = app.add_subcommand(
      "update-all", "update every unit found on the ports at once, each as update does; exit 0 "
                    "all updated, 1 any failed, 3 no unit");
  addUpdateAllOptions(*updateAll, fleetOptions, fleetPorts, probePort, probeChannel);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    fprintf(stderr, "%s: %s\n", TOOL_NAME, error.what());
    fprintf(stderr, "Run with --help for more information.\n");
    return EXIT_USAGE;
  }

  if (*image) return runForwarded(image, runImageCommand);
  if (*exportWeb) return runForwarded(exportWeb, runExportWebCommand);
  if (*verifyWeb) return runForwarded(verifyWeb, runVerifyWebCommand);
  if (*bench) return runForwarded(bench, runBenchCommand);
  if (*ports) return runPortsCommand(portsOptions);
  if (*probe) return runProbeCommand(probeOptions);
  if (*updateAll) return finishUpdateAllCommand(fleetOptions, fleetPorts, probePort, probeChannel, argv[0]);
  if (!progressChannel.empty() && !progressChannel_attach(progressChannel.c_str())) {
    fprintf(stderr, "%s: --progress-fd %s is no open channel\n", TOOL_NAME, progressChannel.c_str());
    return EXIT_USAGE;
  }
  updateOptions.verify = !noVerify;
  return runScriptedUpdate(updateOptions);
}
