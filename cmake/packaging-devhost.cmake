# The reference host as a Debian service (component "devhost" -> devhost_<v>_<arch>.deb): the
# host and the simulator in /usr/bin, the host framework in /usr/lib/devhost (found through the
# programs' RUNPATH), the systemd unit, the default configuration /etc/devhost/devhost.json (a
# conffile), the manual pages made from --help, and the maintainer scripts that make the user
# devhost. The plug-in comes from the do3008ra package, on which it depends.
set(_packaging ${PROJECT_SOURCE_DIR}/packaging)

set_target_properties(devhost do3008ra-sim PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib/devhost")
install(TARGETS devhost do3008ra-sim RUNTIME DESTINATION bin COMPONENT devhost)
install(TARGETS hostfw LIBRARY DESTINATION lib/devhost COMPONENT devhost)
install(FILES ${_packaging}/devhost.service DESTINATION /lib/systemd/system COMPONENT devhost)
install(FILES ${_packaging}/devhost.json DESTINATION /etc/devhost COMPONENT devhost)

# Manual pages from the programs' own --help, run under the emulator in a cross build.
set(_man_dir ${PROJECT_BINARY_DIR}/man)
set(_man_pages)
foreach(_program devhost do3008ra-sim)
  if(_program STREQUAL devhost)
    set(_summary "reference host for DO3008RA sensors on Modbus-RTU serial lines")
    set(_subcommands run status write alarms history prune plot scan readdress rebaud)
    set(_files "/etc/devhost/devhost.json    the configuration of the service"
               "/var/lib/devhost/devhost.db  its database, devhost.sock beside it its control socket")
  else()
    set(_summary "simulated DO3008RA sensor, a Modbus-RTU slave on a pseudo-terminal")
    set(_subcommands "")
    set(_files "")
  endif()
  add_custom_command(
    OUTPUT ${_man_dir}/${_program}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_dir}
    COMMAND ${CMAKE_COMMAND} "-DPROGRAM=$<TARGET_FILE:${_program}>"
            "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" -DNAME=${_program}
            "-DSUMMARY=${_summary}" -DVERSION=${PROJECT_VERSION} "-DSUBCOMMANDS=${_subcommands}" "-DFILES=${_files}"
            -DOUTPUT=${_man_dir}/${_program}.1.gz -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${_program} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    VERBATIM)
  list(APPEND _man_pages ${_man_dir}/${_program}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${_man_pages})
install(FILES ${_man_pages} DESTINATION share/man/man1 COMPONENT devhost)

set(CPACK_DEBIAN_DEVHOST_PACKAGE_NAME devhost)
set(CPACK_DEBIAN_DEVHOST_DESCRIPTION "Reference host and simulator for the DO3008RA sensor
devhost polls DO3008RA sensors on Modbus-RTU serial lines through the do3008ra
plug-in, keeps their records and alarms in SQLite, takes commands on a control
socket and publishes to MQTT. It runs as the systemd service devhost under a
user of its own. do3008ra-sim simulates the sensor on a pseudo-terminal.")
set(CPACK_DEBIAN_DEVHOST_PACKAGE_SECTION net)
# Added to what dpkg-shlibdeps finds: adduser for the maintainer scripts, the plug-in it runs.
set(CPACK_DEBIAN_DEVHOST_PACKAGE_DEPENDS "adduser, do3008ra (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVHOST_PACKAGE_CONTROL_EXTRA
    ${_packaging}/conffiles ${_packaging}/postinst ${_packaging}/prerm ${_packaging}/postrm)
set(CPACK_DEBIAN_DEVHOST_PACKAGE_CONTROL_STRICT_PERMISSION ON)
