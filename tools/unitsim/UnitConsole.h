// The simulated extender unit: its console, the image streams it takes, its
// reboot and the faults it can be told to show (UnitConsole.cpp).
#ifndef UNITCONSOLE_H
#define UNITCONSOLE_H

#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include "PortDevice.h"

// What the line to a unit does to the image bytes it carries, each kind at a
// chosen place or rate (UnitConsole.cpp says how the unit answers each).
enum LineFaultKind {
  LINE_DROP,    // a byte lost
  LINE_CHANGE,  // a byte changed
  LINE_SHIFT,   // a 0x00 inserted, and the byte 16 bytes later lost: the length still matches
  LINE_STALL,   // no byte taken for a few seconds (stall-seconds), then the rest
  LINE_FAULT_KINDS
};
struct LineFault {
  char image = 0;  // at byte `at` of the first stream of this image: 'l' logic, 'h' microcontroller
  long at = -1;
  long per = 0;    // or: one in `per` line bytes of every stream, at random (--seed)
};

// What one unit is and which faults it shows.
struct UnitOptions {
  int port = 0;                    // port that carries the unit
  bool isRx = false;               // unit type
  int consoleBaud = 115200;        // rate at which the unit's console runs
  std::string version = "1.0.3 XC7A35 1.3 1";  // text of the version reply
  std::string banner;              // boot banner (default set from the type)
  // Faults.
  bool faultSilent = false;        // the unit never answers
  bool faultNoReady = false;       // announces get no "Ready"
  bool faultReject = false;        // every stream is answered with a failure
  long disconnectAfter = -1;       // hang up after this many stream bytes
  // Counted over both images together (logic image first), so that one
  // number can name any byte of either image.
  long unplugAt = -1;              // hang up after this many stream bytes in all
  long corruptAt = -1;             // the stream byte at this offset arrives changed
  bool faultNoBanner = false;      // reboots without sending its banner
  int trickleMs = 0;               // after the detection reply: a byte every MS ms, no answers
  bool trickleAfterReboot = false; // the trickle starts only once the unit has rebooted
  bool faultGarbage = false;       // every reply after the detection reply is garbage
  bool faultChatter = false;       // talks without end after the first command
  int piecesPauseMs = -1;          // replies in pieces with this pause between them
  int lateMs = 0;                  // every reply starts this late
  bool faultExtraCr = false;       // one more CR in the identification reply
  bool faultBannerCrLf = false;    // banner ends in ">>\r\n"
  bool faultKeepVersion = false;   // still reports the old version after an update
  LineFault lineFaults[LINE_FAULT_KINDS];
  double stallSeconds = 5;         // how long a stall holds the line's bytes back
  // The how-manieth unit on its port (units plugged while the simulator runs):
  // 0 or 1 keep the images in the port's folder, N > 1 in SAVE_DIR/COMn-N.
  int plugNumber = 0;
};

// What all the units of a run share.
struct BenchOptions {
  std::string saveDir;             // where received images are written
  bool unitFolders = false;        // images saved as SAVE_DIR/COMn/... (units given with --unit)
  double rebootSeconds = 145.0;    // from the last SUCCESS to the banner
};

// One unit: its console, the image it is receiving, its reboot.
class SimUnit final : public PortDevice {
 public:
  SimUnit(const UnitOptions &options, const BenchOptions &bench);
  void receive(PortLink &link, const std::string &bytes, int baud) override;
  void timers(PortLink &link, double now, double *nextDeadline) override;
  // When this unit, updated (both images taken, rebooted), first reported the
  // release's version; 0 until then.
  double releaseReportedAt() const { return releaseReportedAt_; }

 private:
  enum Phase { PHASE_CONSOLE, PHASE_STREAM, PHASE_REBOOT };

  void send(PortLink &link, const std::string &bytes, int rate, double delay);
  void reply(PortLink &link, const std::string &text, int rate);
  void command(PortLink &link, const std::string &line, int baud);
  void queueChatterBlock(PortLink &link);
  void startStream(PortLink &link, char kind, uint32_t checkSum, long length);
  size_t takeStreamBytes(PortLink &link, const std::string &bytes, size_t from, int baud,
                         bool *hungUp);
  void finishStream(PortLink &link);
  void saveImage(PortLink &link);
  size_t takeLineBytes(PortLink &link, const std::string &bytes, size_t from, int baud,
                       bool *hungUp);
  bool lineFaultAt(int kind);

  UnitOptions opt_;
  BenchOptions bench_;
  std::string version_;             // version reply now (the release's after an update)
  Phase phase_ = PHASE_CONSOLE;
  int consoleRate_ = 115200;        // rate the console runs at now
  std::string line_;                // console text being assembled
  bool chatter_ = false;            // the chatter fault has started
  bool swallowCr_ = false;          // a line ended with LF: its CR may follow
  unsigned long chatterCount_ = 0;
  bool trickling_ = false;          // the trickle fault has started
  bool rebooted_ = false;           // the unit has sent (or skipped) its banner
  double trickleAt_ = 0;            // when its next byte is due
  long streamBytesTotal_ = 0;       // stream bytes taken so far, both images
  bool logicAccepted_ = false;      // the FPGA image of this session was accepted
  // The image being received.
  char streamKind_ = 0;             // 'l' programmable logic, 'h' microcontroller
  uint32_t streamCheckSum_ = 0;
  long streamLength_ = 0;
  std::vector<uint8_t> streamData_;
  uint32_t streamSum_ = 0;
  bool streamCorrupt_ = false;
  double streamLastByteAt_ = 0;
  double bannerAt_ = 0;
  double releaseReportedAt_ = 0;
  // The line's faults: bytes of the current stream seen on the line, the
  // streams of each image begun, the random gaps to the next fault of each
  // kind, a shift's byte still to lose, and the bytes a stall holds back.
  bool lineFaulty_ = false;
  long lineBytes_ = 0;
  int streamsOf_[2] = {0, 0};
  std::mt19937 lineRandom_;
  long lineGap_[LINE_FAULT_KINDS] = {0, 0, 0, 0};
  int shiftLoseIn_ = 0;
  std::string held_;
  int heldBaud_ = 0;
  double heldUntil_ = 0;
};

// The seed of every unit's random line faults (unitsim --seed), with its port
// and plug number mixed in so that units differ.
void simUnit_setLineSeed(unsigned seed);
// Reads a line fault's value: "logic@K", "mcu@K" or "1/N". FALSE when it is none.
bool simUnit_parseLineFault(const char *value, LineFault *fault);

#endif  // UNITCONSOLE_H
