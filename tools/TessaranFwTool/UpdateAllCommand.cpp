// update-all: finds every unit on the given ports, then updates them all at
// once, one child process per unit.
//
// Children. Each port is probed by a child of its own (`update-all
// --probe-port N`), then each unit found is updated by a child `update --port N
// --baud B [--no-verify] --progress-fd X`: the serial driver keeps one port and
// one set of buffers per process, and a unit that fails, hangs or goes away
// takes only its own process with it. A child's console transcript goes to its
// log file untouched; its progress comes back on its channel (ProgressChannel.h).
//
// Bounds. A child that tells nothing for FWUPGRADE_FLEET_STALL_SECONDS (120 s
// by default; the longest quiet stretch of a sound update is a 20 s wait for
// "Ready") is taken for hung and killed; a probe is given 120 s in all.
//
// Interrupts. The children run in process groups of their own, so the
// terminal's Ctrl+C reaches this process only, and the rule for interrupts is
// applied once for every unit, as the single update applies it to its unit:
// while units are being written, an interrupt warns, naming them; the next
// one stops everything only when every unit being written then was named by
// that warning in the same stretch (from the first image's announce to the
// second image's end). A unit that begins a new stretch re-arms the warning.
// With nothing being written, an interrupt stops at once. To stop, every
// child is sent an interrupt, again each second until it ends, and killed
// after 15 s. A unit stopped so is reported as interrupted, unless its child
// still ended with a sound update. Signals ignored at start (nohup, a
// background job) stay ignored.
//
// Files. Logs (and traces) are new files, never an earlier run's: a name
// already taken gets a number (update-COM3-2.log), and a planted link is
// refused rather than followed. The report is written whole beside its final
// name and renamed over it, so a run cut short leaves the earlier report as it
// was.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <fcntl.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "fleet/Fleet.h"
#include "fleet/ProgressChannel.h"
#include "platform/ExitStatus.h"
#include "platform/PortList.h"
#include "platform/Subprocess.h"
#include "updater/ReleaseSummary.h"
#include "updater/TessaranFwUpgrade.h"

#define FLEET_FIRST_PORT 1
#define FLEET_LAST_PORT 32
#define STALL_SECONDS_DEFAULT 120.0
#define PROBE_SECONDS_LIMIT 120.0
#define STOP_GRACE_SECONDS 15.0
#define REDRAW_SECONDS 0.5
#define PROBE_STOP_GRACE_SECONDS 3.0  // for an interrupted probe to close its port and lock

