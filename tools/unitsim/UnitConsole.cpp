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

#include "UnitConsole.h"
#include "image/ImageAssembly.h"
#include "serial/UnitExchange.h"

// The image rate, fixed whatever the console rate.
#define STREAM_BAUD 115200
// A stream that stops for this long is given up. The updater starts streaming
// only after it has collected "Ready", which takes two of its 10 s reads.
#define STREAM_IDLE_SECONDS 30.0
// Longest image the unit takes.
#define MAX_IMAGE_LENGTH (16L * 1024 * 1024)

static unsigned gLineSeed = 1;

void simUnit_setLineSeed(unsigned seed) { gLineSeed = seed; }

// Line bytes up to the next random fault of one in PER, the faulty one included.
static long lineGap(std::mt19937 &random, long per) {
  return std::geometric_distribution<long>(1.0 / (double)per)(random) + 1;
}

SimUnit::SimUnit(const UnitOptions &options, const BenchOptions &bench)
    : opt_(options), bench_(bench), version_(options.version), consoleRate_(options.consoleBaud) {
  lineRandom_.seed(gLineSeed * 2654435761u ^ (unsigned)(options.port * 1000 + options.plugNumber));
  for (int kind = 0; kind < LINE_FAULT_KINDS; kind++) {
    const LineFault &fault = opt_.lineFaults[kind];
    if (fault.per > 0) lineGap_[kind] = lineGap(lineRandom_, fault.per);
    if (fault.per > 0 || fault.image != 0) lineFaulty_ = true;
  }
}

bool simUnit_parseLineFault(const char *value, LineFault *fault) {
  if (value == NULL) return false;
  const char *number;
  if (strncmp(value, "logic@", 6) == 0) fault->image = 'l', number = value + 6;
  else if (strncmp(value, "mcu@", 4) == 0) fault->image = 'h', number = value + 4;
  else if (strncmp(value, "1/", 2) == 0) fault->image = 0, number = value + 2;
  else return false;
  if (*number < '0' || *number > '9') return false;
  char *end = NULL;
  const long n = strtol(number, &end, 10);
  if (*end != '\0' || (fault->image == 0 && n < 1)) return false;
  if (fault->image != 0) fault->at = n, fault->per = 0;
  else fault->per = n, fault->at = -1;
  return true;
}

// Every output of the unit; the pieces fault cuts it into three.
void SimUnit::send(PortLink &link, const std::string &bytes, int rate, double delay) {
  double notBefore = nowMono() + delay;
  if (opt_.piecesPauseMs >= 0 && bytes.size() >= 3) {
    size_t third = bytes.size() / 3;
    size_t cuts[4] = {0, third, 2 * third, bytes.size()};
    for (int i = 0; i < 3; i++)
      link.send(bytes.substr(cuts[i], cuts[i + 1] - cuts[i]), rate, i == 0 ? notBefore : 0,
                i == 0 ? 0 : opt_.piecesPauseMs / 1000.0);
    return;
  }
  link.send(bytes, rate, notBefore, 0);
}

