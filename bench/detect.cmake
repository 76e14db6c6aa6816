# Detection by probe and update without --port: a unit on COM32 behind 31
# silent ports, at 115200 and at 1200 baud. Figures, no tests. Run with:
#   cmake --build <build> --target bench_detect   (about a minute)
# The figure before the concurrent probe, with an older build of the tool:
#   bench/detect_bench.py --tool NEW --unitsim UNITSIM --before OLD   (about 15 minutes)
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_detect
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/detect_bench.py
    --tool $<TARGET_FILE:TessaranFwTool>
    --unitsim $<TARGET_FILE:unitsim>
  DEPENDS TessaranFwTool unitsim
  USES_TERMINAL
  COMMENT "probe and update finding a unit on COM32 behind 31 silent ports")
