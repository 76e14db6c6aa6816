# Cross-compiles the Windows executables (x86-64) with MinGW-w64 on Linux.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DFWUPGRADE_BINIMAGE_GENERATOR=<native binimage_gen>
#
# scripts/build-windows does all of it. The "posix" flavour of the compiler is
# preferred: its C++ runtime has std::thread and std::mutex (the "win32" one of
# GCC 12 has not); everything is linked statically either way.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FWUPGRADE_MINGW_PREFIX x86_64-w64-mingw32)
foreach(flavour -posix "")
  find_program(FWUPGRADE_MINGW_CXX ${FWUPGRADE_MINGW_PREFIX}-g++${flavour})
  if(FWUPGRADE_MINGW_CXX)
    find_program(FWUPGRADE_MINGW_CC ${FWUPGRADE_MINGW_PREFIX}-gcc${flavour})
    break()
  endif()
endforeach()
if(NOT FWUPGRADE_MINGW_CXX OR NOT FWUPGRADE_MINGW_CC)
  message(FATAL_ERROR "MinGW-w64 not found: install g++-mingw-w64-x86-64")
endif()
set(CMAKE_C_COMPILER ${FWUPGRADE_MINGW_CC})
set(CMAKE_CXX_COMPILER ${FWUPGRADE_MINGW_CXX})
find_program(CMAKE_RC_COMPILER ${FWUPGRADE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FWUPGRADE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
