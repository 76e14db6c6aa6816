# libFuzzer targets over what the port commands read from outside: UUCP lock
# files of other programs (fuzz_lock_file) and the unit's replies to the
# version and type queries (fuzz_unit_replies). Their sources are compiled into
# each target, so that the coverage instrumentation reaches the code under test.
set(ports_fuzz_options -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
                       -fno-omit-frame-pointer)

add_executable(fuzz_lock_file lock_file.cpp ${PROJECT_SOURCE_DIR}/src/platform/posix/PortHolders.cpp)
add_executable(fuzz_unit_replies unit_replies.cpp
                                 ${PROJECT_SOURCE_DIR}/tools/TessaranFwTool/UnitReplies.cpp)
foreach(target fuzz_lock_file fuzz_unit_replies)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src
                                               ${PROJECT_SOURCE_DIR}/tools/TessaranFwTool)
  target_compile_options(${target} PRIVATE ${ports_fuzz_options})
  target_link_options(${target} PRIVATE ${ports_fuzz_options})
endforeach()
