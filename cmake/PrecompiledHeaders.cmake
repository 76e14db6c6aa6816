# Precompiled headers for the targets whose files all parse the same large
# headers (nlohmann-json, CLI11, GoogleTest: about 100,000 lines each time, half
# of such a file's compile time). Each target compiles them once.
# Off by default under ccache: ccache caches whole objects already, and with a
# precompiled header it caches nothing unless its sloppiness allows pch_defines
# and time_macros.
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(precompiled_headers_default OFF)
else()
  set(precompiled_headers_default ON)
endif()
option(FWUPGRADE_PRECOMPILED_HEADERS "Precompile the large header libraries for the targets that use them"
       ${precompiled_headers_default})

# fw_precompile_headers(TARGET <header> ...): the system headers TARGET's files share.
function(fw_precompile_headers target)
  if(FWUPGRADE_PRECOMPILED_HEADERS)
    target_precompile_headers(${target} PRIVATE ${ARGN})
  endif()
endfunction()
