// The updater's console run: prepare the buffers, find the unit (or ask the
// user for its port and baud rate), update it, and end with a message and a
// key press.
//
// Exit status: 0 after a successful update, 1 after a failed one (or when the
// buffers cannot be allocated), -1 when a port or baud rate entered by hand
// cannot be used, 130 when an interrupt stopped the run (see
// interrupts/Interrupts.h).
//
// It takes no arguments. --help, -h, /? and --version print a short usage and
// exit 0; any other argument prints it on stderr and exits 2. Either way
// nothing is allocated and no port is touched.
#include <stdio.h>
#include <string.h>

#include "platform/ExitStatus.h"
#include "platform/StandardStreams.h"
#include "serial/ComPortAPI.h"
#include "serial/UpdateProgress.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitRun.h"

// Reads one decimal number typed by the user. An entry that is not a number
// leaves the value as it was; the open or the rate setting then reports it.
static void readNumberFromUser(int *value) {
  int entered;
  if (scanf("%d", &entered) == 1) *value = entered;
}

// Asks for the port and the rate when detection found nothing. Returns FALSE
// (after the last message) when either cannot be used.
static BOOL openPortEnteredByUser(void) {
  printf("\n\r\n\rEnter the COM port number : ");
  readNumberFromUser(&gComPortNumber);
  printf("\r\nOpening COM%d....................", gComPortNumber);
  if (!ComPortAPI_OpenCOM(gComPortNumber)) {
    // The driver has printed why.
    dipsplayLastMessageToUserBeforeExit("");
    return FALSE;
  }
  printf("OK\r\n");

  printf("\n\r\n\rEnter the BAUD RATE       : ");
  readNumberFromUser(&gBaudRate);
  printf("\r\nSetting baud rate at %d..........", gBaudRate);
  if (!ComPortAPI_SetBaudRate(gBaudRate)) {
    ComPortAPI_CloseCOM();
    dipsplayLastMessageToUserBeforeExit("");
    return FALSE;
  }
  printf("OK\r\n");
  return TRUE;
}

static void printUsage(FILE *to) {
  fprintf(to,
          "Usage: TessaranFwUpgrade\n"
          "\n"
          "Writes firmware release %s into one Tessaran 6G-SDI extender unit (TX or RX)\n"
          "over a serial port. It finds the unit on COM1 to COM32 by itself (or asks for\n"
          "the port and the baud rate) and guides you on the console.\n"
          "It takes no arguments: run it alone.\n"
          "\n"
          "Scripted updates, several units at once, the list of ports and a read-only\n"
          "probe are in TessaranFwTool (TessaranFwTool --help), installed beside it.\n"
#ifdef _WIN32
          "More in README.txt beside them.\n",
#else
          "Manuals: man TessaranFwUpgrade, man TessaranFwTool.\n",
#endif
          FIRMWARE_VERSION_TO_UPLOAD);
}

// The only arguments understood are requests for the usage; the run itself
// never acts on an argument.
static int answerArguments(int argc, char **argv) {
  static const char *const kHelpWords[] = {"--help", "-h", "/?", "--version"};
  if (argc == 2) {
    for (const char *word : kHelpWords) {
      if (strcmp(argv[1], word) == 0) {
        printUsage(stdout);
        return EXIT_UPDATE_DONE;
      }
    }
  }
  printUsage(stderr);
  return EXIT_USAGE;
}

int main(int argc, char **argv) {
  // Before anything is opened: a closed console descriptor must not become the port's.
  if (!standardStreams_ensureOpen()) return EXIT_UPDATE_FAILED;
  if (argc > 1) return answerArguments(argc, argv);

  // FWUPGRADE_TRACE names a file for the wire trace; nothing shows on the console.
  const UnitRun run = {"TessaranFwUpgrade", NULL, TRUE, NULL};
  if (!beginUnitRun(&run)) {
    dipsplayLastMessageToUserBeforeExit("");
    return EXIT_UPDATE_FAILED;
  }

  printf("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
  printf("\n\r\n\rDetecting COM port and Baud Rate..................");

  // No port is open yet: this only makes detection's opens (and the manual
  // one) run without the CTS handshake, so a probe write never waits on CTS.
  ComPortAPI_SetHardwareFlowControl(FALSE);

  if (detectComPortAndBaudrate()) {
    printf("OK\r\n");
    printf("COM PORT Number : %d", gComPortNumber);
    printf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
  } else {
    printf("FAILED");
    if (!openPortEnteredByUser()) return endUnitRun(EXIT_MANUAL_PORT_UNUSABLE);
  }

  // The port is open: the images are streamed under the CTS handshake.
  ComPortAPI_SetHardwareFlowControl(TRUE);
  const BOOL updated = updateFirmware();
  ComPortAPI_CloseCOM();
  if (updated) updateProgress_setStep(UPDATE_STEP_DONE);

  dipsplayLastMessageToUserBeforeExit(updated ? "" : "\n\rERROR: The update was not successful.\r\n");
  return endUnitRun(updated ? EXIT_UPDATE_DONE : EXIT_UPDATE_FAILED);
}
