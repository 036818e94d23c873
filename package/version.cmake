# Read by cpack each time it makes the package (CPACK_PROJECT_CONFIG_FILE),
# not when the build is configured. The version is the project's and a stamp
# of the time the package is made, 0.1.0+20261207174500 (UTC), so that a
# package made again, with other settings or the same, is newer than the one
# installed: apt and dpkg take it as an upgrade. Two packages made within the
# same second still get stamps that grow.
string(TIMESTAMP stamp "%Y%m%d%H%M%S" UTC)
if(EXISTS "${CPACK_OSTREL_LAST_STAMP}")
  file(READ "${CPACK_OSTREL_LAST_STAMP}" last)
  if(NOT stamp GREATER last)
    math(EXPR stamp "${last} + 1")
  endif()
endif()
file(WRITE "${CPACK_OSTREL_LAST_STAMP}" "${stamp}")
set(CPACK_DEBIAN_PACKAGE_VERSION "${CPACK_PACKAGE_VERSION}+${stamp}")
