# libFuzzer targets over update-all's parsers: the progress channel's reader
# and the --ports list. Their sources are compiled into each target, so that
# the coverage instrumentation reaches the code under test.
set(fleet_fuzz_options -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
                       -fno-omit-frame-pointer)
set(fleet_dir ${PROJECT_SOURCE_DIR}/tools/TessaranFwTool)

add_executable(fuzz_progress_channel progress_channel.cpp ${fleet_dir}/ProgressChannel.cpp)
add_executable(fuzz_port_list port_list.cpp ${fleet_dir}/FleetReport.cpp)
foreach(target fuzz_progress_channel fuzz_port_list)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${fleet_dir})
  target_compile_options(${target} PRIVATE ${fleet_fuzz_options})
  target_link_options(${target} PRIVATE ${fleet_fuzz_options})
endforeach()
# ProgressChannel.cpp's child side writes through the platform layer's channel.
target_link_libraries(fuzz_progress_channel PRIVATE fw_serial)
target_link_libraries(fuzz_port_list PRIVATE fw_header_libraries)
