# Two builds of the same commit, in any folders, give the same bytes: the
# executables, the archives and the Debian package (checked by the test
# packaging.reproducible; the archives are settled in packaging/ReleaseFiles.cmake).
#
# FWUPGRADE_SOURCE_DATE_EPOCH is the one time stamp the release carries (the
# manual pages' date, every package member's time): SOURCE_DATE_EPOCH from the
# environment when set, otherwise the time of the commit being built. It is
# read when configuring: after a new commit, configure again before packaging
# a release (a fresh clone does).
set(FWUPGRADE_SOURCE_DATE_EPOCH "")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(FWUPGRADE_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE FWUPGRADE_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(NOT FWUPGRADE_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(STATUS "No commit time (not a git checkout, SOURCE_DATE_EPOCH unset): the manual "
                 "pages and packages carry the time they are made, and differ from build to build")
  set(FWUPGRADE_SOURCE_DATE_EPOCH "")
endif()

# No folder names in the binaries: file names in the debug information and in
# __FILE__ (assert, the header libraries) are written relative to the source
# folder, and the build folder's (generated sources, the header-library links)
# as "build". The binary folder's map comes last so that it wins when the build
# folder is inside the source folder. These are -ffile-prefix-map less its
# coverage part: the coverage notes keep full paths, which gcovr needs to find
# the sources (a coverage build is never a release).
add_compile_options(-fdebug-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -fmacro-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -fdebug-prefix-map=${PROJECT_BINARY_DIR}=build
                    -fmacro-prefix-map=${PROJECT_BINARY_DIR}=build)

if(MINGW)
  # The linker writes the link time into the PE header unless told not to.
  add_link_options(-Wl,--no-insert-timestamp)
endif()
