# Update benchmarks: the real updater against unitsim held to the line rate.
# They print figures (wall time against the protocol's floor, peak memory);
# they are no tests. Run with:
#   cmake --build <build> --target bench_update            (detection, TX, RX; about 10 minutes)
#   cmake --build <build> --target bench_update_detection  (about 35 seconds)
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(bench_update_command
  ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/update_bench.py
  --updater $<TARGET_FILE:TessaranFwUpgrade>
  --tool $<TARGET_FILE:TessaranFwTool>
  --unitsim $<TARGET_FILE:unitsim>)

add_custom_target(bench_update
  COMMAND ${bench_update_command} detection tx rx
  DEPENDS TessaranFwUpgrade TessaranFwTool unitsim
  USES_TERMINAL
  COMMENT "Whole updates and detection against unitsim at line rate")

add_custom_target(bench_update_detection
  COMMAND ${bench_update_command} detection
  DEPENDS TessaranFwUpgrade TessaranFwTool unitsim
  USES_TERMINAL
  COMMENT "Detection of a unit on COM5 at 57600 behind four silent ports")
