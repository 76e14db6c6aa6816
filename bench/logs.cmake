# logs_bench: a unit's log name against the logs already in its folder, and
# the retention's part of a round.
#   build/bench/logs_bench
add_executable(logs_bench ${CMAKE_CURRENT_SOURCE_DIR}/logs_bench.cpp)
target_link_libraries(logs_bench PRIVATE fw_fleet benchmark::benchmark)
