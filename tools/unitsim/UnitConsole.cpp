// The unit's console: the commands it serves, the image streams it takes, its
// reboot and banner, and the faults it can be told to show.
//
// Rates. The console answers at its own rate (--baud). Text that arrives while
// the updater's line runs at another rate is garbage to a real UART, so the
// unit answers it with a few random bytes. After "Ready" the unit takes the
// image at 115200 whatever its console rate; after the microcontroller image it
// reboots and its console is back at its own rate.
//
// Reboot and banner. The updater, after the last "SUCCESS", finishes collecting
// that reply (one more read of 1 s), waits 138 s, reads once for up to 1 s and
// drops what it got, then reads up to 11 s for the banner. Counted from the
// moment the unit sends "SUCCESS", that banner read runs from about 140 s to
// about 151 s. The unit stays deaf for --reboot-seconds (145 s by default, the
// middle of that window) and then sends its banner in one go; a banner sent
// earlier, as a real unit would at power-up, would land in the dropped read.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TessaranFwUpgrade.h"
#include "UnitSim.h"

// The image rate, fixed whatever the console rate.
#define STREAM_BAUD 115200
// A stream that stops for this long is given up. The updater starts streaming
// only after it has collected "Ready", which takes two of its 10 s reads.
#define STREAM_IDLE_SECONDS 30.0
// Longest image the unit takes.
#define MAX_IMAGE_LENGTH (16L * 1024 * 1024)

enum UnitPhase { PHASE_CONSOLE, PHASE_STREAM, PHASE_REBOOT };

static UnitPhase gPhase = PHASE_CONSOLE;
static int gConsoleRate = 115200;   // rate the console runs at now
static bool gChatter = false;       // the chatter fault has started
static bool gSwallowCr = false;     // a line ended with LF: its CR may follow
static unsigned long gChatterCount = 0;

// The image being received.
static char gStreamKind = 0;        // 'l' programmable logic, 'h' microcontroller
static uint32_t gStreamCheckSum = 0;
static long gStreamLength = 0;
static std::vector<uint8_t> gStreamData;
static uint32_t gStreamSum = 0;
static bool gStreamCorrupt = false;
static double gStreamLastByteAt = 0;
static double gBannerAt = 0;
static bool gLogicAccepted = false;  // the FPGA image of this update was taken

void unitInit(void) {
  gPhase = PHASE_CONSOLE;
  gConsoleRate = gOpt.consoleBaud;
}

bool unitWantsOutputSpace(void) { return gChatter; }

static void reply(SimPort &port, const std::string &text, int rate) {
  queueOutput(port, text, rate, gOpt.lateMs / 1000.0);
}

// Parses "<checksum> <length>": two unsigned decimal numbers, one space, nothing else.
static bool parseAnnounce(const char *text, uint32_t *checkSum, long *length) {
  char *end = NULL;
  if (*text < '0' || *text > '9') return false;
  unsigned long long sum = strtoull(text, &end, 10);
  if (*end != ' ' || sum > 0xFFFFFFFFull) return false;
  const char *lengthText = end + 1;
  if (*lengthText < '0' || *lengthText > '9') return false;
  unsigned long long value = strtoull(lengthText, &end, 10);
  if (*end != '\0' || value > (unsigned long long)MAX_IMAGE_LENGTH) return false;
  *checkSum = (uint32_t)sum;
  *length = (long)value;
  return true;
}

static void saveImage(SimPort &port) {
  if (gOpt.saveDir.empty()) return;
  std::string path = gOpt.saveDir + (gStreamKind == 'l' ? "/fpga.bin" : "/mcu.bin");
  FILE *file = fopen(path.c_str(), "wb");
  bool ok = file != NULL;
  if (ok && !gStreamData.empty()) ok = fwrite(gStreamData.data(), 1, gStreamData.size(), file) == gStreamData.size();
  if (file != NULL && fclose(file) != 0) ok = false;
  logEvent(port, ok ? "saved" : "save-failed", path);
}

