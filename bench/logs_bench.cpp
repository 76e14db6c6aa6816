// A unit's log name and the retention's work, against the logs already in
// the folder (in TMPDIR, or /tmp):
//   build/bench/logs_bench
// LogName/N: the next name on a port with N logs in the folder (what each
// unit of a watch costs); LogNameFirst/N: the first name a run finds there
// (a watch started again on the folder); LogNameCounting/N: a look at every
// number from 1, as names were found before; RetentionStep: one round's part
// of removing day folders of 3,000 logs each.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "fleet/FleetLogs.h"
#include "fleet/LogRetention.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

static std::string benchFolder(const std::string &name) {
  const char *tmp = getenv("TMPDIR");
  const std::string folder =
      std::string(tmp != NULL && *tmp ? tmp : "/tmp") + "/logs_bench/" + name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

// A folder holding COM1's logs 1 to N, named as LogNames names them.
static std::string folderOf(int count) {
  const std::string folder = benchFolder("names-" + std::to_string(count));
  LogNames names(folder, "", false);
  std::string log, trace, error;
  for (int i = 0; i < count; i++) {
    names.next(1, 0, &log, &trace, &error);
    std::ofstream(log) << "x";
  }
  return folder;
}

static void LogName(benchmark::State &state) {
  const std::string folder = folderOf((int)state.range(0));
  LogNames names(folder, "", false);
  std::string log, trace, error;
  names.next(1, 0, &log, &trace, &error);
  for (auto _ : state) names.next(1, 0, &log, &trace, &error);
}
BENCHMARK(LogName)->Arg(100)->Arg(3000)->Arg(30000);

static void LogNameFirst(benchmark::State &state) {
  const std::string folder = folderOf((int)state.range(0));
  std::string log, trace, error;
  for (auto _ : state) {
    LogNames names(folder, "", false);
    names.next(1, 0, &log, &trace, &error);
  }
}
BENCHMARK(LogNameFirst)->Arg(100)->Arg(3000)->Arg(30000);

static void LogNameCounting(benchmark::State &state) {
  const std::string folder = folderOf((int)state.range(0));
  const std::string base = fleet_portFileName(folder + "/update.log", 1);
  for (auto _ : state) {
    int number = 1;
    while (files_nameTaken(fleet_numberedName(base, number))) number++;
    benchmark::DoNotOptimize(number);
  }
}
BENCHMARK(LogNameCounting)->Arg(100)->Arg(3000)->Arg(30000);

static void RetentionStep(benchmark::State &state) {
  const std::string logs = benchFolder("retention");
  std::vector<std::string> notes;
  std::unique_ptr<LogRetention> retention;
  double now = 0;
  for (auto _ : state) {
    if (retention == nullptr || !retention->busy()) {
      state.PauseTiming();
      fs::create_directories(logs + "/2025-01-01");
      for (int i = 0; i < 3000; i++)
        std::ofstream(logs + "/2025-01-01/update-COM1-" + std::to_string(i) + ".log");
      retention.reset(new LogRetention({logs}, 30));
      state.ResumeTiming();
    }
    retention->step(now += 0.1, 20432 * (time_t)86400, &notes);
  }
}
BENCHMARK(RetentionStep)->Iterations(240);

BENCHMARK_MAIN();
