# Precompiled headers for targets whose files nearly all parse the same large
# header (nlohmann-json in the tool's commands, GoogleTest in the unit tests:
# 50,000 to 85,000 lines each time). Each target compiles its header once; a
# file then compiles in 25 to 45 % less time in the sanitizer (Debug) and
# Windows (Release) builds, and in about the same time in RelWithDebInfo, where
# loading the header's debug information costs what the parsing saved. A file
# that does not include the header itself is left out: the header would bring
# names it never asked for (std::quoted, say) into its overload resolution.
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

# fw_precompile_headers(TARGET <header> ... [EXCEPT file ...]): the headers that
# TARGET's files share, but for the files that do not include them.
function(fw_precompile_headers target)
  if(NOT FWUPGRADE_PRECOMPILED_HEADERS)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "EXCEPT")
  target_precompile_headers(${target} PRIVATE ${arg_UNPARSED_ARGUMENTS})
  if(arg_EXCEPT)
    set_source_files_properties(${arg_EXCEPT} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
  endif()
endfunction()
