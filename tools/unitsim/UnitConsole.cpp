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
// After that reboot, when it took both images, the unit runs the release: its
// version reply carries the release's version (a failed update leaves the old one).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "UnitSim.h"
#include "image/ImageAssembly.h"
#include "serial/UnitExchange.h"

// The image rate, fixed whatever the console rate.
#define STREAM_BAUD 115200
// A stream that stops for this long is given up. The updater starts streaming
// only after it has collected "Ready", which takes two of its 10 s reads.
#define STREAM_IDLE_SECONDS 30.0
// Longest image the unit takes.
#define MAX_IMAGE_LENGTH (16L * 1024 * 1024)

std::vector<SimUnit> gUnits;

void unitInit(SimUnit &unit, const UnitOptions &options) {
  unit = SimUnit();
  unit.opt = options;
  unit.version = options.version;
  unit.consoleRate = options.consoleBaud;
}

static void reply(SimPort &port, const std::string &text, int rate) {
  queueOutput(port, text, rate, port.unit->opt.lateMs / 1000.0);
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

// A bench of units given with --unit keeps each unit's images in SAVE_DIR/COMn.
static void saveImage(SimPort &port) {
  SimUnit &u = *port.unit;
  if (gOpt.saveDir.empty()) return;
  std::string folder = gOpt.saveDir;
  if (gOpt.unitFolders) {
    folder += "/COM" + std::to_string(port.number);
    mkdir(folder.c_str(), 0777);  // an existing folder is fine; a failure shows at fopen
  }
  std::string path = folder + (u.streamKind == 'l' ? "/fpga.bin" : "/mcu.bin");
  FILE *file = fopen(path.c_str(), "wb");
  bool ok = file != NULL;
  if (ok && !u.streamData.empty()) ok = fwrite(u.streamData.data(), 1, u.streamData.size(), file) == u.streamData.size();
  if (file != NULL && fclose(file) != 0) ok = false;
  logEvent(port, ok ? "saved" : "save-failed", path);
}

static void finishStream(SimPort &port) {
  SimUnit &u = *port.unit;
  bool sumOk = (uint32_t)(u.streamSum + u.streamCheckSum) == 0;
  saveImage(port);
  char detail[160];
  // line-lead: how much line time the last bytes still had when the pty took
  // them (paced runs only); the updater's clock runs ahead by that much.
  double lead = gOpt.pace ? port.inFreeAt - port.lastReadAt : 0.0;
  snprintf(detail, sizeof detail, "%c length %ld checksum %u sum-ok %d corrupt %d line-lead %.3f",
           u.streamKind, (long)u.streamData.size(), u.streamCheckSum, sumOk ? 1 : 0, u.streamCorrupt ? 1 : 0,
           lead);
  logEvent(port, "stream-end", detail);

  if (u.opt.faultReject) {
    reply(port, "FAILED", STREAM_BAUD);
  } else if (!sumOk || u.streamCorrupt) {
    reply(port, "CHECKSUM ERROR", STREAM_BAUD);
  } else {
    reply(port, "SUCCESS", STREAM_BAUD);
    if (u.streamKind == 'l') u.logicAccepted = true;
    if (u.streamKind == 'h') {
      // New microcontroller firmware: the unit restarts, deaf until its banner.
      u.phase = PHASE_REBOOT;
      u.consoleRate = u.opt.consoleBaud;
      u.bannerAt = nowMono() + u.opt.lateMs / 1000.0 + gOpt.rebootSeconds;
      logEvent(port, "reboot", std::to_string(gOpt.rebootSeconds) + " s");
      u.streamData.clear();
      u.streamData.shrink_to_fit();
      return;
    }
    // The console stays at the image rate until the unit restarts.
    u.consoleRate = STREAM_BAUD;
  }
  u.phase = PHASE_CONSOLE;
  u.streamData.clear();
  u.streamData.shrink_to_fit();
}

static void startStream(SimPort &port, char kind, uint32_t checkSum, long length) {
  SimUnit &u = *port.unit;
  u.phase = PHASE_STREAM;
  u.streamKind = kind;
  u.streamCheckSum = checkSum;
  u.streamLength = length;
  u.streamData.clear();
  u.streamData.reserve((size_t)length);
  u.streamSum = 0;
  u.streamCorrupt = false;
  u.streamLastByteAt = nowMono();
  char detail[96];
  snprintf(detail, sizeof detail, "%c length %ld checksum %u", kind, length, checkSum);
  logEvent(port, "stream-begin", detail);
  if (length == 0) finishStream(port);
}

// About a kilobyte of the chatter fault's status lines.
static void queueChatterBlock(SimPort &port, SimUnit &u) {
  std::string block;
  while (block.size() < 1024) {
    char text[48];
    snprintf(text, sizeof text, "status %lu: link up\r\n", ++u.chatterCount);
    block += text;
  }
  queueOutput(port, block, 0, 0);
}

static void unitCommand(SimPort &port, const std::string &line, int baud) {
  SimUnit &u = *port.unit;
  logEvent(port, "cmd", escapeBytes(line, 200));
  const bool alreadyTalking = u.chatter;
  if (u.opt.faultChatter) u.chatter = true;
  if (u.opt.faultSilent) return;
  // A unit that is already talking answers behind its status lines, whatever
  // the moment the command came: the reply never starts a read on its own.
  if (alreadyTalking) queueChatterBlock(port, u);
  if (u.trickling) return;
  if (baud != u.consoleRate) {
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
  } else if (u.opt.trickleMs > 0 && (!u.opt.trickleAfterReboot || u.rebooted)) {
    // Found by detection, then only a byte now and then, whatever it is asked.
    u.trickling = true;
    u.trickleAt = nowMono();
    return;
  } else if (u.opt.faultGarbage) {
    queueOutput(port, "\xff" + garbageBytes(), 0, u.opt.lateMs / 1000.0);
    return;
  } else if (text == "%fw -v") {
    answer = u.version + "\r\n>>";
  } else if (text == "%fw -p") {
    answer = u.opt.isRx ? VALIDATE_RX_PRODUCT_ID_STRING : VALIDATE_TX_PRODUCT_ID_STRING;
    if (u.opt.faultExtraCr) answer.insert(answer.size() - 4, "\r");
  } else if (text.compare(0, 7, "%fw -l ") == 0 || text.compare(0, 7, "%fw -h ") == 0) {
    uint32_t checkSum = 0;
    long length = 0;
    if (!parseAnnounce(text.c_str() + 7, &checkSum, &length)) {
      answer = "ERROR: invalid parameters\r\n>>";
    } else if (u.opt.faultNoReady) {
      logEvent(port, "no-ready", "fault");
      if (!echo.empty()) reply(port, echo, u.consoleRate);
      return;
    } else {
      reply(port, echo + "Ready", u.consoleRate);
      startStream(port, text[5], checkSum, length);
      return;
    }
  } else {
    answer = "ERROR: unknown command\r\n>>";
  }
  reply(port, echo + answer, u.consoleRate);
}

void unitReceive(SimPort &port, const std::string &bytes, int baud) {
  SimUnit &u = *port.unit;
  size_t i = 0;
  while (i < bytes.size() && port.alive) {
    // Commands end in LF CR. The line is served at the LF, so the CR that
    // follows is no part of the next command, nor of an image that follows
    // an announce.
    if (u.swallowCr) {
      u.swallowCr = false;
      if (bytes[i] == '\r') {
        i++;
        continue;
      }
    }
    if (u.phase == PHASE_REBOOT) {
      logEvent(port, "ignored", escapeBytes(bytes.substr(i), 64));
      return;
    }
    if (u.phase == PHASE_STREAM) {
      size_t take = bytes.size() - i;
      long left = u.streamLength - (long)u.streamData.size();
      if ((long)take > left) take = (size_t)left;
      bool cut = false;
      if (u.opt.disconnectAfter >= 0 && (long)(u.streamData.size() + take) >= u.opt.disconnectAfter) {
        take = (size_t)(u.opt.disconnectAfter - (long)u.streamData.size());
        cut = true;
      }
      if (u.opt.unplugAt >= 0 && u.streamBytesTotal + (long)take >= u.opt.unplugAt) {
        take = (size_t)(u.opt.unplugAt - u.streamBytesTotal);
        cut = true;
      }
      for (size_t k = 0; k < take; k++) {
        uint8_t byte = (uint8_t)bytes[i + k];
        if (u.streamBytesTotal + (long)k == u.opt.corruptAt) {
          byte ^= 0x5A;  // a line error the byte's parity did not catch
          logEvent(port, "corrupted", std::to_string(u.streamData.size()) + " " + u.streamKind);
        }
        u.streamData.push_back(byte);
        u.streamSum += byte;
      }
      u.streamBytesTotal += (long)take;
      i += take;
      // Bytes sent at another rate reach the unit corrupted.
      if (take > 0 && baud != STREAM_BAUD) u.streamCorrupt = true;
      u.streamLastByteAt = nowMono();
      if (cut) {
        logEvent(port, "hangup", "after " + std::to_string(u.streamData.size()) + " stream bytes");
        hangUp(port);
        return;
      }
      if ((long)u.streamData.size() == u.streamLength) finishStream(port);
      continue;
    }
    char c = bytes[i++];
    if (c == '\n' || c == '\r') {
      u.swallowCr = c == '\n';
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
  if (!port.alive || port.unit == nullptr) return;
  SimUnit &u = *port.unit;
  if (u.phase == PHASE_STREAM && port.in.empty()) {
    double giveUpAt = u.streamLastByteAt + STREAM_IDLE_SECONDS;
    if (now >= giveUpAt) {
      logEvent(port, "stream-timeout",
               std::to_string(u.streamData.size()) + " of " + std::to_string(u.streamLength) + " bytes");
      u.phase = PHASE_CONSOLE;
      u.streamData.clear();
      reply(port, "TIMEOUT\r\n>>", STREAM_BAUD);
    } else if (giveUpAt < *nextDeadline) {
      *nextDeadline = giveUpAt;
    }
  }
  if (u.phase == PHASE_REBOOT) {
    if (now >= u.bannerAt) {
      u.phase = PHASE_CONSOLE;
      u.rebooted = true;
      std::string banner = u.opt.banner;
      if (u.opt.faultBannerCrLf) banner += "\r\n";
      // Both images taken: the unit now runs the release it was sent (same
      // FPGA fields), unless it is told to come back with the old version.
      if (u.logicAccepted && !u.opt.faultKeepVersion) {
        size_t space = u.version.find(' ');
        u.version = FIRMWARE_VERSION_TO_UPLOAD +
                    (space == std::string::npos ? std::string() : u.version.substr(space));
      }
      if (u.opt.faultNoBanner) {
        logEvent(port, "no-banner", "fault");
      } else {
        logEvent(port, "banner", "");
        if (!u.opt.faultSilent) queueOutput(port, banner, u.consoleRate, 0);
      }
    } else if (u.bannerAt < *nextDeadline) {
      *nextDeadline = u.bannerAt;
    }
  }
  if (u.trickling) {
    if (now >= u.trickleAt) {
      queueOutput(port, ".", 0, 0);
      u.trickleAt = now + u.opt.trickleMs / 1000.0;
    }
    if (u.trickleAt < *nextDeadline) *nextDeadline = u.trickleAt;
  }
  if (u.chatter && port.out.empty()) {
    // Talks without end: a block of status lines whenever the last one is out.
    queueChatterBlock(port, u);
    *nextDeadline = now;  // write it at once; a full pty makes us wait for POLLOUT
  }
}
