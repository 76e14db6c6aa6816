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
// applied once for every unit: while any unit is being written, the first
// interrupt only warns; otherwise (or at the second) every child is sent an
// interrupt, again each second until it ends, and killed after 15 s. A unit
// stopped so is reported as interrupted.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#ifdef _WIN32
#include <direct.h>
#endif

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "ExitStatus.h"
#include "Fleet.h"
#include "PortList.h"
#include "ProgressChannel.h"
#include "platform/Subprocess.h"

#define FLEET_FIRST_PORT 1
#define FLEET_LAST_PORT 32
#define STALL_SECONDS_DEFAULT 120.0
#define PROBE_SECONDS_LIMIT 120.0
#define STOP_GRACE_SECONDS 15.0
#define REDRAW_SECONDS 0.5

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
};

static bool isStreaming(const FleetUnit &unit) {
  return unit.running && (unit.step == "sending logic" || unit.step == "sending firmware");
}

// Takes one event from the unit's channel; TRUE when the step changed.
static bool takeEvent(FleetUnit &unit, const ProgressLine &line) {
  FleetRecord &r = unit.record;
  switch (line.kind) {
    case ProgressLine::STEP:
      if (line.step == unit.step) return false;
      if (line.step == "failed") unit.stepBeforeFailure = unit.step;
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

static std::string unitRow(const FleetUnit &unit, double now) {
  char row[160];
  std::string percent = unit.running && unit.percent > 0 ? std::to_string(unit.percent) + "%" : "";
  double elapsed = unit.startedAt == 0 ? 0 : (unit.running ? now : unit.lastHeardAt) - unit.startedAt;
  snprintf(row, sizeof row, "COM%-4d %-4s %-7d %-17s %5s %7s", unit.record.port,
           unit.record.type.empty() ? "-" : unit.record.type.c_str(), unit.record.baud, unit.step.c_str(),
           percent.c_str(), unit.startedAt == 0 ? "" : elapsedText(elapsed).c_str());
  return row;
}

static const char kTableHeader[] = "PORT    TYPE RATE    STEP              PERCENT ELAPSED";

struct Display {
  bool live = false;  // a terminal that takes ANSI sequences: the table in place
  int drawnLines = 0;
  double drawnAt = 0;

  void draw(const std::vector<FleetUnit> &units, double now) {
    std::string text;
    if (drawnLines > 0) text += "\x1b[" + std::to_string(drawnLines) + "F";  // back to the table's top
    text += "\x1b[2K" + std::string(kTableHeader) + "\n";
    for (const FleetUnit &unit : units) text += "\x1b[2K" + unitRow(unit, now) + "\n";
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

static void printSummary(const std::vector<FleetUnit> &units) {
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
  bool interrupted = false;
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
    interrupted = subprocess_interruptCount() > 0;
    if (!pending || interrupted || nowSeconds() >= giveUpAt) break;
    subprocess_waitAny(children, 200);
  }
  for (Probe &probe : probes) {
    if (!probe.closed && probe.child != NULL)
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

static bool makeFolder(const std::string &path) {
#ifdef _WIN32
  int made = _mkdir(path.c_str());
#else
  int made = mkdir(path.c_str(), 0777);
#endif
  // Returns 0 upon success, -1 upon failure; an existing folder will do.
  struct stat st;
  return made == 0 || (errno == EEXIST && stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFDIR));
}

static double settingSeconds(const char *name, double fallback) {
  const char *text = getenv(name);
  double value = text != NULL ? atof(text) : 0;
  return value > 0 ? value : fallback;
}

static void startUnit(FleetUnit &unit, const std::string &program, const std::string &logDir,
                      bool noVerify, double now) {
  FleetRecord &r = unit.record;
  // Not "COMn.log": Windows takes COM1 to COM9 with any extension for the
  // serial device itself, and the transcript would go out on the port.
  r.log = logDir + "/update-COM" + std::to_string(r.port) + ".log";
  std::vector<std::string> argv = {program, "update", "--port", std::to_string(r.port),
                                   "--baud", std::to_string(r.baud)};
  if (noVerify) argv.push_back("--no-verify");
  argv.push_back("--progress-fd");
  argv.push_back(SUBPROCESS_CHANNEL_ARG);
  r.started = fleet_isoTime(time(NULL));
  unit.startedAt = unit.lastHeardAt = now;
  std::string error;
  unit.child = subprocess_start(argv, r.log, &error);
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
  } else if (unit.stopped || status == EXIT_INTERRUPTED) {
    r.result = "interrupted";
    r.failedStep = step;
    if (r.message.empty()) r.message = "stopped by an interrupt";
    unit.step = "interrupted";
  } else if (status == EXIT_UPDATE_DONE) {
    r.result = "updated";
    unit.step = "done";
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
    // Refused now rather than after every unit has been updated.
    std::string error;
    if (!fleet_writeReport(options.reportPath, {}, &error)) {
      fprintf(stderr, "TessaranFwTool: %s\n", error.c_str());
      return EXIT_USAGE;
    }
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

  const std::string logDir = options.logDir.empty() ? defaultLogDir(startTime) : options.logDir;
  if (!makeFolder(logDir)) {
    fprintf(stderr, "TessaranFwTool: cannot make the log folder %s: %s\n", logDir.c_str(), strerror(errno));
    return EXIT_UPDATE_FAILED;
  }
  printf("Logs in %s\n\n", logDir.c_str());
  fflush(stdout);

  // 2. Update them, at most `jobs` at once.
  Display display;
  display.live = subprocess_ansiConsole();
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
      startUnit(unit, program, logDir, options.noVerify, now);
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

    // Interrupts: the rule for every unit at once.
    int interrupts = subprocess_interruptCount();
    if (interrupts > interruptsSeen && !stopping) {
      std::string atRisk;
      for (const FleetUnit &unit : units)
        if (isStreaming(unit)) atRisk += (atRisk.empty() ? "COM" : ", COM") + std::to_string(unit.record.port);
      if (interrupts == 1 && !atRisk.empty()) {
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
      interruptsSeen = interrupts;
    }

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
  printSummary(units);
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
