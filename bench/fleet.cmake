# update-all benchmarks: 1, 2, 4 and 8 units at line rate, and detection across
# 32 ports against the updater's sequential scan. Figures, no tests. Run with:
#   cmake --build <build> --target bench_fleet   (about 25 minutes)
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_fleet
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/fleet_bench.py
    --updater $<TARGET_FILE:TessaranFwUpgrade>
    --tool $<TARGET_FILE:TessaranFwTool>
    --unitsim $<TARGET_FILE:unitsim>
  DEPENDS TessaranFwUpgrade TessaranFwTool unitsim
  USES_TERMINAL
  COMMENT "update-all with 1, 2, 4 and 8 units, and detection across 32 ports, against unitsim at line rate")
