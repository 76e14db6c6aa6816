# image_fuzzer: arbitrary text through image assembly and the record operations.
# The image sources are compiled into the fuzzer itself so that they carry the
# coverage instrumentation.
#
# Run for a bounded time, new inputs going to the first (scratch) folder, the
# sample release as seeds:
#   image_fuzzer -max_total_time=60 -max_len=4096 CORPUS_DIR release/1.0.4
add_executable(image_fuzzer
  ${CMAKE_CURRENT_SOURCE_DIR}/image_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/src/StringOperations.cpp
  ${PROJECT_SOURCE_DIR}/src/IntelHex.cpp
  ${PROJECT_SOURCE_DIR}/src/ImageAssembly.cpp)
target_include_directories(image_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(image_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined
                                            -fno-sanitize-recover=undefined)
target_link_options(image_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
