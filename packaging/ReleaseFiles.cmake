# Run by cpack after each package it made (CPACK_POST_BUILD_SCRIPTS, set in
# cmake/Packaging.cmake): release-files puts the archives' members in a fixed
# order and time and writes SHA256SUMS beside the packages. cpack makes the
# packages in a folder of its own (CPACK_PACKAGE_FILES) and copies them to
# CPACK_PACKAGE_DIRECTORY afterwards.
if(NOT CPACK_FWUPGRADE_PYTHON3)
  message(WARNING "python3 not found: the archives keep CPack's member order and no SHA256SUMS is written")
  return()
endif()
execute_process(COMMAND ${CPACK_FWUPGRADE_PYTHON3} ${CPACK_FWUPGRADE_RELEASE_FILES}
                        "$ENV{SOURCE_DATE_EPOCH}" ${CPACK_PACKAGE_DIRECTORY} ${CPACK_PACKAGE_FILES}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "release-files failed on ${CPACK_PACKAGE_FILES}")
endif()
