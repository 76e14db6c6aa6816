# Release packages, made with CPack from a build folder:
#
#   Windows ZIP (the MinGW-w64 build, see scripts/build-windows):
#     cmake --build build-win --target package
#       -> build-win/TessaranFwUpgrade-1.0.4-win64.zip
#   Linux archive and Debian package (a native build on Linux):
#     cmake --build build --target package
#       -> build/TessaranFwUpgrade-1.0.4-linux-x86_64.tar.gz
#       -> build/tessaranfwupgrade_1.0.4_amd64.deb
#
# The archives hold one folder with the executables and a short user README
# (the ZIP also the manual pages as text). The Debian package installs the two
# programs in /usr/bin and their manual pages; its files are the install
# component "deb", left out of the plain install (EXCLUDE_FROM_ALL), so the
# archive stays the flat folder it always was.
set(CPACK_PACKAGE_NAME TessaranFwUpgrade)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for the 6G-SDI fiber extender units")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

include(${PROJECT_SOURCE_DIR}/man/ManPages.cmake)

# The README: the platform's own part, then the messages, which both share.
# Where the part says what a manual page says, it holds a line
# "@INCLUDE man/NAME.scd@" in its place: that section, configured for the
# platform as the manual's is, turned into plain text (packaging/scd-to-text).
if(WIN32)
  set(readme_part README-Windows.txt)
else()
  set(readme_part README-Linux.txt)
endif()
find_program(FWUPGRADE_PYTHON3 python3)
set(readme_sources ${PROJECT_SOURCE_DIR}/packaging/${readme_part} ${PROJECT_SOURCE_DIR}/packaging/messages.txt
                   ${PROJECT_SOURCE_DIR}/packaging/scd-to-text)
set(readme_text "")
foreach(part ${PROJECT_SOURCE_DIR}/packaging/${readme_part} ${PROJECT_SOURCE_DIR}/packaging/messages.txt)
  file(READ ${part} part_text)
  string(REGEX MATCHALL "@INCLUDE [^@\n]+@" includes "${part_text}")
  foreach(include ${includes})
    string(REGEX REPLACE "^@INCLUDE ([^@]+)@$" "\\1" section "${include}")
    if(NOT FWUPGRADE_PYTHON3)
      message(FATAL_ERROR "python3 is needed to write the archives' README.txt (Debian package python3)")
    endif()
    get_filename_component(section_name ${section} NAME_WE)
    set(section_scd ${PROJECT_BINARY_DIR}/readme/${section_name}.scd)
    file(READ ${PROJECT_SOURCE_DIR}/${section} section_text)
    # Its opening comment names where it goes: not for the README.
    string(REGEX REPLACE "^(;[^\n]*\n)+" "" section_text "${section_text}")
    string(CONFIGURE "${section_text}" section_text @ONLY)
    file(WRITE ${section_scd} "${section_text}")
    execute_process(COMMAND ${FWUPGRADE_PYTHON3} ${PROJECT_SOURCE_DIR}/packaging/scd-to-text
                            ${section_scd} ${section_scd}.txt
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "packaging/scd-to-text failed on ${section}")
    endif()
    file(READ ${section_scd}.txt section_text)
    string(REPLACE "${include}\n" "${section_text}" part_text "${part_text}")
    list(APPEND readme_sources ${PROJECT_SOURCE_DIR}/${section})
  endforeach()
  string(APPEND readme_text "${part_text}\n")
endforeach()
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${readme_sources})
if(WIN32)
  # Read with Notepad on the PC: CR LF line ends.
  string(REPLACE "\n" "\r\n" readme_text "${readme_text}")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/package/README.txt "${readme_text}")
install(FILES ${PROJECT_BINARY_DIR}/package/README.txt DESTINATION .)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  # No man on a PC: the manual pages as plain text beside the README.
  if(FWUPGRADE_MAN_TEXTS)
    install(FILES ${FWUPGRADE_MAN_TEXTS} DESTINATION .)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
  # The simulated unit lets a user try the updater without a unit.
  if(TARGET unitsim)
    install(TARGETS unitsim RUNTIME DESTINATION .)
  endif()
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})

# The same commit gives the same package bytes (see cmake/Reproducible.cmake):
# cpack dates every member the release's time, then release-files fixes the
# archives' member order and writes SHA256SUMS beside the packages.
set(CPACK_FWUPGRADE_PYTHON3 ${FWUPGRADE_PYTHON3})
set(CPACK_FWUPGRADE_RELEASE_FILES ${PROJECT_SOURCE_DIR}/packaging/release-files)
set(CPACK_FWUPGRADE_SOURCE_DATE_EPOCH "${FWUPGRADE_SOURCE_DATE_EPOCH}")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/ReleaseTime.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/ReleaseFiles.cmake)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  include(${PROJECT_SOURCE_DIR}/packaging/debian/Debian.cmake)
endif()

include(CPack)
