# Runs the generators as the build does and checks what they promise:
# release_gen writes the committed sample release byte for byte; binimage_gen
# writes the same module every time without touching unchanged files, and
# stops with the file, line number and line of a bad record, or with a clear
# message when a release file is missing.
# -DRELEASE_GEN=... -DBINIMAGE_GEN=... -DRELEASE_DIR=... -DWORK_DIR=...
set(names M482619_MCU_6G-SDI_61_1_04.hex M482619_TX_XC7A35_1_04.mcs M482619_RX_XC7A35_1_04.mcs)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/release ${WORK_DIR}/out ${WORK_DIR}/bad)

# check("<if() condition>" message...)
function(check condition)
  cmake_language(EVAL CODE "if(NOT (${condition}))\n message(FATAL_ERROR [[${ARGN}]])\nendif()")
endfunction()

# 1. release_gen reproduces the committed release.
execute_process(COMMAND ${RELEASE_GEN} ${WORK_DIR}/release RESULT_VARIABLE status OUTPUT_QUIET)
check("status EQUAL 0" "release_gen failed")
foreach(name ${names})
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/release/${name} ${RELEASE_DIR}/${name}
                  RESULT_VARIABLE differ)
  check("NOT differ" "release_gen no longer writes ${name} as committed")
endforeach()

# 2. The second run finds nothing to change and leaves the file alone.
foreach(run 1 2)
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1.1)
  execute_process(COMMAND ${BINIMAGE_GEN} ${RELEASE_DIR} ${WORK_DIR}/out RESULT_VARIABLE status OUTPUT_QUIET)
  check("status EQUAL 0" "binimage_gen refused the release")
  file(TIMESTAMP ${WORK_DIR}/out/BinImage.cpp written_${run} "%s")
endforeach()
check("written_1 STREQUAL written_2" "an unchanged BinImage.cpp was rewritten")

# 3. A bad record (line 3: its checksum should be DE), then a missing file.
foreach(name ${names})
  file(COPY_FILE ${RELEASE_DIR}/${name} ${WORK_DIR}/bad/${name})
endforeach()
file(WRITE ${WORK_DIR}/bad/M482619_TX_XC7A35_1_04.mcs
     ":020000040000FA\r\n:0400000001020304F2\r\n:04001000AABBCCDD77\r\n:00000001FF\r\n")
file(REMOVE ${WORK_DIR}/bad/M482619_RX_XC7A35_1_04.mcs)
execute_process(COMMAND ${BINIMAGE_GEN} ${WORK_DIR}/bad ${WORK_DIR}/out RESULT_VARIABLE status ERROR_VARIABLE err)
check("NOT status EQUAL 0" "binimage_gen accepted a release without its RX file")
check("err MATCHES \"no RX FPGA MCS\"" "unexpected message: ${err}")

file(COPY_FILE ${RELEASE_DIR}/M482619_RX_XC7A35_1_04.mcs ${WORK_DIR}/bad/M482619_RX_XC7A35_1_04.mcs)
execute_process(COMMAND ${BINIMAGE_GEN} ${WORK_DIR}/bad ${WORK_DIR}/out RESULT_VARIABLE status ERROR_VARIABLE err)
check("NOT status EQUAL 0" "binimage_gen accepted a bad record")
string(FIND "${err}" "M482619_TX_XC7A35_1_04.mcs:3: not a valid Intel HEX record:\n:04001000AABBCCDD77\n" at)
check("NOT at EQUAL -1" "unexpected message: ${err}")
file(REMOVE_RECURSE ${WORK_DIR})
