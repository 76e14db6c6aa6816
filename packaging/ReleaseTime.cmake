# Read by cpack before it makes each package (CPACK_PROJECT_CONFIG_FILE, set in
# cmake/Packaging.cmake): the packages' members are dated the release's time
# (cmake/Reproducible.cmake), which CPack takes from SOURCE_DATE_EPOCH. A
# SOURCE_DATE_EPOCH of cpack's own environment is left as it is.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_FWUPGRADE_SOURCE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_FWUPGRADE_SOURCE_DATE_EPOCH})
endif()
