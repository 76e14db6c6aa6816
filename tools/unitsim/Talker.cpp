// The devices on the ports without a unit. A silent port only listens: it
// logs each command line it hears (and, with --others garbage, answers it with
// garbage). Talkers never fall silent, as the devices that share a PC's serial
// ports with it do (a GPS receiver, a UPS monitor, a data logger, a
// development board printing its log). A talker sends whatever rate the
// updater has set, and listens like a silent port.
//
//   trickle=MS  one byte every MS milliseconds, from a logger's reading line
//   nmea        a burst of four NMEA-like sentences once a second
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Talker.h"

// Text the trickling logger sends, one byte at a time, over and over.
static const char kTrickleLine[] = "T1=21.5C T2=19.8C RH=48%\r\n";

// A GPS receiver sends at its own 4800 baud whatever the line is set to (at
// another rate the UART makes garbage of it, at about the same pace): about
// 500 bytes a second, so its line is busy for most of each second and never
// quiet for as long as a read timeout of the updater.
#define NMEA_BAUD 4800
#define NMEA_SLICE_BYTES 8  // written together, 17 ms of its line time

// Pieces still queued beyond which a talker drops what it sends: a pty that
// nobody reads fills up, and a real device does not wait either.
#define TALKER_QUEUE_LIMIT 4

bool parseTalker(const char *text, TalkerSetting *setting) {
  char *end = NULL;
  long port = strtol(text, &end, 10);
  if (end == text || *end != ':' || port < 1 || port > 255) return false;
  setting->port = (int)port;
  const char *kind = end + 1;
  if (strcmp(kind, "nmea") == 0) {
    setting->kind = TALKER_NMEA;
    setting->intervalMs = 1000;
    return true;
  }
  if (strncmp(kind, "trickle=", 8) == 0) {
    long ms = strtol(kind + 8, &end, 10);
    if (end == kind + 8 || *end != '\0' || ms < 1 || ms > 3600000) return false;
    setting->kind = TALKER_TRICKLE;
    setting->intervalMs = (int)ms;
    return true;
  }
  return false;
}

// "$" BODY "*" checksum CR LF, the checksum being the XOR of the body's bytes.
static std::string nmeaSentence(const std::string &body) {
  unsigned sum = 0;
  for (char c : body) sum ^= (unsigned char)c;
  char tail[8];
  snprintf(tail, sizeof tail, "*%02X\r\n", sum & 0xFFu);
  return "$" + body + tail;
}

// One second of a GPS receiver: the fix, the satellites in use and in view,
// the recommended minimum and the course.
static std::string nmeaBurst(unsigned long second) {
  char clock[16];
  snprintf(clock, sizeof clock, "%02lu%02lu%02lu.00", (12 + second / 3600) % 24, second / 60 % 60,
           second % 60);
  std::string t = clock;
  return nmeaSentence("GPGGA," + t + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
         nmeaSentence("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1") +
         nmeaSentence("GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00") +
         nmeaSentence("GPGSV,3,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00") +
         nmeaSentence("GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00,,,,") +
         nmeaSentence("GPRMC," + t + ",A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W") +
         nmeaSentence("GPVTG,054.7,T,034.4,M,005.5,N,010.2,K");
}

void SilentDevice::receive(PortLink &link, const std::string &bytes, int) {
  for (char c : bytes) {
    if (c == '\n' || c == '\r') {
      if (!line_.empty()) {
        link.log("cmd", escapeBytes(line_, 200));
        if (answerGarbage_) link.send(garbageBytes(), GARBAGE_RATE, nowMono(), 0);
      }
      line_.clear();
    } else if (line_.size() < 4096) {
      line_ += c;
    }
  }
}

Talker::Talker(const TalkerSetting &setting, bool answerGarbage)
    : SilentDevice(answerGarbage), kind_(setting.kind), intervalMs_(setting.intervalMs),
      nextAt_(nowMono()) {}

// The bytes due now; moves nextAt_ to when the next ones are.
std::string Talker::nextTalk(void) {
  if (kind_ == TALKER_TRICKLE) {
    std::string byte(1, kTrickleLine[count_++ % (sizeof kTrickleLine - 1)]);
    nextAt_ += intervalMs_ / 1000.0;
    return byte;
  }
  if (burstPos_ >= burst_.size()) {
    burst_ = nmeaBurst(count_++);
    burstPos_ = 0;
    burstAt_ = nextAt_;
  }
  std::string slice = burst_.substr(burstPos_, NMEA_SLICE_BYTES);
  burstPos_ += slice.size();
  if (burstPos_ < burst_.size()) nextAt_ += slice.size() * 10.0 / NMEA_BAUD;
  else nextAt_ = burstAt_ + intervalMs_ / 1000.0;
  return slice;
}

void Talker::timers(PortLink &link, double now, double *nextDeadline) {
  if (now >= nextAt_) {
    std::string bytes = nextTalk();
    // Rate 0: sent as it is, whatever the line runs at.
    if (link.queuedSends() < TALKER_QUEUE_LIMIT) link.send(bytes, 0, now, 0);
    if (nextAt_ <= now) nextAt_ = now;  // fell behind (a busy machine): no catching up in a rush
  }
  if (nextAt_ < *nextDeadline) *nextDeadline = nextAt_;
}
