# CLI11 and nlohmann-json, both header-only (Debian libcli11-dev and
# nlohmann-json3-dev). The fleet library and the tool see them through a folder of links in the
# build tree that holds only these two, so the MinGW cross build can use the
# build machine's copies without /usr/include on its include path.
set(FWUPGRADE_HEADER_LIBRARIES_DIR "/usr/include" CACHE PATH
    "Folder holding CLI/CLI.hpp and nlohmann/json.hpp")
set(header_libraries_dir ${CMAKE_BINARY_DIR}/header-libraries)
foreach(library CLI nlohmann)
  set(wanted ${FWUPGRADE_HEADER_LIBRARIES_DIR}/${library})
  if(NOT EXISTS ${wanted})
    message(FATAL_ERROR "${wanted} not found: install libcli11-dev and nlohmann-json3-dev "
                        "(scripts/install-deps) or set FWUPGRADE_HEADER_LIBRARIES_DIR")
  endif()
  file(MAKE_DIRECTORY ${header_libraries_dir})
  file(CREATE_LINK ${wanted} ${header_libraries_dir}/${library} SYMBOLIC COPY_ON_ERROR)
endforeach()
add_library(fw_header_libraries INTERFACE)
target_include_directories(fw_header_libraries SYSTEM INTERFACE ${header_libraries_dir})