static void finishStream(SimPort &port) {
  bool sumOk = (uint32_t)(gStreamSum + gStreamCheckSum) == 0;
  saveImage(port);
  char detail[160];
  // line-lead: how much line time the last bytes still had when the pty took
  // them (paced runs only); the updater's clock runs ahead by that much.
  double lead = gOpt.pace ? port.inFreeAt - port.lastReadAt : 0.0;
  snprintf(detail, sizeof detail, "%c length %ld checksum %u sum-ok %d corrupt %d line-lead %.3f",
           gStreamKind, (long)gStreamData.size(), gStreamCheckSum, sumOk ? 1 : 0, gStreamCorrupt ? 1 : 0,
           lead);
  logEvent(port, "stream-end", detail);

  if (gOpt.faultReject) {
    reply(port, "FAILED", STREAM_BAUD);
  } else if (!sumOk || gStreamCorrupt) {
    reply(port, "CHECKSUM ERROR", STREAM_BAUD);
  } else {
    reply(port, "SUCCESS", STREAM_BAUD);
    if (gStreamKind == 'l') gLogicAccepted = true;
    if (gStreamKind == 'h') {
      // New microcontroller firmware: the unit restarts, deaf until its banner.
      gPhase = PHASE_REBOOT;
      gConsoleRate = gOpt.consoleBaud;
      gBannerAt = nowMono() + gOpt.lateMs / 1000.0 + gOpt.rebootSeconds;
      logEvent(port, "reboot", std::to_string(gOpt.rebootSeconds) + " s");
      gStreamData.clear();
      gStreamData.shrink_to_fit();
      return;
    }
    // The console stays at the image rate until the unit restarts.
    gConsoleRate = STREAM_BAUD;
  }
  gPhase = PHASE_CONSOLE;
  gStreamData.clear();
  gStreamData.shrink_to_fit();
}

static void startStream(SimPort &port, char kind, uint32_t checkSum, long length) {
  gPhase = PHASE_STREAM;
  gStreamKind = kind;
  gStreamCheckSum = checkSum;
  gStreamLength = length;
  gStreamData.clear();
  gStreamData.reserve((size_t)length);
  gStreamSum = 0;
  gStreamCorrupt = false;
  gStreamLastByteAt = nowMono();
  char detail[96];
  snprintf(detail, sizeof detail, "%c length %ld checksum %u", kind, length, checkSum);
  logEvent(port, "stream-begin", detail);
  if (length == 0) finishStream(port);
}

static void unitCommand(SimPort &port, const std::string &line, int baud) {
  logEvent(port, "cmd", escapeBytes(line, 200));
  if (gOpt.faultChatter) gChatter = true;
  if (gOpt.faultSilent) return;
  if (baud != gConsoleRate) {
    // Sent at another rate: what the UART made of it is no command.
    queueOutput(port, garbageBytes(), GARBAGE_RATE, 0);
    return;
  }

  // "%%" in front asks for no echo; without it the console echoes the line.
  std::string text = line;
  std::string echo;
  if (text.compare(0, 2, "%%") == 0) text.erase(0, 2);
  else echo = line + "\r\n";

  std::string answer;
  if (text == DETECTION_PROBE_COMMAND) {
    answer = DETECTION_EXPECTED_RESPONSE;
  } else if (text == "%fw -v") {
    answer = gOpt.version + "\r\n>>";
  } else if (text == "%fw -p") {
    answer = gOpt.isRx ? VALIDATE_RX_PRODUCT_ID_STRING : VALIDATE_TX_PRODUCT_ID_STRING;
    if (gOpt.faultExtraCr) answer.insert(answer.size() - 4, "\r");
  } else if (text.compare(0, 7, "%fw -l ") == 0 || text.compare(0, 7, "%fw -h ") == 0) {
    uint32_t checkSum = 0;
    long length = 0;
    if (!parseAnnounce(text.c_str() + 7, &checkSum, &length)) {
      answer = "ERROR: invalid parameters\r\n>>";
    } else if (gOpt.faultNoReady) {
      logEvent(port, "no-ready", "fault");
      if (!echo.empty()) reply(port, echo, gConsoleRate);
      return;
    } else {
      reply(port, echo + "Ready", gConsoleRate);
      startStream(port, text[5], checkSum, length);
      return;
    }
  } else {
    answer = "ERROR: unknown command\r\n>>";
  }
  reply(port, echo + answer, gConsoleRate);
}