void SimUnit::reply(PortLink &link, const std::string &text, int rate) {
  send(link, text, rate, opt_.lateMs / 1000.0);
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
void SimUnit::saveImage(PortLink &link) {
  if (bench_.saveDir.empty()) return;
  std::string folder = bench_.saveDir;
  if (bench_.unitFolders || opt_.plugNumber > 0) {
    folder += "/COM" + std::to_string(link.number());
    if (opt_.plugNumber > 1) folder += "-" + std::to_string(opt_.plugNumber);
    mkdir(folder.c_str(), 0777);  // an existing folder is fine; a failure shows at fopen
  }
  std::string path = folder + (streamKind_ == 'l' ? "/fpga.bin" : "/mcu.bin");
  FILE *file = fopen(path.c_str(), "wb");
  bool ok = file != NULL;
  if (ok && !streamData_.empty())
    ok = fwrite(streamData_.data(), 1, streamData_.size(), file) == streamData_.size();
  if (file != NULL && fclose(file) != 0) ok = false;
  link.log(ok ? "saved" : "save-failed", path);
}

void SimUnit::finishStream(PortLink &link) {
  bool sumOk = (uint32_t)(streamSum_ + streamCheckSum_) == 0;
  saveImage(link);
  char detail[160];
  // line-lead: how much line time the last bytes still had when the pty took
  // them (paced runs only); the updater's clock runs ahead by that much.
  double lead = link.lineLead();
  snprintf(detail, sizeof detail, "%c length %ld checksum %u sum-ok %d corrupt %d line-lead %.3f",
           streamKind_, (long)streamData_.size(), streamCheckSum_, sumOk ? 1 : 0,
           streamCorrupt_ ? 1 : 0, lead);
  link.log("stream-end", detail);

  if (opt_.faultReject) {
    reply(link, "FAILED", STREAM_BAUD);
  } else if (!sumOk || streamCorrupt_) {
    reply(link, "CHECKSUM ERROR", STREAM_BAUD);
  } else {
    reply(link, "SUCCESS", STREAM_BAUD);
    if (streamKind_ == 'l') logicAccepted_ = true;
    if (streamKind_ == 'h') {
      // New microcontroller firmware: the unit restarts, deaf until its banner.
      phase_ = PHASE_REBOOT;
      consoleRate_ = opt_.consoleBaud;
      bannerAt_ = nowMono() + opt_.lateMs / 1000.0 + bench_.rebootSeconds;
      link.log("reboot", std::to_string(bench_.rebootSeconds) + " s");
      streamData_.clear();
      streamData_.shrink_to_fit();
      return;
    }
    // The console stays at the image rate until the unit restarts.
    consoleRate_ = STREAM_BAUD;
  }
  phase_ = PHASE_CONSOLE;
  streamData_.clear();
  streamData_.shrink_to_fit();
}

void SimUnit::startStream(PortLink &link, char kind, uint32_t checkSum, long length) {
  phase_ = PHASE_STREAM;
  streamKind_ = kind;
  streamCheckSum_ = checkSum;
  streamLength_ = length;
  streamData_.clear();
  streamData_.reserve((size_t)length);
  streamSum_ = 0;
  streamCorrupt_ = false;
  streamLastByteAt_ = nowMono();
  lineBytes_ = 0;
  streamsOf_[kind == 'h' ? 1 : 0]++;
  char detail[96];
  snprintf(detail, sizeof detail, "%c length %ld checksum %u", kind, length, checkSum);
  link.log("stream-begin", detail);
  if (length == 0) finishStream(link);
}

// About a kilobyte of the chatter fault's status lines.
void SimUnit::queueChatterBlock(PortLink &link) {
  std::string block;
  while (block.size() < 1024) {
    char text[48];
    snprintf(text, sizeof text, "status %lu: link up\r\n", ++chatterCount_);
    block += text;
  }
  send(link, block, 0, 0);
}

void SimUnit::command(PortLink &link, const std::string &line, int baud) {
  link.log("cmd", escapeBytes(line, 200));
  const bool alreadyTalking = chatter_;
  if (opt_.faultChatter) chatter_ = true;
  if (opt_.faultSilent) return;
  // A unit that is already talking answers behind its status lines, whatever
  // the moment the command came: the reply never starts a read on its own.
  if (alreadyTalking) queueChatterBlock(link);
  if (trickling_) return;
  if (baud != consoleRate_) {
    // Sent at another rate: what the UART made of it is no command.
    send(link, garbageBytes(), GARBAGE_RATE, 0);
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
  } else if (opt_.trickleMs > 0 && (!opt_.trickleAfterReboot || rebooted_)) {
    // Found by detection, then only a byte now and then, whatever it is asked.
    trickling_ = true;
    trickleAt_ = nowMono();
    return;
  } else if (opt_.faultGarbage) {
    send(link, "\xff" + garbageBytes(), 0, opt_.lateMs / 1000.0);
    return;
  } else if (text == "%fw -v") {
    answer = version_ + "\r\n>>";
    if (releaseReportedAt_ == 0 && logicAccepted_ && rebooted_ &&
        version_.compare(0, strlen(FIRMWARE_VERSION_TO_UPLOAD), FIRMWARE_VERSION_TO_UPLOAD) == 0)
      releaseReportedAt_ = nowMono();
  } else if (text == "%fw -p") {
    answer = opt_.isRx ? VALIDATE_RX_PRODUCT_ID_STRING : VALIDATE_TX_PRODUCT_ID_STRING;
    if (opt_.faultExtraCr) answer.insert(answer.size() - 4, "\r");
  } else if (text.compare(0, 7, "%fw -l ") == 0 || text.compare(0, 7, "%fw -h ") == 0) {
    uint32_t checkSum = 0;
    long length = 0;
    if (!parseAnnounce(text.c_str() + 7, &checkSum, &length)) {
      answer = "ERROR: invalid parameters\r\n>>";
    } else if (opt_.faultNoReady) {
      link.log("no-ready", "fault");
      if (!echo.empty()) reply(link, echo, consoleRate_);
      return;
    } else {
      reply(link, echo + "Ready", consoleRate_);
      startStream(link, text[5], checkSum, length);
      return;
    }
  } else {
    answer = "ERROR: unknown command\r\n>>";
  }
  reply(link, echo + answer, consoleRate_);
}

// Takes image bytes from bytes[from...]: up to the image's end, or up to the
// byte at which a disconnect or unplug fault cuts the line, after which the
// unit hangs up. Returns how many it took; *hungUp says whether it hung up.
size_t SimUnit::takeStreamBytes(PortLink &link, const std::string &bytes, size_t from, int baud,
                                bool *hungUp) {
  size_t take = bytes.size() - from;
  long left = streamLength_ - (long)streamData_.size();
  if ((long)take > left) take = (size_t)left;
  bool cut = false;
  if (opt_.disconnectAfter >= 0 && (long)(streamData_.size() + take) >= opt_.disconnectAfter) {
    take = (size_t)(opt_.disconnectAfter - (long)streamData_.size());
    cut = true;
  }
  if (opt_.unplugAt >= 0 && streamBytesTotal_ + (long)take >= opt_.unplugAt) {
    take = (size_t)(opt_.unplugAt - streamBytesTotal_);
    cut = true;
  }
  for (size_t k = 0; k < take; k++) {
    uint8_t byte = (uint8_t)bytes[from + k];
    if (streamBytesTotal_ + (long)k == opt_.corruptAt) {
      byte ^= 0x5A;  // a line error the byte's parity did not catch
      link.log("corrupted", std::to_string(streamData_.size()) + " " + streamKind_);
    }
    streamData_.push_back(byte);
    streamSum_ += byte;
  }
  streamBytesTotal_ += (long)take;
  // Bytes sent at another rate reach the unit corrupted.
  if (take > 0 && baud != STREAM_BAUD) streamCorrupt_ = true;
  streamLastByteAt_ = nowMono();
  *hungUp = cut;
  if (cut) {
    link.log("hangup", "after " + std::to_string(streamData_.size()) + " stream bytes");
    link.hangUp();
  }
  return take;
}

// Whether the line byte now due (lineBytes_ of the stream) meets a fault of KIND.
bool SimUnit::lineFaultAt(int kind) {
  const LineFault &fault = opt_.lineFaults[kind];
  if (fault.per > 0) {
    if (--lineGap_[kind] > 0) return false;
    lineGap_[kind] = lineGap(lineRandom_, fault.per);
    return true;
  }
  return fault.image != 0 && fault.image == streamKind_ &&
         streamsOf_[streamKind_ == 'h' ? 1 : 0] == 1 && lineBytes_ == fault.at;
}

// Takes image bytes from bytes[from...] as the faulty line hands them on: a
// lost byte never reaches the unit (it waits for one more, and gives the
// stream up when none comes), a changed or shifted one fails its checksum, a
// stall holds the rest back for a while. Returns how many line bytes it used.
size_t SimUnit::takeLineBytes(PortLink &link, const std::string &bytes, size_t from, int baud,
                              bool *hungUp) {
  static const char *const kNames[] = {"line-drop", "line-change", "line-shift", "line-stall"};
  *hungUp = false;
  std::string run;  // bytes that passed unharmed, taken together
  size_t k = from;
  bool stall = false;
  while (k < bytes.size() && !stall &&
         (long)(streamData_.size() + run.size()) < streamLength_) {
    std::string out(1, bytes[k++]);
    bool lose = shiftLoseIn_ > 0 && --shiftLoseIn_ == 0;
    bool hit[LINE_FAULT_KINDS];
    for (int kind = 0; kind < LINE_FAULT_KINDS; kind++) hit[kind] = lineFaultAt(kind);
    if (hit[LINE_DROP]) lose = true;
    if (hit[LINE_CHANGE]) out[0] = (char)(out[0] ^ 0x5A);
    if (lose) out.clear();
    if (hit[LINE_SHIFT]) {
      out.insert(0, 1, '\0');
      shiftLoseIn_ = 16;
    }
    stall = hit[LINE_STALL];
    for (int kind = 0; kind < LINE_FAULT_KINDS; kind++)
      if (hit[kind]) link.log(kNames[kind], std::string(1, streamKind_) + " " + std::to_string(lineBytes_));
    lineBytes_++;
    run += out;
  }
  const long room = streamLength_ - (long)streamData_.size();
  if ((long)run.size() > room) run.resize((size_t)room);  // a shift's zero past the end
  if (!run.empty()) takeStreamBytes(link, run, 0, baud, hungUp);
  if (stall && !*hungUp) {
    held_ = bytes.substr(k);
    heldBaud_ = baud;
    heldUntil_ = nowMono() + opt_.stallSeconds;
    k = bytes.size();
  }
  return k - from;
}

void SimUnit::receive(PortLink &link, const std::string &bytes, int baud) {
  size_t i = 0;
  if (heldUntil_ > 0) {  // a stall: the line hands nothing on yet
    held_ += bytes;
    heldBaud_ = baud;
    return;
  }
  while (i < bytes.size()) {
    // Commands end in LF CR. The line is served at the LF, so the CR that
    // follows is no part of the next command, nor of an image that follows
    // an announce.
    if (swallowCr_) {
      swallowCr_ = false;
      if (bytes[i] == '\r') {
        i++;
        continue;
      }
    }
    if (phase_ == PHASE_REBOOT) {
      link.log("ignored", escapeBytes(bytes.substr(i), 64));
      return;
    }
    if (phase_ == PHASE_STREAM) {
      bool hungUp = false;
      i += lineFaulty_ ? takeLineBytes(link, bytes, i, baud, &hungUp)
                       : takeStreamBytes(link, bytes, i, baud, &hungUp);
      if (hungUp) return;
      if (heldUntil_ > 0 && (long)streamData_.size() < streamLength_) return;
      if ((long)streamData_.size() == streamLength_) finishStream(link);
      continue;
    }
    char c = bytes[i++];
    if (c == '\n' || c == '\r') {
      swallowCr_ = c == '\n';
      if (!line_.empty()) {
        std::string line = line_;
        line_.clear();
        command(link, line, baud);
      }
    } else if (line_.size() < 4096) {
      line_ += c;
    }
  }
}

void SimUnit::timers(PortLink &link, double now, double *nextDeadline) {
  if (heldUntil_ > 0) {
    if (now >= heldUntil_) {
      heldUntil_ = 0;
      std::string held;
      held.swap(held_);
      link.log("line-resume", std::to_string(held.size()) + " bytes held");
      streamLastByteAt_ = now;
      if (!held.empty()) receive(link, held, heldBaud_);
      *nextDeadline = now;  // the rest of its timers in the next round, the port may be gone
      return;
    } else {
      if (heldUntil_ < *nextDeadline) *nextDeadline = heldUntil_;
      return;
    }
  }
  if (phase_ == PHASE_STREAM && !link.inputPending()) {
    double giveUpAt = streamLastByteAt_ + STREAM_IDLE_SECONDS;
    if (now >= giveUpAt) {
      link.log("stream-timeout", std::to_string(streamData_.size()) + " of " +
                                     std::to_string(streamLength_) + " bytes");
      phase_ = PHASE_CONSOLE;
      streamData_.clear();
      reply(link, "TIMEOUT\r\n>>", STREAM_BAUD);
    } else if (giveUpAt < *nextDeadline) {
      *nextDeadline = giveUpAt;
    }
  }
  if (phase_ == PHASE_REBOOT) {
    if (now >= bannerAt_) {
      phase_ = PHASE_CONSOLE;
      rebooted_ = true;
      std::string banner = opt_.banner;
      if (opt_.faultBannerCrLf) banner += "\r\n";
      // Both images taken: the unit now runs the release it was sent (same
      // FPGA fields), unless it is told to come back with the old version.
      if (logicAccepted_ && !opt_.faultKeepVersion) {
        size_t space = version_.find(' ');
        version_ = FIRMWARE_VERSION_TO_UPLOAD +
                   (space == std::string::npos ? std::string() : version_.substr(space));
      }
      if (opt_.faultNoBanner) {
        link.log("no-banner", "fault");
      } else {
        link.log("banner", "");
        if (!opt_.faultSilent) send(link, banner, consoleRate_, 0);
      }
    } else if (bannerAt_ < *nextDeadline) {
      *nextDeadline = bannerAt_;
    }
  }
  if (trickling_) {
    if (now >= trickleAt_) {
      send(link, ".", 0, 0);
      trickleAt_ = now + opt_.trickleMs / 1000.0;
    }
    if (trickleAt_ < *nextDeadline) *nextDeadline = trickleAt_;
  }
  if (chatter_ && link.queuedSends() == 0) {
    // Talks without end: a block of status lines whenever the last one is out.
    queueChatterBlock(link);
    *nextDeadline = now;  // write it at once; a full pty makes us wait for POLLOUT
  }
}
