// The update of one unit: versions, product check, TX/RX identification, then
// the FPGA image and the microcontroller image, each announced with its
// checksum and length and streamed at 115200 baud, and finally the reboot wait
// and the check of the unit's prompt.
//
// The port is open at gBaudRate with the CTS handshake on when this starts; the
// caller closes it afterwards. The first failure ends the run with FALSE and
// nothing is sent to the unit to undo what it has already received.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "serial/ComPortAPI.h"
#include "serial/SerialTrace.h"
#include "serial/UpdateProgress.h"
#include "updater/TessaranFwUpgrade.h"

#define VERSION_REPLY_TIMEOUT_MS 1000
#define LOGIC_ANNOUNCE_TIMEOUT_MS 10000
#define STREAM_REPLY_TIMEOUT_MS 1000
#define FIRMWARE_ANNOUNCE_TIMEOUT_MS 5000
#define BANNER_TIMEOUT_MS 11000
#define REBOOT_WAIT_STEP_MS 3000
#define MODEL_WORD_MAX 7  // characters of the FPGA family word that are kept

// One read of whatever the unit sends before the read timeout in force runs
// out, into gDataBuffer as a terminated text. The count is clamped so that the
// terminator always lands inside the buffer.
static int readReplyText(void) {
  int nBytesRead = 0;
  ComPortAPI_ReadCOM(gDataBuffer, READ_CHUNK_SIZE, &nBytesRead);
  if (nBytesRead < 0) nBytesRead = 0;
  if (nBytesRead > READ_CHUNK_SIZE) nBytesRead = READ_CHUNK_SIZE;
  gDataBuffer[nBytesRead] = '\0';
  return nBytesRead;
}

// Reads "%d.%d.%d %s %d.%d %d" from the version reply. The family word is cut
// to MODEL_WORD_MAX characters (model must hold 8 bytes); the rest of a longer
// word is skipped so that the FPGA fields after it still parse. Returns the
// number of fields converted, in the order of the format.
static int parseVersionReply(const char *reply, int *fw_ver, int *fw_rev, int *fw_sub, char *model,
                             int *fpga_ver, int *fpga_rev, int *fpga_type) {
  int wordStart = -1;
  int wordEnd = -1;
  int nbr = sscanf(reply, "%d.%d.%d %n%*s%n", fw_ver, fw_rev, fw_sub, &wordStart, &wordEnd);
  if (nbr != 3 || wordStart < 0 || wordEnd <= wordStart) return nbr < 0 ? 0 : nbr;

  int wordLength = wordEnd - wordStart;
  if (wordLength > MODEL_WORD_MAX) wordLength = MODEL_WORD_MAX;
  memcpy(model, reply + wordStart, (size_t)wordLength);
  model[wordLength] = '\0';
  nbr = 4;

  int more = sscanf(reply + wordEnd, "%d.%d %d", fpga_ver, fpga_rev, fpga_type);
  if (more > 0) nbr += more;
  return nbr;
}

// prefix (7 characters), the checksum in unsigned decimal, a space, the length.
static void buildAnnounceCommand(char *commandToSend, size_t size, const char *prefix) {
  char stringNumber[15];
  snprintf(commandToSend, size, "%s", prefix);
  snprintf(stringNumber, sizeof stringNumber, "%u", (unsigned)gDataConcatenatedCheckSum);
  strncat(commandToSend, stringNumber, size - strlen(commandToSend) - 1);
  strncat(commandToSend, " ", size - strlen(commandToSend) - 1);
  snprintf(stringNumber, sizeof stringNumber, "%d", gDataConcatenatedLenght);
  strncat(commandToSend, stringNumber, size - strlen(commandToSend) - 1);
}

BOOL unitBannerShowsPrompt(const char *banner) {
  if (banner == NULL) return FALSE;
  size_t length = strlen(banner);
  // The length comes first: an empty or one-character banner has no last two
  // characters to look at.
  if (length < 2) return FALSE;
  return banner[0] == '[' && banner[length - 2] == '>' && banner[length - 1] == '>';
}

// Ends a failed step: tells the progress listeners why, and returns FALSE.
static BOOL stepFailed(const char *reason) {
  updateProgress_fact(UPDATE_FACT_MESSAGE, reason);
  updateProgress_setStep(UPDATE_STEP_FAILED);
  return FALSE;
}

// Tells the progress listeners what the version reply said.
static void reportVersions(int fw_ver, int fw_rev, int fw_sub, const char *model, int fpga_ver,
                           int fpga_rev, int fpga_type) {
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d", fw_ver, fw_rev, fw_sub);
  updateProgress_fact(UPDATE_FACT_FIRMWARE, text);
  updateProgress_fact(UPDATE_FACT_FPGA_FAMILY, model);
  snprintf(text, sizeof text, "%d.%d", fpga_ver, fpga_rev);
  updateProgress_fact(UPDATE_FACT_FPGA_VERSION, text);
  snprintf(text, sizeof text, "%d", fpga_type);
  updateProgress_fact(UPDATE_FACT_FPGA_DEVICE, text);
}