static double nowSeconds(void) {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---- One unit ------------------------------------------------------------------------

struct FleetUnit {
  FleetRecord record;
  Subprocess *child = NULL;
  ProgressReader reader;
  std::string step = "waiting";
  std::string stepBeforeFailure;
  int percent = 0;
  bool running = false, finished = false;
  bool stopped = false, hung = false;
  double startedAt = 0, lastHeardAt = 0, lastInterruptAt = 0, killAt = 0;
  int stretch = 0;         // stretches at risk begun so far
  int warnedStretch = -1;  // the stretch the last warning named it in
};

static bool isStreamingStep(const std::string &step) {
  return step == "sending logic" || step == "sending firmware";
}

static bool isStreaming(const FleetUnit &unit) { return unit.running && isStreamingStep(unit.step); }

// Takes one event from the unit's channel; TRUE when the step changed.
static bool takeEvent(FleetUnit &unit, const ProgressLine &line) {
  FleetRecord &r = unit.record;
  switch (line.kind) {
    case ProgressLine::STEP:
      if (line.step == unit.step) return false;
      if (line.step == "failed") unit.stepBeforeFailure = unit.step;
      if (isStreamingStep(line.step) && !isStreamingStep(unit.step)) unit.stretch++;
      unit.step = line.step;
      unit.percent = 0;
      return true;
    case ProgressLine::PERCENT:
      unit.percent = line.percent;
      return false;
    case ProgressLine::FACT: {
      // Versions read while verifying are the ones after the update.
      bool after = unit.step == "verifying" || unit.step == "done";
      if (line.key == "type") r.type = line.value;
      else if (line.key == "firmware") (after ? r.firmwareAfter : r.firmwareBefore) = line.value;
      else if (line.key == "fpga_version") (after ? r.fpgaAfter : r.fpgaBefore) = line.value;
      else if (line.key == "message") r.message = line.value;
      return false;
    }
  }
  return false;
}

// ---- Display -------------------------------------------------------------------------

static std::string elapsedText(double seconds) {
  char text[48];
  long whole = (long)seconds;
  snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

// The lengths of the images each unit type is sent, for the time left.
struct ImageLengths {
  long tx = 0, rx = 0, mcu = 0;

  void read() {
    ReleaseImage images[RELEASE_IMAGE_COUNT];
    if (!allocateWorkingBuffers()) return;
    if (summarizeEmbeddedRelease(images)) {
      mcu = images[0].flatLength;
      tx = images[1].flatLength;
      rx = images[2].flatLength;
    }
    releaseWorkingBuffers();
  }

  long fpgaFor(const std::string &type) const {
    if (type == "TX") return tx;
    if (type == "RX") return rx;
    return tx > rx ? tx : rx;  // not known yet: the longer
  }
};

static std::string unitRow(const FleetUnit &unit, double now, const ImageLengths *lengths = NULL) {
  char row[200];
  std::string percent = unit.running && unit.percent > 0 ? std::to_string(unit.percent) + "%" : "";
  double elapsed = unit.startedAt == 0 ? 0 : (unit.running ? now : unit.lastHeardAt) - unit.startedAt;
  snprintf(row, sizeof row, "COM%-4d %-4s %-7d %-17s %5s %7s", unit.record.port,
           unit.record.type.empty() ? "-" : unit.record.type.c_str(), unit.record.baud, unit.step.c_str(),
           percent.c_str(), unit.startedAt == 0 ? "" : elapsedText(elapsed).c_str());
  if (lengths == NULL) return row;
  // The live table only: the step lines keep their shape.
  double left = fleet_secondsLeft(unit.finished ? "done" : unit.step, unit.running ? unit.percent : 0,
                                  lengths->fpgaFor(unit.record.type), lengths->mcu);
  char column[32];
  snprintf(column, sizeof column, " %7s", left < 0 ? "" : elapsedText(left + 0.5).c_str());
  return row + std::string(column);
}

static const char kTableHeader[] = "PORT    TYPE RATE    STEP              PERCENT ELAPSED    LEFT";

struct Display {
  bool live = false;  // a terminal that takes ANSI sequences: the table in place
  ImageLengths lengths;
  int drawnLines = 0;
  double drawnAt = 0;

  void draw(const std::vector<FleetUnit> &units, double now) {
    std::string text;
    if (drawnLines > 0) text += "\x1b[" + std::to_string(drawnLines) + "F";  // back to the table's top
    text += "\x1b[2K" + std::string(kTableHeader) + "\n";
    for (const FleetUnit &unit : units) text += "\x1b[2K" + unitRow(unit, now, &lengths) + "\n";
    fputs(text.c_str(), stdout);
    fflush(stdout);
    drawnLines = (int)units.size() + 1;
    drawnAt = now;
  }

  // A step changed: a line of its own when the table is not redrawn.
  void stepChanged(const FleetUnit &unit, double now) {
    if (live) return;
    std::string row = unitRow(unit, now);
    while (!row.empty() && row.back() == ' ') row.pop_back();
    printf("%s\n", row.c_str());
    fflush(stdout);
  }

  // Text below the table; the table is drawn anew under it.
  void message(const std::string &text) {
    fprintf(stderr, "%s\n", text.c_str());
    fflush(stderr);
    drawnLines = 0;
  }
};

static void printSummary(const std::vector<FleetUnit> &units, bool noVerify) {
  printf("\nPORT    TYPE RATE    RESULT      FIRMWARE          SECONDS  LOG\n");
  for (const FleetUnit &unit : units) {
    const FleetRecord &r = unit.record;
    std::string firmware = r.firmwareBefore.empty() ? "-" : r.firmwareBefore;
    if (!r.firmwareAfter.empty()) firmware += " -> " + r.firmwareAfter;
    printf("COM%-4d %-4s %-7d %-11s %-17s %7.0f  %s\n", r.port, r.type.empty() ? "-" : r.type.c_str(),
           r.baud, r.result.c_str(), firmware.c_str(), r.seconds, r.log.c_str());
    if (r.result != "updated") {
      std::string why = r.failedStep.empty() ? r.message : r.failedStep + ": " + r.message;
      printf("        %s\n", why.c_str());
    }
  }
  std::vector<FleetRecord> records;
  for (const FleetUnit &unit : units) records.push_back(unit.record);
  std::string retry = fleet_retryCommand(records, noVerify);
  if (!retry.empty()) printf("\nTo try again: %s\n", retry.c_str());
  fflush(stdout);
}

// ---- Probing ---------------------------------------------------------------------------

struct Probe {
  int port = 0;
  Subprocess *child = NULL;
  ProgressReader reader;
  int baud = 0;
  std::string device;
  bool closed = false;
  bool stopped = false;  // still running when the probes were stopped
};

// Probes every port at once; returns the units found, in port order. FALSE
// when interrupted.
static bool probePorts(const std::string &self, const std::vector<int> &ports, std::vector<FleetUnit> *units) {
  std::vector<Probe> probes(ports.size());
  std::vector<Subprocess *> children;
  for (size_t i = 0; i < ports.size(); i++) {
    probes[i].port = ports[i];
    std::string error;
    probes[i].child = subprocess_start({self, "update-all", "--probe-port", std::to_string(ports[i]),
                                        "--progress-fd", SUBPROCESS_CHANNEL_ARG},
                                       "", &error);
    if (probes[i].child == NULL) {
      fprintf(stderr, "TessaranFwTool: COM%d cannot be probed: %s\n", ports[i], error.c_str());
      probes[i].closed = true;
    } else {
      children.push_back(probes[i].child);
    }
  }
  const double giveUpAt = nowSeconds() + PROBE_SECONDS_LIMIT;
  bool interrupted = false, stopping = false;
  double killAt = 0;
  std::vector<std::pair<int, std::string>> unopened;  // why a port could not be opened
  for (;;) {
    bool pending = false;
    for (Probe &probe : probes) {
      if (probe.closed) continue;
      char buffer[1024];
      int n;
      while ((n = subprocess_readChannel(probe.child, buffer, sizeof buffer)) > 0) {
        for (const ProgressLine &line : probe.reader.feed(buffer, (size_t)n)) {
          if (line.kind != ProgressLine::FACT) continue;
          if (line.key == "baud") probe.baud = atoi(line.value.c_str());
          if (line.key == "device") probe.device = line.value;
          if (line.key == "open_failure") unopened.emplace_back(probe.port, line.value);
        }
      }
      if (n < 0 && subprocess_finished(probe.child, NULL)) probe.closed = true;
      else pending = true;
    }
    const double now = nowSeconds();
    interrupted = interrupted || subprocess_interruptCount() > 0;
    if (!pending || (stopping && now >= killAt)) break;
    if (!stopping && (interrupted || now >= giveUpAt)) {
      // Interrupted rather than killed: a probe then closes its port, which
      // releases the port's lock file. Killed only if it does not end soon.
      stopping = true;
      killAt = now + PROBE_STOP_GRACE_SECONDS;
      for (Probe &probe : probes) {
        if (probe.closed) continue;
        probe.stopped = true;
        subprocess_interrupt(probe.child);
      }
    }
    subprocess_waitAny(children, 200);
  }
  for (Probe &probe : probes) {
    if (probe.stopped && !interrupted)
      fprintf(stderr, "TessaranFwTool: COM%d: the probe did not end, stopped\n", probe.port);
    subprocess_free(probe.child);  // kills a probe still running
    if (probe.baud <= 0 || interrupted) continue;
    FleetUnit unit;
    unit.record.port = probe.port;
    unit.record.baud = probe.baud;
    unit.record.device = probe.device;
    units->push_back(unit);
  }
  if (units->empty() && !interrupted) {
    std::sort(unopened.begin(), unopened.end());
    printOpenFailures(unopened);
  }
  return !interrupted;
}

// ---- Updating ----------------------------------------------------------------------------

static std::string defaultLogDir(time_t start) {
  return fleet_utcText(start, "update-all-%Y%m%dT%H%M%SZ");
}

// Makes the folder; an existing one will do unless mustBeNew.
static bool makeFolder(const std::string &path, bool mustBeNew) {
#ifdef _WIN32
  int made = _mkdir(path.c_str());
#else
  int made = mkdir(path.c_str(), 0777);
#endif
  // Returns 0 upon success, -1 upon failure. A folder named by the user may
  // be a link to one elsewhere: the files in it are what must be new.
  struct stat st;
  return made == 0 || (!mustBeNew && errno == EEXIST && stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFDIR));
}

// The default folder is named after the start time, to the second: a run
// started within the same second gets the next number rather than the
// earlier run's folder.
static bool makeDefaultLogFolder(time_t start, std::string *folder) {
  const std::string base = defaultLogDir(start);
  for (int number = 1; number < 1000; number++) {
    *folder = fleet_numberedName(base, number);
    if (makeFolder(*folder, true)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

static bool nameTaken(const std::string &path) {
  struct stat st;
#ifdef _WIN32
  return stat(path.c_str(), &st) == 0;
#else
  return lstat(path.c_str(), &st) == 0;  // a dangling link counts
#endif
}

// Makes PATH a new empty file: FALSE when anything (a link included) is there.
static bool makeNewFile(const std::string &path) {
#ifdef _WIN32
  int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
  return fd >= 0 && _close(fd) == 0;
#else
  // Returns a descriptor, -1 upon failure (EEXIST: the name is taken, by a
  // link too, followed or not).
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  return fd >= 0 && close(fd) == 0;
#endif
}

// The trace a child is given: in the trace folder, named like its log; or,
// when FWUPGRADE_TRACE names a file, one of its own beside it
// (trace.txt -> trace-COM3.txt), since children cannot share one.
static std::string traceFor(const FleetOptions &options, const std::string &logPath, int port) {
  if (!options.traceDir.empty()) {
    size_t slash = logPath.find_last_of("/\\");
    std::string name = slash == std::string::npos ? logPath : logPath.substr(slash + 1);
    size_t dot = name.rfind('.');
    return options.traceDir + "/" + name.substr(0, dot) + ".trace";
  }
  const char *shared = getenv("FWUPGRADE_TRACE");
  if (shared == NULL || *shared == '\0') return "";
  return fleet_portFileName(shared, port);
}

static double settingSeconds(const char *name, double fallback) {
  const char *text = getenv(name);
  double value = text != NULL ? atof(text) : 0;
  return value > 0 ? value : fallback;
}

static void startUnit(FleetUnit &unit, const std::string &program, const std::string &logDir,
                      const FleetOptions &options, double now) {
  FleetRecord &r = unit.record;
  // Not "COMn.log": Windows takes COM1 to COM9 with any extension for the
  // serial device itself, and the transcript would go out on the port. A
  // name an earlier run took (log or trace) gets the next number.
  const std::string base = logDir + "/update-COM" + std::to_string(r.port) + ".log";
  std::string trace;
  for (int number = 1; number < 1000; number++) {
    r.log = fleet_numberedName(base, number);
    trace = traceFor(options, r.log, r.port);
    if (!nameTaken(r.log) && (options.traceDir.empty() || !nameTaken(trace))) break;
  }
  std::vector<std::string> argv = {program, "update", "--port", std::to_string(r.port),
                                   "--baud", std::to_string(r.baud)};
  if (options.noVerify) argv.push_back("--no-verify");
  if (!trace.empty()) {
    argv.push_back("--trace");
    argv.push_back(trace);
  }
  argv.push_back("--progress-fd");
  argv.push_back(SUBPROCESS_CHANNEL_ARG);
  r.started = fleet_isoTime(time(NULL));
  unit.startedAt = unit.lastHeardAt = now;
  std::string error;
  // A trace in the trace folder is made here, new, for the child to append
  // to: the child opens its trace as it finds it.
  if (!options.traceDir.empty() && !makeNewFile(trace)) error = trace + ": " + strerror(errno);
  else unit.child = subprocess_start(argv, r.log, &error);
  if (unit.child == NULL) {
    unit.finished = true;
    unit.step = "failed";
    r.result = "failed";
    r.failedStep = "detecting";
    r.message = "cannot start the update: " + error;
    r.finished = r.started;
    return;
  }
  unit.running = true;
}

// The last line of an interrupted child's transcript when it tells what the
// interrupt left the unit with ("Interrupted while an image was being sent:
// ..."); empty otherwise.
static std::string finalStateLine(const std::string &logPath) {
  FILE *file = fopen(logPath.c_str(), "rb");
  if (file == NULL) return "";
  char tail[4096];
  long size = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
  size_t got = 0;
  if (size >= 0 && fseek(file, size > (long)sizeof tail ? size - (long)sizeof tail : 0, SEEK_SET) == 0)
    got = fread(tail, 1, sizeof tail, file);
  fclose(file);
  std::string text(tail, got);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  size_t start = text.find_last_of("\r\n");
  std::string line = start == std::string::npos ? text : text.substr(start + 1);
  return line.compare(0, 11, "Interrupted") == 0 ? line : "";
}

// The child ended: its result from what it told and its exit status.
static void finishUnit(FleetUnit &unit, int status, double stallSeconds) {
  FleetRecord &r = unit.record;
  unit.running = false;
  unit.finished = true;
  r.finished = fleet_isoTime(time(NULL));
  r.seconds = unit.lastHeardAt - unit.startedAt;
  std::string step = unit.step == "failed" ? unit.stepBeforeFailure : unit.step;
  if (step == "waiting") step = "detecting";  // ended before it told its first step
  if (unit.hung) {
    r.result = "failed";
    r.failedStep = step;
    r.message = "no progress for " + std::to_string((int)stallSeconds) + " s: stopped";
    unit.step = "failed";
  } else if (status == EXIT_UPDATE_DONE) {
    // Even after a stop request: the child finished its update first.
    r.result = "updated";
    unit.step = "done";
  } else if (unit.stopped || status == EXIT_INTERRUPTED) {
    r.result = "interrupted";
    r.failedStep = step;
    // The child's last words tell the unit's state ("the unit has no working
    // firmware ...").
    std::string state = finalStateLine(r.log);
    if (!state.empty()) r.message = state;
    else if (r.message.empty()) r.message = "stopped by an interrupt";
    unit.step = "interrupted";
  } else {
    r.result = "failed";
    r.failedStep = step;
    if (r.message.empty()) r.message = "exit status " + std::to_string(status);
    unit.step = "failed";
  }
}

int runUpdateAll(const FleetOptions &options, const char *argv0) {
  const time_t startTime = time(NULL);
  std::vector<int> ports = options.ports;
  if (ports.empty())
    for (int port = FLEET_FIRST_PORT; port <= FLEET_LAST_PORT; port++) ports.push_back(port);
  if (!options.reportPath.empty()) {
    // Refused now rather than after every unit has been updated; an earlier
    // report stays as it is until the new one replaces it.
    std::string error;
    if (!fleet_checkReportPath(options.reportPath, &error)) {
      fprintf(stderr, "TessaranFwTool: %s\n", error.c_str());
      return EXIT_USAGE;
    }
  }
  if (!options.traceDir.empty() && !makeFolder(options.traceDir, false)) {
    fprintf(stderr, "TessaranFwTool: cannot make the trace folder %s: %s\n", options.traceDir.c_str(),
            strerror(errno));
    return EXIT_USAGE;
  }
  const std::string self = subprocess_selfPath(argv0);
  const char *childOverride = getenv("FWUPGRADE_FLEET_CHILD");
  const std::string program = childOverride != NULL && *childOverride ? childOverride : self;
  const double stallSeconds = settingSeconds("FWUPGRADE_FLEET_STALL_SECONDS", STALL_SECONDS_DEFAULT);
  subprocess_countInterrupts();

  // 1. Find the units.
  printf("Looking for units on %zu port%s ...\n", ports.size(), ports.size() == 1 ? "" : "s");
  fflush(stdout);
  std::vector<FleetUnit> units;
  if (!probePorts(self, ports, &units)) {
    fprintf(stderr, "TessaranFwTool: interrupted while looking for units\n");
    return EXIT_INTERRUPTED;
  }
  if (units.empty()) {
    printf("No unit found.\n");
    if (!options.reportPath.empty()) {
      std::string error;
      if (!fleet_writeReport(options.reportPath, {}, &error)) fprintf(stderr, "TessaranFwTool: %s\n", error.c_str());
    }
    return EXIT_NO_UNIT;
  }
  std::string found;
  for (const FleetUnit &unit : units)
    found += (found.empty() ? "" : ", ") + std::string("COM") + std::to_string(unit.record.port) + " at " +
             std::to_string(unit.record.baud);
  printf("Found %zu unit%s: %s\n", units.size(), units.size() == 1 ? "" : "s", found.c_str());

  std::string logDir = options.logDir;
  if (logDir.empty() ? !makeDefaultLogFolder(startTime, &logDir) : !makeFolder(logDir, false)) {
    fprintf(stderr, "TessaranFwTool: cannot make the log folder %s: %s\n", logDir.c_str(), strerror(errno));
    return EXIT_UPDATE_FAILED;
  }
  printf("Logs in %s\n\n", logDir.c_str());
  fflush(stdout);

  // 2. Update them, at most `jobs` at once.
  Display display;
  display.live = subprocess_ansiConsole();
  if (display.live) display.lengths.read();
  const size_t jobs = options.jobs > 0 ? (size_t)options.jobs : units.size();
  int interruptsSeen = 0;
  bool stopping = false;
  for (;;) {
    double now = nowSeconds();
    size_t running = 0;
    for (const FleetUnit &unit : units) running += unit.running ? 1 : 0;
    for (FleetUnit &unit : units) {
      if (stopping || running >= jobs) break;
      if (unit.running || unit.finished) continue;
      startUnit(unit, program, logDir, options, now);
      if (!unit.running) display.stepChanged(unit, now);
      running += unit.running ? 1 : 0;
    }

    // What the children said; who has ended.
    bool changed = false;
    std::vector<Subprocess *> children;
    for (FleetUnit &unit : units) {
      if (!unit.running) continue;
      char buffer[4096];
      int n;
      while ((n = subprocess_readChannel(unit.child, buffer, sizeof buffer)) > 0) {
        unit.lastHeardAt = now;
        for (const ProgressLine &line : unit.reader.feed(buffer, (size_t)n)) {
          if (takeEvent(unit, line)) {
            changed = true;
            display.stepChanged(unit, now);
          }
        }
      }
      int status = 0;
      if (n < 0 && subprocess_finished(unit.child, &status)) {
        unit.lastHeardAt = now;
        std::string stepBefore = unit.step;
        finishUnit(unit, status, stallSeconds);
        changed = true;
        if (unit.step != stepBefore) display.stepChanged(unit, now);
        continue;
      }
      if (!unit.hung && now - unit.lastHeardAt > stallSeconds) {
        unit.hung = true;
        subprocess_kill(unit.child);
      } else if (unit.stopped && now >= unit.killAt) {
        subprocess_kill(unit.child);
      } else if (unit.stopped && now - unit.lastInterruptAt >= 1.0) {
        subprocess_interrupt(unit.child);
        unit.lastInterruptAt = now;
      }
      children.push_back(unit.child);
    }

    // Interrupts: the rule for every unit at once, one interrupt at a time
    // (two that came within one round are a warning and its answer).
    const int interrupts = subprocess_interruptCount();
    for (; interruptsSeen < interrupts && !stopping; interruptsSeen++) {
      std::string atRisk;
      bool allWarned = true;
      for (const FleetUnit &unit : units) {
        if (!isStreaming(unit)) continue;
        atRisk += (atRisk.empty() ? "COM" : ", COM") + std::to_string(unit.record.port);
        allWarned = allWarned && unit.warnedStretch == unit.stretch;
      }
      if (!atRisk.empty() && !allWarned) {
        for (FleetUnit &unit : units)
          if (isStreaming(unit)) unit.warnedStretch = unit.stretch;
        display.message("\nWARNING: " + atRisk + " being written: stopping now leaves " +
                        (atRisk.find(',') == std::string::npos ? "it" : "them") +
                        " without working firmware. Interrupt again to stop anyway.");
      } else {
        display.message("\nStopping every update ...");
        stopping = true;
        for (FleetUnit &unit : units) {
          if (unit.running) {
            unit.stopped = true;
            subprocess_interrupt(unit.child);
            unit.lastInterruptAt = now;
            unit.killAt = now + STOP_GRACE_SECONDS;
          } else if (!unit.finished) {
            unit.finished = true;
            unit.step = "interrupted";
            unit.record.result = "interrupted";
            unit.record.message = "not started: stopped by an interrupt";
          }
        }
      }
    }
    interruptsSeen = interrupts;

    bool anyLeft = false;
    for (const FleetUnit &unit : units) anyLeft = anyLeft || !unit.finished;
    if (display.live && (changed || now - display.drawnAt >= REDRAW_SECONDS || !anyLeft)) display.draw(units, now);
    if (!anyLeft) break;
    subprocess_waitAny(children, 200);
  }

  // 3. Summary, report, exit status.
  std::vector<FleetRecord> records;
  bool allUpdated = true, anyFailed = false;
  for (FleetUnit &unit : units) {
    records.push_back(unit.record);
    allUpdated = allUpdated && unit.record.result == "updated";
    anyFailed = anyFailed || unit.record.result == "failed";
    subprocess_free(unit.child);
  }
  printSummary(units, options.noVerify);
  if (!options.reportPath.empty()) {
    std::string error;
    if (!fleet_writeReport(options.reportPath, records, &error)) {
      fprintf(stderr, "TessaranFwTool: %s\n", error.c_str());
      anyFailed = true;
    }
  }
  if (allUpdated) return EXIT_UPDATE_DONE;
  return anyFailed || !stopping ? EXIT_UPDATE_FAILED : EXIT_INTERRUPTED;
}
