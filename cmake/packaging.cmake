# SPDX-License-Identifier: Apache-2.0
# The plug-in as a Debian package (`cmake --build <dir> --target package`): do3008ra_<v>_<arch>.deb
# with the stripped plug-in in /usr/lib/do3008ra and the example settings and rule file in
# /usr/share/doc/do3008ra/examples, and do3008ra-dbgsym_<v>_<arch>.ddeb with its debug symbols
# under /usr/lib/debug/.build-id/, which a debugger finds by the plug-in's build-id (the plug-in
# also names the file in its .gnu_debuglink). Depends comes from dpkg-shlibdeps.
install(TARGETS do3008ra LIBRARY DESTINATION lib/do3008ra COMPONENT plugin)
install(FILES ${PROJECT_SOURCE_DIR}/examples/mode1.json ${PROJECT_SOURCE_DIR}/examples/mode5.json
        DESTINATION share/doc/do3008ra/examples COMPONENT plugin)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/do3008ra.lintian-overrides
        DESTINATION share/lintian/overrides RENAME do3008ra COMPONENT plugin)
# Where the mode-1 device looks for its rules: ini/ under the configuration's folder.
install(FILES ${PROJECT_SOURCE_DIR}/examples/ini/13.ini
        DESTINATION share/doc/do3008ra/examples/ini COMPONENT plugin)

# Every package carries the copyright and the changelog (gzip'd, no time stamp inside). The
# changelog's entries are NEWS.md's section of this version: "- " bullets become "  * ", their
# continuation lines are indented to match. A version without a section there is an error.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/NEWS.md)
file(READ ${PROJECT_SOURCE_DIR}/NEWS.md _news)
string(REGEX MATCH "\n## ${PROJECT_VERSION} [^\n]*\n\n([^#]*)" _section "${_news}")
if(NOT _section)
  message(FATAL_ERROR "NEWS.md has no section \"## ${PROJECT_VERSION} (date)\" for this version")
endif()
string(STRIP "${CMAKE_MATCH_1}" NEWS_ENTRIES)
string(REGEX REPLACE "(^|\n)- " "\\1  * " NEWS_ENTRIES "${NEWS_ENTRIES}")
string(REGEX REPLACE "\n  ([^ *])" "\n    \\1" NEWS_ENTRIES "${NEWS_ENTRIES}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog
               @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/packaging/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
set(do3008ra_components plugin)
if(TARGET devhost)
  list(APPEND do3008ra_components devhost)
endif()
foreach(_component IN LISTS do3008ra_components)
  set(_package do3008ra)
  if(_component STREQUAL devhost)
    set(_package devhost)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION share/doc/${_package} COMPONENT ${_component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME do3008ra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "do3008ra maintainers <maintainers@example.org>")
# Per package: a summary would be put in front of every package's own description.
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION "Modbus-RTU driver plug-in for the DO3008RA sensor
do3008ra.so is the device-driver plug-in a monitoring controller loads to poll
DO3008RA temperature, humidity and air-pressure sensors over Modbus-RTU: it
reads the sensor's registers, keeps its status document and evaluates its
alarm rules. The host framework it needs is the loading process's own.")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${do3008ra_components})
set(CPACK_DEBIAN_PACKAGE_SOURCE do3008ra)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME do3008ra)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The host framework symbols are left for the controller process; no package provides them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "")
# CPack splits the debug symbols off and strips the plug-in itself (objcopy --only-keep-debug,
# --strip-unneeded, --add-gnu-debuglink), with the binutils of the target.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_STRIP_FILES OFF)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps then looks for the armhf libraries and their package information.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/packaging-armhf.cmake)
endif()
if(TARGET devhost)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging-devhost.cmake)
endif()
include(CPack)
