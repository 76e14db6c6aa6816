# libFuzzer targets over the Base64 decoder and the web update file checker.
# Their sources are compiled into each target, so that the coverage
# instrumentation reaches the code under test.
set(web_fuzz_options -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
                     -fno-omit-frame-pointer)

add_executable(fuzz_web_decode web_decode.cpp ${PROJECT_SOURCE_DIR}/src/Encoder.cpp)
add_executable(fuzz_web_verify web_verify.cpp ${PROJECT_SOURCE_DIR}/src/Encoder.cpp
                               ${PROJECT_SOURCE_DIR}/tools/TessaranFwTool/WebFileVerifier.cpp
                               ${PROJECT_SOURCE_DIR}/tools/TessaranFwTool/PrintableText.cpp)
foreach(target fuzz_web_decode fuzz_web_verify)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src
                                               ${PROJECT_SOURCE_DIR}/tools/TessaranFwTool)
  target_compile_options(${target} PRIVATE ${web_fuzz_options})
  target_link_options(${target} PRIVATE ${web_fuzz_options})
endforeach()