// A terminal server may end a session that carries nothing for a while (an
// inactivity timer), as it does while the unit reboots. Where nothing is in
// flight, the session is opened again and the update goes on as it would
// have; a line of its own and the trace say so, once. A local port never
// loses its session: nothing is printed. TRUE when a line was printed.
static BOOL resumeLostSession(const char *when) {
  const int resumed = ComPortAPI_ResumeSession();
  if (resumed == 0) return FALSE;
  char text[160];
  snprintf(text, sizeof text,
           resumed > 0 ? "the server closed the session %s; connected again"
                       : "the server closed the session %s and took no new one",
           when);
  serialTrace_note("%s", text);
  printf("\r\n%s\r\n", text);
  return TRUE;
}

// What tells the two images apart on the console and to the progress listeners.
typedef struct ImageTransfer {
  const char *dataName;        // "ERROR: <dataName> data is not valid !"
  const char *imageName;       // in the failure reasons: "the <imageName> image ..."
  UpdateStep step;             // entered at the announce: the unit may start erasing
  const char *announceLine;
  const char *announcePrefix;  // the command before the checksum and the length
  int announceTimeoutMs;
  const char *streamLine;
} ImageTransfer;

// Assembles the image from its text, announces it with its checksum and length
// (reply "Ready") and streams it at 115200 baud (reply "SUCCESS"). The stream's
// line is left open for the caller to end.
static BOOL transferImage(const ImageTransfer *image, char *text) {
  char commandToSend[100];
  char reason[80];
  if (!ValidateFwAndConcatenateData(text)) {
    printf("\r\nERROR: %s data is not valid !\r\n", image->dataName);
    snprintf(reason, sizeof reason, "the embedded %s image is not valid", image->imageName);
    return stepFailed(reason);
  }
  updateProgress_setStep(image->step);
  printf("%s", image->announceLine);
  gDataConcatenatedCheckSum = imageCheckSum(gDataConcatenated, gDataConcatenatedLenght);
  buildAnnounceCommand(commandToSend, sizeof commandToSend, image->announcePrefix);
  ComPortAPI_SetReadingTimeoutInMs(image->announceTimeoutMs);
  if (!sendCommand(commandToSend, FALSE, TRUE, "Ready")) {
    printf("FAILED [Unit not ready]\r\n");
    snprintf(reason, sizeof reason, "unit not ready for the %s image", image->imageName);
    return stepFailed(reason);
  }
  printf("OK\r\n");

  // The unit takes images at 115200 whatever its console rate.
  printf("%s", image->streamLine);
  unitExchange_setStreamLabel(image->streamLine);
  ComPortAPI_SetBaudRate(UPLOAD_BAUD_RATE);
  ComPortAPI_SetReadingTimeoutInMs(STREAM_REPLY_TIMEOUT_MS);
  const BOOL accepted = sendData(gDataConcatenated, gDataConcatenatedLenght, TRUE, "SUCCESS");
  unitExchange_setStreamLabel(NULL);
  if (!accepted) {
    printf("FAILED\r\n");
    snprintf(reason, sizeof reason, "the %s image was not accepted", image->imageName);
    return stepFailed(reason);
  }
  return TRUE;
}

// The catalogue entry of the FPGA text for the unit's type, once identified.
static int gUnitPage = 0;
static BOOL sendImagesAndRestart(void);

BOOL updateFirmware(void) {
  int fw_ver = 0, fw_rev = 0, fw_sub = 0;
  char model[MODEL_WORD_MAX + 1] = "";
  int fpga_ver = 0, fpga_rev = 0;
  int fpga_type = -1;  // stays -1 when the reply reports no device code
  int nbr;
  int page_idx = 0;

  // 1. Version query: the reply is read here directly, since the exchange
  //    only says whether a reply matched.
  updateProgress_setStep(UPDATE_STEP_CHECKING);
  ComPortAPI_SetReadingTimeoutInMs(VERSION_REPLY_TIMEOUT_MS);
  sendCommand("%fw -v", FALSE, FALSE, NULL);
  readReplyText();
  StrRemoveNL(gDataBuffer, ' ');

  // 2. Version parse; the lines appear only for a complete reply.
  nbr = parseVersionReply(gDataBuffer, &fw_ver, &fw_rev, &fw_sub, model, &fpga_ver, &fpga_rev,
                          &fpga_type);
  if (nbr == 7) {
    printf("Checking firmware version ..............  %d.%02d.%02d \r\n", fw_ver, fw_rev, fw_sub);
    printf("Checking fpga version ..................  %s %d.%02d  device:%d\r\n", model, fpga_ver,
           fpga_rev, fpga_type);
    reportVersions(fw_ver, fw_rev, fw_sub, model, fpga_ver, fpga_rev, fpga_type);
  }

  // 3. Product check: only the XC7A35 has images in this release.
  printf("Checking product .......... ");
  if (fpga_type != DEVICE_XC7A35_484) {
    printf("FAILED, Unknown product\r\n");
    return stepFailed("unknown product");
  }

  // 4. Identification: TX first, then RX.
  if (sendCommand("%fw -p", FALSE, TRUE, VALIDATE_TX_PRODUCT_ID_STRING)) {
    printf("TX OK\r\n");
    printf("%s", VALIDATE_TX_PRODUCT_ID_STRING);
    printf("\r\n");
    page_idx = 1;
    updateProgress_fact(UPDATE_FACT_TYPE, "TX");
  } else if (sendCommand("%fw -p", FALSE, TRUE, VALIDATE_RX_PRODUCT_ID_STRING)) {
    printf("RX OK\r\n");
    printf("%s", VALIDATE_RX_PRODUCT_ID_STRING);
    printf("\r\n");
    page_idx = 2;
    updateProgress_fact(UPDATE_FACT_TYPE, "RX");
  } else {
    printf("FAILED\r\n");
    return stepFailed("the unit identified itself neither as TX nor as RX");
  }

  // 5. A writable copy of the unit type's FPGA text (assembly cuts it up).
  free(gHexFPGA_Code);
  gHexFPGA_Code = newCopyOfEmbeddedText(page_idx);
  if (gHexFPGA_Code == NULL) {
    printf("\r\nERROR: Not enough memory for the Programmable Logic data !\r\n");
    return stepFailed("not enough memory");
  }
  gUnitPage = page_idx;
  return sendImagesAndRestart();
}

