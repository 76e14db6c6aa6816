# Network benchmarks: the tool updating units behind ser2net (loopback, and
# through a proxy with a wide-area link's latency) against a local pty, and
# update-all of 8 units behind ser2net against one local unit; unitsim at
# line rate. Figures, no tests. Run with:
#   cmake --build <build> --target bench_network   (about 25 minutes)
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_network
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/network_bench.py
    --tool $<TARGET_FILE:TessaranFwTool>
    --unitsim $<TARGET_FILE:unitsim>
  DEPENDS TessaranFwTool unitsim
  USES_TERMINAL
  COMMENT "update over a local pty, ser2net and a latency proxy; update-all of 8 units behind ser2net")
