# Benchmarks that are Python scripts driving the real programs against unitsim
# held to the line rate. They print figures (wall time against the protocol's
# floor, peak memory, ratios); they are no tests.
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

find_package(Python3 COMPONENTS Interpreter REQUIRED)

# add_script_bench(TARGET SCRIPT COMMENT PROGRAMS --option target ... [ARGS ...])
# Runs SCRIPT with each program's path after its option, then ARGS; the
# target depends on the programs, so they are built first.
function(add_script_bench target script comment)
  cmake_parse_arguments(PARSE_ARGV 3 bench "" "" "PROGRAMS;ARGS")
  set(command ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/${script})
  set(programs)
  list(LENGTH bench_PROGRAMS count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET bench_PROGRAMS ${i} option)
    list(GET bench_PROGRAMS ${j} program)
    list(APPEND command ${option} $<TARGET_FILE:${program}>)
    list(APPEND programs ${program})
  endforeach()
  add_custom_target(${target}
    COMMAND ${command} ${bench_ARGS}
    DEPENDS ${programs}
    USES_TERMINAL
    COMMENT "${comment}")
endfunction()

# The updater's whole updates and detection:
#   cmake --build <build> --target bench_update            (detection, TX, RX; about 10 minutes)
#   cmake --build <build> --target bench_update_detection  (about 35 seconds)
set(all_programs --updater TessaranFwUpgrade --tool TessaranFwTool --unitsim unitsim)
add_script_bench(bench_update update_bench.py
  "Whole updates and detection against unitsim at line rate"
  PROGRAMS ${all_programs} ARGS detection tx rx)
add_script_bench(bench_update_detection update_bench.py
  "Detection of a unit on COM5 at 57600 behind four silent ports"
  PROGRAMS ${all_programs} ARGS detection)

# update-all with 1, 2, 4 and 8 units, and detection across 32 ports against
# the updater's sequential scan:
#   cmake --build <build> --target bench_fleet   (about 25 minutes)
add_script_bench(bench_fleet fleet_bench.py
  "update-all with 1, 2, 4 and 8 units, and detection across 32 ports, against unitsim at line rate"
  PROGRAMS ${all_programs})

# How many units one machine drives: 1 and 64 units on local pseudo-terminals,
# 1 and 128 each behind ser2net, each count against one unit alone on the same
# kind of line, the live table drawn on a terminal:
#   cmake --build <build> --target bench_fleet_scale   (about 25 minutes)
add_script_bench(bench_fleet_scale fleet_bench.py
  "update-all of 64 units on local pseudo-terminals and 128 behind ser2net, against one unit alone"
  PROGRAMS ${all_programs} ARGS --units 1,64 --network 1,128 units)

# The tool updating units behind ser2net (loopback, and through a proxy with a
# wide-area link's latency) against a local pty, update-all of 8 units
# behind ser2net against one local unit, and probe and update-all against
# servers that break the rules (time, exit status, peak RSS, console):
#   cmake --build <build> --target bench_network   (about 25 minutes)
add_script_bench(bench_network network_bench.py
  "update over a local pty, ser2net and a latency proxy; update-all of 8 units behind ser2net; hostile servers"
  PROGRAMS --tool TessaranFwTool --unitsim unitsim)

# probe and update without --port finding a unit on COM32 behind 31 silent
# ports, at 115200 and at 1200 baud:
#   cmake --build <build> --target bench_detect   (about a minute)
# The figure before the concurrent probe, with an older build of the tool:
#   bench/detect_bench.py --tool NEW --unitsim UNITSIM --before OLD   (about 15 minutes)
add_script_bench(bench_detect detect_bench.py
  "probe and update finding a unit on COM32 behind 31 silent ports"
  PROGRAMS --tool TessaranFwTool --unitsim unitsim)

# update-all --watch through 200 plugs, unplugs and swaps on 8 ports with mixed
# faults (unitsim unpaced, four sound updates): every unit handled once, its
# record right; the watch's descriptors, children and resident size:
#   cmake --build <build> --target bench_watch_soak   (about 15 minutes)
add_script_bench(bench_watch_soak watch_soak.py
  "update-all --watch soak: 200 plugs, unplugs and swaps over 8 ports with mixed faults"
  PROGRAMS --tool TessaranFwTool --unitsim unitsim)

# One watch through 100,000 stand-in units on 128 ports (stand-in probes and
# updates, the report, history and logs written as at a station): its size,
# idle and busy CPU, descriptors, children, report and log folder every 10,000:
#   cmake --build <build> --target bench_watch_flat   (about 30 minutes)
add_script_bench(bench_watch_flat watch_flat_bench.py
  "update-all --watch through 100,000 stand-in units: size and CPU every 10,000"
  PROGRAMS --tool TessaranFwTool ARGS --ports 128)

# history over 1,000,000 records (about 660 MB, written once to
# /tmp/history-bench.jsonl): one day, one label, the whole table and --json,
# wall time and peak RSS; an older build beside it with
# bench/history_bench.py --tool NEW --before OLD:
#   cmake --build <build> --target bench_history   (a few minutes)
add_script_bench(bench_history history_bench.py
  "history over 1,000,000 records: one day, one label, the whole table, --json"
  PROGRAMS --tool TessaranFwTool)

# history --html over 100,000 records (written once to
# /tmp/history-page-bench.jsonl): the page of every record and of one day
# against the whole table, wall time, peak RSS, the page's size and
# chromium's time to load it:
#   cmake --build <build> --target bench_history_page   (under a minute)
add_script_bench(bench_history_page history_page_bench.py
  "history --html over 100,000 records: time, peak RSS, page size, chromium's load"
  PROGRAMS --tool TessaranFwTool)
# The yield of 100 units over lines with one fault per 10 million bytes (a
# byte lost, changed or shifted, a 5 s stall), update-all --retries 0 and 2:
#   cmake --build <build> --target bench_retry_yield   (about 10 minutes)
add_script_bench(bench_retry_yield retry_yield.py
  "update-all's yield over faulty lines, --retries 0 and 2"
  PROGRAMS --tool TessaranFwTool --unitsim unitsim)
