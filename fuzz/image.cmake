# fuzz_image: arbitrary text through image assembly and the record operations.
# The image sources are compiled into the fuzzer itself so that they carry the
# coverage instrumentation.
#
# Run for a bounded time, new inputs going to the first (scratch) folder, the
# sample release as seeds:
#   fuzz_image -max_total_time=60 CORPUS_DIR fuzz/corpus/fuzz_image
add_executable(fuzz_image
  ${CMAKE_CURRENT_SOURCE_DIR}/image_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/src/StringOperations.cpp
  ${PROJECT_SOURCE_DIR}/src/IntelHex.cpp
  ${PROJECT_SOURCE_DIR}/src/ImageAssembly.cpp
  ${PROJECT_SOURCE_DIR}/src/HexTextCheck.cpp)
target_include_directories(fuzz_image PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(fuzz_image PRIVATE -fsanitize=fuzzer,address,undefined
                                            -fno-sanitize-recover=undefined)
target_link_options(fuzz_image PRIVATE -fsanitize=fuzzer,address,undefined)
