// The progress channel between `update` and `update-all`: one line per event.
//
//   step sending logic      the step changed (percent back to 0)
//   percent 42              the percentage of the current step
//   fact type TX            something learnt about the unit: a key, a space, the value
//
// Two facts tell the parent about the child itself: `log_error` (why its
// console transcript, its log, cannot be written; told once) and `state`
// (the last line of an interrupted update: what the interrupt left the unit
// with).
//
// A value never holds a line end (line ends in it become spaces). The child
// writes the lines as the update's listeners hear the events; the parent reads
// them with a ProgressReader, piece by piece as the pipe gives them.
#ifndef PROGRESSCHANNEL_H
#define PROGRESSCHANNEL_H

#include <stddef.h>

#include <string>
#include <vector>

#include "fleet/FleetStates.h"
#include "serial/UpdateProgress.h"

// The line (with its LF) that tells one event.
std::string progressChannel_line(const UpdateEvent &event);
// A fact line for something the update's modules do not tell (the probe's
// port and device, for example).
std::string progressChannel_factLine(const char *key, const char *value);

// Child side: from now on every update event goes out on the channel whose
// number was given on the command line (--progress-fd), and so does an
// interrupt's last line. With each event the console is flushed, and the
// first write to it that failed is told. FALSE when the number is no open
// channel.
bool progressChannel_attach(const char *channelNumber);
// Writes one ready-made line on the attached channel.
void progressChannel_send(const std::string &line);
// Tells a console write that failed since the last look, once a run.
void progressChannel_checkConsole(void);
void progressChannel_detach(void);

struct ProgressLine {
  enum Kind { STEP, PERCENT, FACT } kind = STEP;
  FleetStep step = FLEET_STEP_UNKNOWN;  // STEP
  std::string stepText;  // STEP: as the child wrote it (a newer child's unknown step)
  int percent = 0;   // PERCENT
  std::string key;   // FACT
  std::string value;
};

// Parent side: turns the bytes of a channel back into events. Lines that do
// not parse are dropped (a child of another version may say more).
class ProgressReader {
 public:
  std::vector<ProgressLine> feed(const char *data, size_t length);

 private:
  std::string pending_;
};

#endif  // PROGRESSCHANNEL_H
