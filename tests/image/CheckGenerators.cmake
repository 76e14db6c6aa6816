# Runs the two generators the way the build does and checks what they promise:
#   release_gen writes the committed sample release byte for byte;
#   binimage_gen writes the same module twice, leaves unchanged files alone,
#   and stops with the file, line number and line of a bad record, or with a
#   clear message for a missing or ambiguous release file.
# Called with -DRELEASE_GEN=... -DBINIMAGE_GEN=... -DRELEASE_DIR=... -DWORK_DIR=...
cmake_minimum_required(VERSION 3.16)

set(names M482619_MCU_6G-SDI_61_1_04.hex M482619_TX_XC7A35_1_04.mcs M482619_RX_XC7A35_1_04.mcs)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(expect_same a b)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${a} ${b} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${a} and ${b} differ")
  endif()
endfunction()

# Runs binimage_gen on a folder; checks the exit status and a part of stderr.
function(expect_generator folder should_fail expected_error)
  execute_process(COMMAND ${BINIMAGE_GEN} ${folder} ${WORK_DIR}/out
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(should_fail AND status EQUAL 0)
    message(FATAL_ERROR "binimage_gen accepted ${folder}")
  endif()
  if(NOT should_fail AND NOT status EQUAL 0)
    message(FATAL_ERROR "binimage_gen refused ${folder}: ${err}")
  endif()
  string(FIND "${err}" "${expected_error}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "binimage_gen on ${folder} printed:\n${err}\nexpected to see:\n${expected_error}")
  endif()
endfunction()

# 1. release_gen reproduces the committed release.
if(RELEASE_GEN)
  file(MAKE_DIRECTORY ${WORK_DIR}/release)
  execute_process(COMMAND ${RELEASE_GEN} ${WORK_DIR}/release RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "release_gen failed")
  endif()
  foreach(name ${names})
    expect_same(${WORK_DIR}/release/${name} ${RELEASE_DIR}/${name})
  endforeach()
endif()

# 2. Same output twice; the second run leaves the files as they were.
file(MAKE_DIRECTORY ${WORK_DIR}/out)
expect_generator(${RELEASE_DIR} FALSE "")
file(TIMESTAMP ${WORK_DIR}/out/BinImage.cpp first_time "%s")
file(RENAME ${WORK_DIR}/out/BinImage.cpp ${WORK_DIR}/first.cpp)
expect_generator(${RELEASE_DIR} FALSE "")
expect_same(${WORK_DIR}/out/BinImage.cpp ${WORK_DIR}/first.cpp)
file(COPY_FILE ${WORK_DIR}/out/BinImage.cpp ${WORK_DIR}/again.cpp)
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1.1)
file(TIMESTAMP ${WORK_DIR}/out/BinImage.cpp before "%s")
expect_generator(${RELEASE_DIR} FALSE "")
file(TIMESTAMP ${WORK_DIR}/out/BinImage.cpp after "%s")
if(NOT before STREQUAL after)
  message(FATAL_ERROR "an unchanged BinImage.cpp was rewritten")
endif()

# 3. Release folders the generator must refuse. Each starts from the sample.
function(make_release folder)
  file(REMOVE_RECURSE ${folder})
  file(MAKE_DIRECTORY ${folder})
  foreach(name ${names})
    file(COPY_FILE ${RELEASE_DIR}/${name} ${folder}/${name})
  endforeach()
endfunction()

set(bad ${WORK_DIR}/bad-record)
make_release(${bad})
# Line 3 has a wrong checksum (0xDE is right).
file(WRITE ${bad}/M482619_TX_XC7A35_1_04.mcs
     ":020000040000FA\r\n:0400000001020304F2\r\n:04001000AABBCCDD77\r\n:00000001FF\r\n")
expect_generator(${bad} TRUE "M482619_TX_XC7A35_1_04.mcs:3: not a valid Intel HEX record:\n:04001000AABBCCDD77\n")

set(missing ${WORK_DIR}/missing)
make_release(${missing})
file(REMOVE ${missing}/M482619_RX_XC7A35_1_04.mcs)
expect_generator(${missing} TRUE "no RX FPGA MCS")

set(twice ${WORK_DIR}/ambiguous)
make_release(${twice})
file(COPY_FILE ${RELEASE_DIR}/M482619_MCU_6G-SDI_61_1_04.hex ${twice}/other.HEX)
expect_generator(${twice} TRUE "two candidates for one release file")

set(unit ${WORK_DIR}/no-unit)
make_release(${unit})
file(WRITE ${unit}/M482619_XC7A35_1_04.mcs ":00000001FF\r\n")
expect_generator(${unit} TRUE "must name exactly one unit type")

file(REMOVE_RECURSE ${WORK_DIR})
