# Boost for the cross build: Boost.Regex and the string algorithms are used
# header-only, so the host's Boost headers serve the Windows build as well.
# Only the boost/ directory is exposed, through a link in the build tree,
# so that no other host header can reach the cross compiler.
#
# Sets Boost_INCLUDE_DIRS like find_package(Boost) does.

set(MAILVANE_HOST_BOOST_DIR "/usr/include/boost" CACHE PATH
  "The host's Boost header directory (the one holding version.hpp)")
if(NOT EXISTS "${MAILVANE_HOST_BOOST_DIR}/version.hpp")
  message(FATAL_ERROR "No Boost headers in ${MAILVANE_HOST_BOOST_DIR}: "
    "install libboost-regex1.81-dev or set MAILVANE_HOST_BOOST_DIR")
endif()

file(STRINGS "${MAILVANE_HOST_BOOST_DIR}/version.hpp" boost_version_line
  REGEX "^#define BOOST_VERSION [0-9]+")
string(REGEX REPLACE ".* ([0-9]+)$" "\\1" boost_version "${boost_version_line}")
if(boost_version LESS 108100)
  message(FATAL_ERROR "Boost 1.81 or later is needed, found ${boost_version}")
endif()

set(Boost_INCLUDE_DIRS "${CMAKE_BINARY_DIR}/boost-headers")
file(MAKE_DIRECTORY "${Boost_INCLUDE_DIRS}")
if(NOT EXISTS "${Boost_INCLUDE_DIRS}/boost")
  file(CREATE_LINK "${MAILVANE_HOST_BOOST_DIR}" "${Boost_INCLUDE_DIRS}/boost"
    SYMBOLIC)
endif()