// Steps 6 to 16: both images, each from its announce, then the reboot wait
// (waitForUnitRestart).
static BOOL sendImagesAndRestart(void) {
  // 6.-9. Programmable-logic image; 10.-12. microcontroller image, for which
  //    the line stays at 115200 from the first stream on.
  static const ImageTransfer kLogic = {
      "Programmable Logic", "FPGA", UPDATE_STEP_SENDING_LOGIC,
      "Preparing to Upload Programmable Logic ............ ", "%fw -l ", LOGIC_ANNOUNCE_TIMEOUT_MS,
      "Sending Programmable Logic data ................... "};
  static const ImageTransfer kFirmware = {
      "uC Firmware", "microcontroller", UPDATE_STEP_SENDING_FIRMWARE,
      "Preparing to Upload Firmware ...................... ", "%fw -h ", FIRMWARE_ANNOUNCE_TIMEOUT_MS,
      "Sending data ...................................... "};
  if (!transferImage(&kLogic, gHexFPGA_Code)) return FALSE;
  printf("OK\r\n");
  resumeLostSession("between the two images");
  if (!transferImage(&kFirmware, gHexFirmware)) return FALSE;

  // 13.-14. Back to the console rate, then the reboot wait with a percentage
  //    that overwrites itself (always four characters wide).
  ComPortAPI_SetBaudRate(gBaudRate);
  printf(" OK\n\r\n\r");
  return waitForUnitRestart();
}

BOOL waitForUnitRestart(void) {
  const int max_cnt = 46;
  updateProgress_setStep(UPDATE_STEP_REBOOTING);
  printf("Please wait while the unit is rebooting ........... ");
  for (int i = 0; i < max_cnt; i++) {
    printf("%3d%%", i * 100 / max_cnt);
    updateProgress_setPercent(i * 100 / max_cnt);
    Sleep(REBOOT_WAIT_STEP_MS);
    printf("\b\b\b\b");
  }
  printf("%3d%%", max_cnt * 100 / max_cnt);
  if (resumeLostSession("while the unit rebooted"))
    printf("Please wait while the unit is rebooting ........... %3d%%", max_cnt * 100 / max_cnt);

  // 15. Drop what the unit printed while it rebooted, then wait for its banner.
  readReplyText();
  ComPortAPI_SetReadingTimeoutInMs(BANNER_TIMEOUT_MS);
  readReplyText();
  printf("\b\b\b\b");
  printf("100%%");

  // 16. Both images were accepted; the banner only decides the success line.
  if (unitBannerShowsPrompt(gDataBuffer)) {
    printf("\n\r\n\rThe update was successful, the unit is now operational\r\n");
  }
  // A server may also end the session as the unit comes back up (its lines
  // change as it starts, or the session ran out during the banner's read):
  // the version read back next needs a session.
  resumeLostSession("after the unit rebooted");
  return TRUE;
}

BOOL updateFirmwareAgain(void) {
  // The assembly cuts a text up as it reads it: both are copied afresh.
  free(gHexFPGA_Code);
  free(gHexFirmware);
  gHexFPGA_Code = gUnitPage > 0 ? newCopyOfEmbeddedText(gUnitPage) : NULL;
  gHexFirmware = newCopyOfEmbeddedText(0);
  if (gHexFPGA_Code == NULL || gHexFirmware == NULL) {
    printf("\r\nERROR: Not enough memory for the Programmable Logic data !\r\n");
    return stepFailed("not enough memory");
  }
  return sendImagesAndRestart();
}
