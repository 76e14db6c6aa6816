# image_bench: image assembly of each embedded text from a fresh heap copy.
#   build/bench/image_bench --benchmark_min_time=1
# The whole-process comparison with objcopy and srec_cat is
# bench/compare_image_tools.sh.
add_executable(image_bench ${CMAKE_CURRENT_SOURCE_DIR}/image_bench.cpp)
target_include_directories(image_bench PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(image_bench PRIVATE fw_image fw_binimage benchmark::benchmark)
