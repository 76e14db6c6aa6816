// The devices on the ports without a unit (Talker.cpp): a silent device that
// only listens (or answers garbage), and talkers that never stop talking.
#ifndef TALKER_H
#define TALKER_H

#include <string>

#include "PortDevice.h"

enum TalkerKind { TALKER_NONE, TALKER_TRICKLE, TALKER_NMEA };
struct TalkerSetting {
  int port = 0;
  TalkerKind kind = TALKER_NONE;
  int intervalMs = 0;  // between two bytes (trickle) or two bursts (nmea)
};

// "PORT:trickle=MS" or "PORT:nmea".
bool parseTalker(const char *text, TalkerSetting *setting);

// Logs each command line it hears; answers it with garbage when told to.
class SilentDevice : public PortDevice {
 public:
  explicit SilentDevice(bool answerGarbage) : answerGarbage_(answerGarbage) {}
  void receive(PortLink &link, const std::string &bytes, int baud) override;
  void timers(PortLink &, double, double *) override {}

 private:
  bool answerGarbage_;
  std::string line_;  // console text being assembled
};

// Listens like a silent device and talks on its own schedule, kept apart from
// the line's pacing.
class Talker final : public SilentDevice {
 public:
  Talker(const TalkerSetting &setting, bool answerGarbage);
  void timers(PortLink &link, double now, double *nextDeadline) override;

 private:
  std::string nextTalk(void);

  TalkerKind kind_;
  int intervalMs_;
  double nextAt_;             // when its next bytes are due
  unsigned long count_ = 0;   // bytes (trickle) or bursts (nmea) so far
  std::string burst_;         // the burst being sent (nmea)
  size_t burstPos_ = 0;
  double burstAt_ = 0;        // when that burst began
};

#endif  // TALKER_H
