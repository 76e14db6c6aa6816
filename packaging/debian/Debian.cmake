# The Debian package, made by CPack's DEB generator beside the Linux archive
# (included from cmake/Packaging.cmake on Linux):
#
#   /usr/bin/TessaranFwUpgrade, /usr/bin/TessaranFwTool
#   /usr/share/man/man1/TessaranFwUpgrade.1.gz, TessaranFwTool.1.gz
#   /usr/share/doc/tessaranfwupgrade/copyright, changelog.gz, README.txt (the
#   archives' user README)
#
# Its files are the install component "deb", excluded from the plain install:
# the archive (monolithic, no component) keeps its flat layout, and the DEB
# generator installs that one component under /usr. The simulated unit stays
# out of it: it is a test aid with a generic name that does not belong in
# /usr/bin.
set(deb_name tessaranfwupgrade)
set(deb_doc_dir share/doc/${deb_name})
set(FWUPGRADE_DEB_MAINTAINER "Tessaran firmware team <firmware@tessaran.example>")

install(TARGETS TessaranFwUpgrade TessaranFwTool RUNTIME DESTINATION bin
        COMPONENT deb EXCLUDE_FROM_ALL)
if(FWUPGRADE_MAN_PAGES)
  install(FILES ${FWUPGRADE_MAN_PAGES} DESTINATION share/man/man1 COMPONENT deb EXCLUDE_FROM_ALL)
endif()

# The changelog, compressed as Debian wants it (gzip -9n: same bytes every build).
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${PROJECT_BINARY_DIR}/package/deb/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/package/deb/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/package/deb/changelog.gz
                RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip failed on the Debian changelog")
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${PROJECT_BINARY_DIR}/package/deb/changelog.gz
              ${PROJECT_BINARY_DIR}/package/README.txt
        DESTINATION ${deb_doc_dir} COMPONENT deb EXCLUDE_FROM_ALL)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_LIST_DIR}/copyright)

list(APPEND CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL deb)
set(CPACK_DEBIAN_PACKAGE_NAME ${deb_name})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tessaranfwupgrade_1.0.4_amd64.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FWUPGRADE_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the text below
# it, one line per line of the field (Debian wants them within 80 columns).
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "TessaranFwUpgrade writes firmware release ${PROJECT_VERSION} into a TX or RX unit of the"
  "Tessaran 6G-SDI video extender over fiber, through a serial port. The"
  "release is built into the program; it finds the unit by itself."
  "TessaranFwTool writes the release's images and the web update file, lists"
  "the serial ports, queries units, and updates one unit or many units at"
  "once from scripts, verifying the result.")
# The library dependencies come from the binaries themselves (dpkg-dev).
find_program(FWUPGRADE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(FWUPGRADE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found: the Debian package names its dependencies without versions (Debian package dpkg-dev)")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