void unitReceive(SimPort &port, const std::string &bytes, int baud) {
  size_t i = 0;
  while (i < bytes.size() && port.alive) {
    // Commands end in LF CR. The line is served at the LF, so the CR that
    // follows is no part of the next command, nor of an image that follows
    // an announce.
    if (gSwallowCr) {
      gSwallowCr = false;
      if (bytes[i] == '\r') {
        i++;
        continue;
      }
    }
    if (gPhase == PHASE_REBOOT) {
      logEvent(port, "ignored", escapeBytes(bytes.substr(i), 64));
      return;
    }
    if (gPhase == PHASE_STREAM) {
      size_t take = bytes.size() - i;
      long left = gStreamLength - (long)gStreamData.size();
      if ((long)take > left) take = (size_t)left;
      bool cut = false;
      if (gOpt.disconnectAfter >= 0 && (long)(gStreamData.size() + take) >= gOpt.disconnectAfter) {
        take = (size_t)(gOpt.disconnectAfter - (long)gStreamData.size());
        cut = true;
      }
      for (size_t k = 0; k < take; k++) {
        uint8_t byte = (uint8_t)bytes[i + k];
        gStreamData.push_back(byte);
        gStreamSum += byte;
      }
      i += take;
      // Bytes sent at another rate reach the unit corrupted.
      if (take > 0 && baud != STREAM_BAUD) gStreamCorrupt = true;
      gStreamLastByteAt = nowMono();
      if (cut) {
        logEvent(port, "hangup", "after " + std::to_string(gStreamData.size()) + " stream bytes");
        hangUp(port);
        return;
      }
      if ((long)gStreamData.size() == gStreamLength) finishStream(port);
      continue;
    }
    char c = bytes[i++];
    if (c == '\n' || c == '\r') {
      gSwallowCr = c == '\n';
      if (!port.line.empty()) {
        std::string line = port.line;
        port.line.clear();
        unitCommand(port, line, baud);
      }
    } else if (port.line.size() < 4096) {
      port.line += c;
    }
  }
}

void silentPortLine(SimPort &port, const std::string &text, int baud) {
  (void)baud;
  logEvent(port, "cmd", escapeBytes(text, 200));
  if (gOpt.othersGarbage) queueOutput(port, garbageBytes(), GARBAGE_RATE, 0);
}

void unitTimers(SimPort &port, double now, double *nextDeadline) {
  if (!port.alive) return;
  if (gPhase == PHASE_STREAM && port.in.empty()) {
    double giveUpAt = gStreamLastByteAt + STREAM_IDLE_SECONDS;
    if (now >= giveUpAt) {
      logEvent(port, "stream-timeout",
               std::to_string(gStreamData.size()) + " of " + std::to_string(gStreamLength) + " bytes");
      gPhase = PHASE_CONSOLE;
      gStreamData.clear();
      reply(port, "TIMEOUT\r\n>>", STREAM_BAUD);
    } else if (giveUpAt < *nextDeadline) {
      *nextDeadline = giveUpAt;
    }
  }
  if (gPhase == PHASE_REBOOT) {
    if (now >= gBannerAt) {
      gPhase = PHASE_CONSOLE;
      // Both images taken: the unit now runs the release it was sent (same
      // FPGA fields), unless it is told to come back with the old version.
      if (gLogicAccepted && !gOpt.faultKeepVersion) {
        size_t space = gOpt.version.find(' ');
        gOpt.version = FIRMWARE_VERSION_TO_UPLOAD +
                       (space == std::string::npos ? std::string() : gOpt.version.substr(space));
      }
      std::string banner = gOpt.banner;
      if (gOpt.faultBannerCrLf) banner += "\r\n";
      logEvent(port, "banner", "");
      if (!gOpt.faultSilent) queueOutput(port, banner, gConsoleRate, 0);
    } else if (gBannerAt < *nextDeadline) {
      *nextDeadline = gBannerAt;
    }
  }
  if (gChatter && port.out.empty()) {
    // Talks without end: a block of status lines whenever the last one is out.
    std::string block;
    while (block.size() < 1024) {
      char text[48];
      snprintf(text, sizeof text, "status %lu: link up\r\n", ++gChatterCount);
      block += text;
    }
    queueOutput(port, block, 0, 0);
    *nextDeadline = now;  // write it at once; a full pty makes us wait for POLLOUT
  }
}
