// update-all: finds every unit on the given ports, then updates them all at
// once (FleetRun.h), shown by its display (UpdateAllDisplay.h) with the
// summary at the end. The report is written whole beside its final name and
// renamed over it, so a run cut short leaves the earlier report as it was.
// With --watch the ports are watched until an interrupt instead (FleetWatch),
// each unit's record appended to the report as it is made (GrowingReport),
// which the watch holds: a run on a report a watch holds is refused.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ToolCommands.h"
#include "UnitSearch.h"
#include "fleet/FleetListenerTee.h"
#include "fleet/FleetLogs.h"
#include "fleet/FleetRun.h"
#include "fleet/FleetSearch.h"
#include "fleet/FleetWatch.h"
#include "fleet/GrowingReport.h"
#include "fleet/LabelQueue.h"
#include "fleet/LogRetention.h"
#include "platform/ConsoleEscapes.h"
#include "platform/ExitStatus.h"
#include "platform/Files.h"
#include "platform/StandardInput.h"
#include "platform/Subprocess.h"
#include "platform/ToolError.h"
#include "serial/PortDescription.h"
#include "update-all/UpdateAllDisplay.h"
#include "update-all/UpdateAllPage.h"

static std::string defaultLogDir(time_t start) {
  return fleet_utcText(start, "update-all-%Y%m%dT%H%M%SZ");
}

