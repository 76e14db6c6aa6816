// The simulated extender unit: shared state of the port layer (SimPorts.cpp),
// the unit's console (UnitConsole.cpp) and the program's main loop (UnitSim.cpp).
//
// One thread, one poll() loop. Every port is a pseudo-terminal whose slave is
// published as DIR/COMn; the updater opens the slave, the simulator works on
// the master. Some ports carry a unit each (a bench of several units plays
// them all at once, each with its own state), the others stay silent (or
// answer garbage, or, as talkers, never stop talking).
#ifndef UNITSIM_H
#define UNITSIM_H

#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

// ---- Options ---------------------------------------------------------------------
// Ports that are not the unit and never stop talking (Talker.cpp).
enum TalkerKind { TALKER_NONE, TALKER_TRICKLE, TALKER_NMEA };
struct TalkerSetting {
  int port = 0;
  TalkerKind kind = TALKER_NONE;
  int intervalMs = 0;  // between two bytes (trickle) or two bursts (nmea)
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
};

struct SimOptions {
  std::string comDir;              // folder for the COMn symlinks
  std::vector<int> ports;          // port numbers to create
  std::vector<UnitOptions> units;  // the units, each on its own port
  bool unitFolders = false;        // images saved as SAVE_DIR/COMn/... (units given with --unit)
  std::string saveDir;             // where received images are written
  std::string logPath;             // wire log, none when empty
  std::string readyFile;           // written once the ports exist
  double rebootSeconds = 145.0;    // from the last SUCCESS to the banner
  double maxSeconds = 300.0;       // the simulator stops by itself after this
  bool pace = false;               // hold both directions to the line rate
  bool othersGarbage = false;      // silent ports answer each line with garbage
  std::vector<TalkerSetting> talkers;  // --talker PORT:KIND
  unsigned seed = 1;
};
extern SimOptions gOpt;

#define GARBAGE_RATE (-1)

// ---- Ports -------------------------------------------------------------------------
// One piece of output; a reply is one piece, or several with the pieces fault.
struct OutPiece {
  std::string bytes;
  double notBefore = 0;  // monotonic time before which it must not start
  double gapAfterPrevious = 0;
  int rate = 0;          // the rate the unit sends at; 0: no rate check;
                         // GARBAGE_RATE: garbage already

  bool started = false;
};

// Bytes received, waiting for the moment they would have arrived on a real line.
struct InChunk {
  std::string bytes;
  double due = 0;
  int baud = 0;
};

// A talker's own schedule, kept apart from the line's pacing (Talker.cpp).
struct TalkerState {
  TalkerKind kind = TALKER_NONE;
  int intervalMs = 0;
  double nextAt = 0;          // when its next bytes are due
  unsigned long count = 0;    // bytes (trickle) or bursts (nmea) so far
  std::string burst;          // the burst being sent (nmea)
  size_t burstPos = 0;
  double burstAt = 0;         // when that burst began
};

struct SimPort {
  int number = 0;
  int master = -1;
  int slave = -1;           // our own slave descriptor, kept open for the whole run
  std::string slaveName;
  std::string linkPath;
  struct SimUnit *unit = nullptr;  // the unit on this port, null for a silent port
  bool alive = false;
  std::string line;         // console text being assembled
  std::deque<OutPiece> out;
  size_t outPos = 0;        // bytes of out.front() already written
  double outFreeAt = 0;     // line-rate pacing of output
  double previousDoneAt = 0;
  bool writeBlocked = false;  // the last write found the pty full: wait for POLLOUT
  std::deque<InChunk> in;
  double inFreeAt = 0;      // line-rate pacing of input: end of the line time
  double lastReadAt = 0;    // when the last bytes were taken from the pty
  bool outputStopped = false;  // the slave's output held with tcflow(TCOOFF)
  TalkerState talker;       // a talking device instead of a silent port
};
extern std::vector<SimPort> gPorts;

double nowMono(void);
// The rate the slave runs at (what the updater set), 0 when unknown.
int portBaud(const SimPort &port);
bool createPorts(void);
void removePorts(void);
// Closes the master and the slave, as an unplugged adapter; the link goes away.
void hangUp(SimPort &port);
void queueOutput(SimPort &port, const std::string &bytes, int rate, double delay);
// A few random bytes, as a UART shows text sent at another rate.
std::string garbageBytes(void);
// Reads what the updater sent, writes what is queued, holds the updater's
// writes to the line rate. Fills the poll timeout with the next deadline.
void servicePortRead(SimPort &port);
void servicePortWrite(SimPort &port);
void servicePortTimers(SimPort &port, double now, double *nextDeadline);

// ---- Wire log ----------------------------------------------------------------------
bool openLog(void);
void closeLog(void);
void logEvent(const SimPort &port, const char *event, const std::string &detail);
std::string escapeBytes(const std::string &bytes, size_t maxLength);

// ---- The unit's console --------------------------------------------------------------
enum UnitPhase { PHASE_CONSOLE, PHASE_STREAM, PHASE_REBOOT };

// One unit's state: its console, the image it is receiving, its reboot.
struct SimUnit {
  UnitOptions opt;
  std::string version;              // version reply now (the release's after an update)
  UnitPhase phase = PHASE_CONSOLE;
  int consoleRate = 115200;         // rate the console runs at now
  bool chatter = false;             // the chatter fault has started
  bool swallowCr = false;           // a line ended with LF: its CR may follow
  unsigned long chatterCount = 0;
  bool trickling = false;           // the trickle fault has started
  bool rebooted = false;            // the unit has sent (or skipped) its banner
  double trickleAt = 0;             // when its next byte is due
  long streamBytesTotal = 0;        // stream bytes taken so far, both images
  bool logicAccepted = false;       // the FPGA image of this session was accepted
  // The image being received.
  char streamKind = 0;              // 'l' programmable logic, 'h' microcontroller
  uint32_t streamCheckSum = 0;
  long streamLength = 0;
  std::vector<uint8_t> streamData;
  uint32_t streamSum = 0;
  bool streamCorrupt = false;
  double streamLastByteAt = 0;
  double bannerAt = 0;
};
extern std::vector<SimUnit> gUnits;

void unitInit(SimUnit &unit, const UnitOptions &options);
// Bytes that reached the unit port at line rate `baud`.
void unitReceive(SimPort &port, const std::string &bytes, int baud);
// A complete line on a port without the unit.
void silentPortLine(SimPort &port, const std::string &text, int baud);
void unitTimers(SimPort &port, double now, double *nextDeadline);

// ---- Talkers -------------------------------------------------------------------------
// "PORT:trickle=MS" or "PORT:nmea".
bool parseTalker(const char *text, TalkerSetting *setting);
// Marks the talker ports once they exist.
void talkersInit(void);
void talkerTimers(SimPort &port, double now, double *nextDeadline);

#endif  // UNITSIM_H
