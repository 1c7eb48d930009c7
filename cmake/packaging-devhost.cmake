# SPDX-License-Identifier: Apache-2.0
# The reference host as a Debian service (component "devhost" -> devhost_<v>_<arch>.deb): the
# host and the simulator in /usr/bin, the host framework in /usr/lib/devhost (found through the
# programs' RUNPATH), the systemd unit, the default configuration /etc/devhost/devhost.json (a
# conffile), the manual pages, and the maintainer scripts that make the user
# devhost. The plug-in comes from the do3008ra package, on which it depends.
set(_packaging ${PROJECT_SOURCE_DIR}/packaging)

set_target_properties(devhost do3008ra-sim PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib/devhost")
install(TARGETS devhost do3008ra-sim RUNTIME DESTINATION bin COMPONENT devhost)
install(TARGETS hostfw LIBRARY DESTINATION lib/devhost COMPONENT devhost)
install(FILES ${_packaging}/devhost.service DESTINATION /lib/systemd/system COMPONENT devhost)
install(FILES ${_packaging}/devhost.json DESTINATION /etc/devhost COMPONENT devhost)
# The documents devhost(1) sends its reader to, beside the changelog.
foreach(_doc commissioning control-protocol host mqtt operating prometheus service simulator
        tls-setup)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/${_doc}.md DESTINATION share/doc/devhost
          COMPONENT devhost)
endforeach()

# Manual pages written in scdoc (docs/man), with the project's version in their footer, made
# into roff by scdoc. tests/manual checks them against the code.
find_program(SCDOC_EXECUTABLE scdoc REQUIRED)
set(_man_dir ${PROJECT_BINARY_DIR}/man)
set(_man_pages)
foreach(_page devhost.1 devhost.json.5 do3008ra-sim.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${_page}.scd ${_man_dir}/${_page}.scd @ONLY)
  add_custom_command(
    OUTPUT ${_man_dir}/${_page}.gz
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC_EXECUTABLE} ${_man_dir}/${_page}.scd
            ${_man_dir}/${_page}
    # -n: no name or time stamp inside, so the same page makes the same bytes.
    COMMAND gzip -9nf ${_man_dir}/${_page}
    DEPENDS ${_man_dir}/${_page}.scd
    VERBATIM)
  string(REGEX MATCH "[0-9]$" _section ${_page})
  install(FILES ${_man_dir}/${_page}.gz DESTINATION share/man/man${_section} COMPONENT devhost)
  list(APPEND _man_pages ${_man_dir}/${_page}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${_man_pages})

set(CPACK_DEBIAN_DEVHOST_PACKAGE_NAME devhost)
set(CPACK_DEBIAN_DEVHOST_DESCRIPTION "Reference host and simulator for the DO3008RA sensor
devhost polls DO3008RA sensors on Modbus-RTU serial lines through the do3008ra
plug-in, keeps their records and alarms in SQLite, takes commands on a control
socket and publishes to MQTT. It runs as the systemd service devhost under a
user of its own. do3008ra-sim simulates the sensor on a pseudo-terminal.")
set(CPACK_DEBIAN_DEVHOST_PACKAGE_SECTION net)
# Added to what dpkg-shlibdeps finds: adduser for the maintainer scripts, the plug-in it runs.
set(CPACK_DEBIAN_DEVHOST_PACKAGE_DEPENDS "adduser, do3008ra (= ${PROJECT_VERSION})")
# devhost plot runs gnuplot (its SVG and cairo PNG terminals, no X11); nothing else needs it.
set(CPACK_DEBIAN_DEVHOST_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot")
set(CPACK_DEBIAN_DEVHOST_PACKAGE_CONTROL_EXTRA
    ${_packaging}/conffiles ${_packaging}/postinst ${_packaging}/prerm ${_packaging}/postrm)
set(CPACK_DEBIAN_DEVHOST_PACKAGE_CONTROL_STRICT_PERMISSION ON)