// The default folder is named after the start time, to the second: a run
// started within the same second gets the next number rather than the
// earlier run's folder.
static bool makeDefaultLogFolder(time_t start, std::string *folder) {
  const std::string base = defaultLogDir(start);
  for (int number = 1; number < 1000; number++) {
    *folder = fleet_numberedName(base, number);
    if (files_makeFolder(*folder, true)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// The units' log folder, --log-dir or the default one named after START,
// made now and written as the system writes paths; FALSE once the error is
// said.
static bool makeLogFolder(const FleetOptions &options, time_t start, std::string *logDir) {
  *logDir = options.logDir;
  if (logDir->empty() ? !makeDefaultLogFolder(start, logDir) : !files_makeFolder(*logDir, false)) {
    toolError_print("cannot make the log folder %s: %s", logDir->c_str(), strerror(errno));
    return false;
  }
  *logDir = fleet_nativePath(*logDir);
  return true;
}

// --labels: the lines typed since the last round into the queue; what was
// refused (at most LABEL_NOTES_MAX notes a round), and the end of the input,
// said (once).
#define LABEL_NOTES_MAX 5
static void readLabels(LabelQueue &labels, UpdateAllDisplay &display) {
  std::vector<std::string> notes;
  char buffer[4096];
  int n = 0;
  // At most 64 KiB a round: a writer that never stops does not hold the run up.
  for (int reads = 0; reads < 16 && (n = standardInput_read(buffer, sizeof buffer)) > 0; reads++)
    labels.feed(buffer, (size_t)n, &notes);
  const bool ended = n < 0 && !labels.ended();
  if (ended) labels.end(&notes);
  // A flood (a program writing garbage) says a few, and how many more.
  for (size_t i = 0; i < notes.size() && i < LABEL_NOTES_MAX; i++) display.note(notes[i]);
  if (notes.size() > LABEL_NOTES_MAX)
    display.note("... and " + std::to_string(notes.size() - LABEL_NOTES_MAX) +
                 " more lines refused");
  if (ended)
    display.note(
        "Standard input has ended: no more labels. A unit found from now on waits "
        "(needs label) until Ctrl+C.");
}

// Where the records the report misses are kept: "the history FILE has them".
static std::string keptElsewhere(const FleetOptions &options, const std::string &logDir) {
  if (options.noHistory) return "no history is kept (--no-history): each unit's log in " + logDir;
  return "the history " + historyPathFor(options.historyPath, false) + " has them";
}

// The records made final since the last round, appended to the report (when
// there is one); FALSE when they could not be written (they are tried again
// with the next, up to the report's bound: those left out past it are said
// once, here, and counted at the end).
static bool appendToReport(GrowingReport *report, FleetRun &run, const FleetOptions &options,
                           const std::string &where) {
  const std::vector<FleetRecord> records = run.takeRecorded();
  std::string error;
  const bool leftOutBefore = report != NULL && report->leftOut() > 0;
  if (report == NULL || records.empty() || report->append(records, &error)) return true;
  toolError_print("%s", error.c_str());
  if (!leftOutBefore && report->leftOut() > 0)
    toolError_print(
        "%s: %lld records wait to be written to the report; the next ones are left out "
        "of it while it cannot be written (%s)",
        options.reportPath.c_str(), report->waiting(), where.c_str());
  return false;
}

// A watch's end: its summary, what its report misses (MISSING: "" when
// nothing), and its exit status.
static int endWatch(const UpdateAllDisplay &display, const std::string &logDir, double runSeconds,
                    bool reportFailed, const std::string &missing) {
  display.printWatchSummary(logDir, runSeconds);
  if (!missing.empty()) toolError_print("%s", missing.c_str());
  if (reportFailed || display.anyFailed()) return EXIT_UPDATE_FAILED;
  return display.anyInterrupted() ? EXIT_INTERRUPTED : EXIT_UPDATE_DONE;
}

// The log folders' day folders past --keep-logs, a part of them each round;
// what is kept against it said.
static void keepLogs(LogRetention &retention, double now, UpdateAllDisplay &display) {
  std::vector<std::string> notes;
  retention.step(now, time(NULL), &notes);
  for (const std::string &text : notes) display.note(text);
}

// --watch: the ports watched until an interrupt; each unit that appears is
// handled once (FleetWatch), its record appended to the report. The run keeps
// only the units on the ports, so that a watch costs the same after 100,000
// units as after the first.
static int runWatch(const FleetOptions &options, const std::vector<int> &ports,
                    const std::string &self, const std::string &program, const std::string &logDir,
                    GrowingReport &report) {
  const double startedAt = fleet_nowSeconds();
  const bool live = platform_consoleTakesEscapes();
  UpdateAllDisplay display(live);
  display.fitPorts(ports);
  printf("Watching %zu port%s, probed every %g s; Ctrl+C to stop\n", ports.size(),
         ports.size() == 1 ? "" : "s", options.intervalSeconds);
  if (options.labels)
    printf("Labels: one a line on standard input (scanned, or typed and Enter)\n");
  printf("Logs in %s\n", logDir.c_str());
  if (report.continued()) printf("Report %s continued\n", options.reportPath.c_str());
  printf("\n");
  fflush(stdout);

  if (!options.noHistory) display.recordIn(historyPathFor(options.historyPath, false), startedAt);
  std::vector<std::string> logFolders = {logDir};
  if (!options.traceDir.empty()) logFolders.push_back(fleet_nativePath(options.traceDir));
  LogRetention retention(logFolders, options.keepLogDays);
  UpdateAllPage page(options.pagePath, startedAt,
                     [&display](const std::string &text) { display.note(text); });
  FleetListenerTee both(display, page);
  FleetListener &told = options.pagePath.empty() ? (FleetListener &)display : both;
  FleetRun run(options, logDir, program, told);
  run.watch();
  FleetWatch watch(self, ports, options.intervalSeconds, run, options.slotLocations);
  display.watching(&watch);
  page.watching(&watch);
  LabelQueue labels;
  if (options.labels) {
    watch.labels(&labels);
    display.labels(&labels);
    page.labels(&labels);
    standardInput_start(live);  // typing does not move the table drawn in place
  }
  bool reportFailed = false;
  const std::string where = keptElsewhere(options, logDir);
  for (;;) {
    const double now = fleet_nowSeconds();
    keepLogs(retention, now, display);
    if (options.labels) readLabels(labels, display);
    watch.round(now);
    bool unitsLeft = run.round();
    // Stopped in the round the interrupt came in; the units waiting for a
    // label it hands to the run, not started, are recorded in the next round.
    if (!run.watching() && watch.stop(now)) unitsLeft = true;
    display.watchRound();
    if (!appendToReport(options.reportPath.empty() ? NULL : &report, run, options, where))
      reportFailed = true;
    if (!run.watching() && !unitsLeft && !watch.probing()) break;
    run.wait(100);
    watch.wait(100);
  }
  standardInput_stop();
  if (!options.pagePath.empty()) page.end(fleet_nowSeconds());
  // Records still waiting get a last try.
  std::string error, missing;
  if (report.waiting() > 0 && !report.append({}, &error)) toolError_print("%s", error.c_str());
  if (report.missing() > 0)
    missing = options.reportPath + ": the report misses " + std::to_string(report.missing()) +
              (report.missing() == 1 ? " record" : " records") + ", which could not be written (" +
              where + ")";
  return endWatch(display, logDir, fleet_nowSeconds() - startedAt, reportFailed, missing);
}

// Before any child starts: the report's name checked, the trace folder made,
// room for a descriptor or two per port. The exit status of a refusal, or -1.
static int prepareRun(const FleetOptions &options, const std::vector<int> &ports) {
  if (!options.reportPath.empty()) {
    // Refused now rather than after every unit has been updated; an earlier
    // report stays as it is until the new one replaces it.
    std::string error;
    if (!fleet_checkReportPath(options.reportPath, &error) ||
        (!options.watch && fleet_reportHeld(options.reportPath, &error))) {
      toolError_print("%s", error.c_str());
      return EXIT_USAGE;
    }
  }
  std::string pageError;
  if (!options.pagePath.empty() && !stationPage_checkPath(options.pagePath, &pageError)) {
    toolError_print("%s", pageError.c_str());
    return EXIT_USAGE;
  }
  if (!options.traceDir.empty() && !files_makeFolder(options.traceDir, false)) {
    toolError_print("cannot make the trace folder %s: %s", options.traceDir.c_str(),
            strerror(errno));
    return EXIT_USAGE;
  }
  // Every port's probe, then every unit's update, is a child whose channel
  // this process holds open, with a few more descriptors each for its start,
  // its log and its hooks: a soft limit of 256 or 1024 would leave the ports
  // past it unprobed.
  const long wantedFiles = 2 * (long)(ports.size() + options.slotLocations.size()) + 32;
  const long fileLimit = subprocess_reserveDescriptors(wantedFiles);
  if (fileLimit >= 0 && fileLimit < wantedFiles)
    toolError_print("%lu ports need up to %ld open files and the limit is %ld (ulimit -n): "
                    "some ports may not be probed or updated",
                    (unsigned long)ports.size(), wantedFiles, fileLimit);
  return -1;
}

// A run's report written whole at its end, unless a watch started since holds
// it: replaced by the rename, that watch would go on growing a file no longer
// there. FALSE once the error is said.
static bool writeWholeReport(const std::string &path, const std::vector<FleetRecord> &records) {
  std::string error;
  if (fleet_reportHeld(path, &error)) {
    toolError_print("%s (this run's records are in its summary above)", error.c_str());
    return false;
  }
  if (fleet_writeReport(path, records, &error)) return true;
  toolError_print("%s", error.c_str());
  return false;
}

// The units on PORTS, said; the exit status when there is none, or -1.
static int findUnits(const FleetOptions &options, const std::string &self,
                     const std::vector<int> &ports, std::vector<FleetRecord> *found) {
  printf("Looking for units on %zu port%s ...\n", ports.size(), ports.size() == 1 ? "" : "s");
  fflush(stdout);
  if (!fleet_findUnits(self, ports, options.baud, found)) {
    toolError_print("interrupted while looking for units");
    return EXIT_INTERRUPTED;
  }
  if (found->empty()) {
    printf("No unit found.\n");
    if (!options.reportPath.empty()) writeWholeReport(options.reportPath, {});
    return EXIT_NO_UNIT;
  }
  std::string names;
  for (const FleetRecord &unit : *found)
    names += (names.empty() ? "" : ", ") + portDescription_of(unit.port).name +
             (unit.baud > 0 ? " at " + std::to_string(unit.baud) : " at the server's rate");
  printf("Found %zu unit%s: %s\n", found->size(), found->size() == 1 ? "" : "s", names.c_str());
  return -1;
}

// The units FOUND updated, at most `jobs` at once; then the summary, the
// report and the exit status.
static int updateFound(const FleetOptions &options, const std::vector<FleetRecord> &found,
                       const std::string &logDir, const std::string &program, double startedAt) {
  UpdateAllDisplay display(platform_consoleTakesEscapes());
  std::vector<int> ports;
  for (const FleetRecord &unit : found) ports.push_back(unit.port);
  display.fitPorts(ports);
  if (!options.noHistory) display.recordIn(historyPathFor(options.historyPath, false), startedAt);
  UpdateAllPage page(options.pagePath, startedAt,
                     [&display](const std::string &text) { display.note(text); });
  FleetListenerTee both(display, page);
  FleetListener &told = options.pagePath.empty() ? (FleetListener &)display : both;
  FleetRun run(options, logDir, program, told);
  for (const FleetRecord &unit : found) run.add(unit);
  while (run.round()) run.wait(200);
  if (!options.pagePath.empty()) page.end(fleet_nowSeconds());

  std::vector<FleetRecord> records;
  bool allUpdated = true, anyFailed = false;
  for (const FleetUnit *unit : run.units()) {
    records.push_back(unit->record);
    allUpdated = allUpdated && fleet_isSound(unit->record.result);
    anyFailed = anyFailed || unit->record.result == FLEET_RESULT_FAILED;
  }
  display.printSummary(records, options, logDir, fleet_nowSeconds() - startedAt);
  if (!options.reportPath.empty() && !writeWholeReport(options.reportPath, records))
    anyFailed = true;
  if (allUpdated) return EXIT_UPDATE_DONE;
  return anyFailed || !run.stopped() ? EXIT_UPDATE_FAILED : EXIT_INTERRUPTED;
}

// update-all once its options are checked; argv0 starts the children.
static int updateAll(const FleetOptions &options, const char *argv0) {
  const time_t startTime = time(NULL);
  const double startedAt = fleet_nowSeconds();
  std::vector<int> ports = options.ports.empty() && options.slotLocations.empty()
                               ? unitSearch_systemPorts()
                               : options.ports;
  const int refused = prepareRun(options, ports);
  if (refused >= 0) return refused;
  const char *childOverride = getenv("FWUPGRADE_FLEET_CHILD");
  const char *probeOverride = getenv("FWUPGRADE_FLEET_PROBE");
  const std::string program = childOverride != NULL && *childOverride ? childOverride
                                                                      : subprocess_selfPath(argv0);
  const std::string self =
      probeOverride != NULL && *probeOverride ? probeOverride : subprocess_selfPath(argv0);
  subprocess_countInterrupts();

  std::string logDir;
  if (options.watch) {
    // The report an earlier watch left (cut short by a power cut too) is
    // continued, not replaced.
    GrowingReport report;
    std::string error;
    if (!options.reportPath.empty() && !report.open(options.reportPath, &error)) {
      toolError_print("%s", error.c_str());
      return EXIT_USAGE;
    }
    if (!makeLogFolder(options, startTime, &logDir)) return EXIT_UPDATE_FAILED;
    FleetOptions watching = options;
    watching.skipCurrent = true;
    return runWatch(watching, ports, self, program, logDir, report);
  }
  std::vector<FleetRecord> found;
  const int none = findUnits(options, self, ports, &found);
  if (none >= 0) return none;
  if (!makeLogFolder(options, startTime, &logDir)) return EXIT_UPDATE_FAILED;
  printf("Logs in %s\n\n", logDir.c_str());
  fflush(stdout);
  return updateFound(options, found, logDir, program, startedAt);
}

int runUpdateAll(const ToolOptions &options) {
  const UpdateAllCommandLine &all = options.updateAll;
  if (all.probe.port > 0) return runProbeChild(all.probe);
  if (all.portGiven) {
    toolError_print(
        "update-all looks for units on --ports, not --port (e.g. --ports 3 or --ports 1-8,12)");
    return EXIT_USAGE;
  }
  FleetOptions fleet = all.fleet;
  if (!all.ports.empty() &&
      !parseUpdateAllPorts(all.ports, fleet.watch, &fleet.ports, &fleet.slotLocations))
    return EXIT_USAGE;
  // --baud is the rate of the socket:// ports' lines, which no probe can
  // learn; the other ports' units are found at their own rates.
  if (fleet.baud > 0 && std::none_of(fleet.ports.begin(), fleet.ports.end(),
                                     [](int port) { return portDescription_of(port).serverRate; })) {
    toolError_print(
        "--baud is the rate of the socket:// ports' lines, and --ports names none "
        "(COM and rfc2217:// ports are asked at detection's rates)");
    return EXIT_USAGE;
  }
  return updateAll(fleet, options.program);
}
