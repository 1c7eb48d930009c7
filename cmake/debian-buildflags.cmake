# SPDX-License-Identifier: Apache-2.0
# Packages are compiled with the flags Debian compiles its own with: those dpkg-buildflags gives
# with every hardening feature on (stack protector, _FORTIFY_SOURCE, relocations read-only and
# bound at start, -z relro -z now), for the architecture built for. Only where asked
# (-DDO3008RA_DEB_BUILDFLAGS=ON, the package builds of README.md and docs/board.md): a developer
# tree keeps its own flags.
option(DO3008RA_DEB_BUILDFLAGS "Compile with dpkg-buildflags' flags, hardening=+all (packages)" OFF)
if(NOT DO3008RA_DEB_BUILDFLAGS)
  return()
endif()
find_program(DPKG_BUILDFLAGS_EXECUTABLE dpkg-buildflags REQUIRED)
set(_deb_environment DEB_BUILD_MAINT_OPTIONS=hardening=+all)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  list(APPEND _deb_environment DEB_HOST_ARCH=armhf)
endif()
foreach(_kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ${_deb_environment} ${DPKG_BUILDFLAGS_EXECUTABLE} --get ${_kind}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE _deb_${_kind} OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endforeach()
message(STATUS "dpkg-buildflags: ${_deb_CPPFLAGS} ${_deb_CXXFLAGS}; ${_deb_LDFLAGS}")
# Before the build type's flags, so that theirs (-O2 -g -DNDEBUG) still come last; the
# optimisation and debug flags dpkg-buildflags also gives are left to the build type, so that a
# compile line names each once.
separate_arguments(_deb_CXXFLAGS UNIX_COMMAND "${_deb_CXXFLAGS}")
list(FILTER _deb_CXXFLAGS EXCLUDE REGEX "^(-g|-O[0-3s]?)$")
list(JOIN _deb_CXXFLAGS " " _deb_CXXFLAGS)
string(APPEND CMAKE_CXX_FLAGS " ${_deb_CPPFLAGS} ${_deb_CXXFLAGS}")
foreach(_kind EXE SHARED MODULE)
  string(APPEND CMAKE_${_kind}_LINKER_FLAGS " ${_deb_LDFLAGS}")
endforeach()
