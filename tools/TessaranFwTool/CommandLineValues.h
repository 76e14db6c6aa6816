// Checks of the tool's numeric options that say what a valid value is (CLI11
// validators), and the options that several commands share.
#ifndef COMMANDLINEVALUES_H
#define COMMANDLINEVALUES_H

#include <ctype.h>
#include <stdlib.h>

#include <string>

#include <CLI/CLI.hpp>

#include "UnitSearch.h"
#include "fleet/LabelQueue.h"
#include "serial/PortDescription.h"

// --port: a COM number, written 3, COM3 or \\.\COM3, a device's path (POSIX),
// a terminal server's address (rfc2217://HOST:PORT, socket://HOST:PORT), or
// usb:LOCATION (the adapter plugged there; `slotMayBeEmpty`: a slot with
// nothing plugged in now is taken, a child process's); the option then holds
// the port number the driver opens.
inline CLI::Validator commandLine_portValidator(bool slotMayBeEmpty = false) {
  return CLI::Validator(
      [slotMayBeEmpty](std::string &text) -> std::string {
        int number = 0;
        const std::string reason = portArgument_one(text, slotMayBeEmpty, &number);
        if (reason.empty()) text = std::to_string(number);
        return reason;
      },
      "");
}

// A whole number above 0; `what` says what it counts ("a positive number of units").
inline CLI::Validator commandLine_positiveValidator(const std::string &what) {
  return CLI::Validator(
      [what](std::string &text) -> std::string {
        bool digits = !text.empty() && text.size() <= 9;
        for (char c : text) digits = digits && isdigit((unsigned char)c);
        if (!digits || atoi(text.c_str()) <= 0) return "expects " + what + ", not \"" + text + "\"";
        return std::string();
      },
      "");
}

// The rates --baud takes: the six the unit's console runs at (detection's)
// and the two standard rates between them, 19200 and 38400, which every
// serial adapter and terminal server also offers. Any other rate finds no
// unit, and a slow one would make each command's write last minutes (at 1 baud).
#define CONSOLE_RATES 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200
#define CONSOLE_RATES_TEXT "1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200"

// One of CONSOLE_RATES, written back plainly ("09600" -> "9600": CLI11's own
// conversion would read a leading zero as octal).
inline CLI::Validator commandLine_baudValidator(void) {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        bool digits = !text.empty() && text.size() <= 9;
        for (char c : text) digits = digits && isdigit((unsigned char)c);
        const int rate = digits ? atoi(text.c_str()) : 0;
        for (int known : {CONSOLE_RATES})
          if (rate == known) {
            text = std::to_string(rate);
            return std::string();
          }
        return "expects a baud rate the unit's console can run at, " CONSOLE_RATES_TEXT ", not \"" +
               text + "\"";
      },
      "");
}

// A label as a unit's record takes it (labelQueue_check): trimmed, or refused.
inline CLI::Validator commandLine_labelValidator(void) {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        std::string label, why;
        if (!labelQueue_check(text, &label, &why)) return why;
        text = label;
        return std::string();
      },
      "");
}

inline void addPortOption(CLI::App &command, int *port) {
  command
      .add_option("--port", *port,
                  "port of the unit: a COM port 1-" + std::to_string(PORT_ADDRESS_LAST_COM) +
                      " (3 or COM3), a device path (/dev/ttyUSB0, POSIX), or a terminal server's "
                      "rfc2217://HOST:PORT or socket://HOST:PORT, or usb:LOCATION (the adapter plugged "
                      "there; ports shows locations) (default: COM1 to COM32, then every other "
                      "port the system has)")
      ->transform(commandLine_portValidator())
      ->option_text("PORT");
}

inline void addBaudOption(CLI::App &command, int *baud) {
  command
      .add_option(
          "--baud", *baud,
          "console baud rate of the unit, " CONSOLE_RATES_TEXT
          " (default: try 115200, "
          "9600, 57600, 4800, 2400, 1200); over socket:// the rate the server's line runs at")
      ->transform(commandLine_baudValidator())
      ->option_text("RATE");
}

inline void addTraceOption(CLI::App &command, std::string *path) {
  command
      .add_option("--trace", *path,
                  "append a wire trace of the run to FILE (also FWUPGRADE_TRACE=FILE)")
      ->option_text("FILE");
}

// --on-start and --on-result of update and update-all.
inline void addHookOptions(CLI::App &command, std::string *onStart, std::string *onResult) {
  command
      .add_option("--on-start", *onStart,
                  "run CMD through the system shell when a unit's first image begins, the unit "
                  "in FWUPGRADE_* variables; its output in the unit's log, stopped after 30 s")
      ->option_text("CMD");
  command
      .add_option("--on-result", *onResult,
                  "run CMD so once each unit's result is settled (FWUPGRADE_RESULT)")
      ->option_text("CMD");
}

// --history FILE and --no-history, which update and update-all share.
inline void addHistoryWriteOptions(CLI::App &command, std::string *path, bool *none) {
  CLI::Option *file =
      command
          .add_option("--history", *path,
                      "append each unit's record to this station history (default: "
                      "history.jsonl in the user's state folder; see the history command)")
          ->option_text("FILE");
  command.add_flag("--no-history", *none, "keep no station history of this run")->excludes(file);
}

#endif  // COMMANDLINEVALUES_H
