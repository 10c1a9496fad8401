# Installation and the Debian packages (cpack, from ./run package):
#   zov11119-common       the libraries the programs share
#   zov11119-server       zov-server, zov-db, their systemd units and configuration
#   zov11119-workstation  zov-host and its screen module, zov-import, zov-rpc
# Each program's manual page is in the package of the program.
# The schema, the demo data and the help page are resources inside the programs.
# Programs find their libraries and the screen module beside their own place
# ($ORIGIN), so an unpacked tree runs as an installed one.

set(ZOV_PRIVATE_LIBDIR lib/zov11119)
set(ZOV_DEB_DEPENDS_SQL "libqt6sql6-sqlite, libqt6sql6-psql")

set_target_properties(zov-server zov-db zov-import zov-rpc zov-host
                      PROPERTIES INSTALL_RPATH "$ORIGIN/../${ZOV_PRIVATE_LIBDIR}")
set_target_properties(zovdata zovcontracts zovhost zovhostwidgets zov11119
                      PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS zovdata zovcontracts zovhost LIBRARY DESTINATION ${ZOV_PRIVATE_LIBDIR}
        COMPONENT common)
install(TARGETS zov-server zov-db RUNTIME DESTINATION bin COMPONENT server)
install(TARGETS zov-host zov-import zov-rpc RUNTIME DESTINATION bin COMPONENT workstation)
install(TARGETS zovhostwidgets zov11119 LIBRARY DESTINATION ${ZOV_PRIVATE_LIBDIR}
        COMPONENT workstation)

set(pkg ${CMAKE_SOURCE_DIR}/packaging)
set(docs ${CMAKE_SOURCE_DIR}/docs)
install(FILES ${pkg}/zov-server.conf DESTINATION /etc/zov11119 COMPONENT server)
# the server and the weekly purge of old runs (installed, not enabled)
install(FILES ${pkg}/zov-server.service ${pkg}/zov-purge-runs.service ${pkg}/zov-purge-runs.timer
        DESTINATION /lib/systemd/system COMPONENT server)
install(FILES ${docs}/operations.md ${docs}/protocol.md DESTINATION share/doc/zov11119-server
        COMPONENT server)
install(FILES ${docs}/operations.md ${docs}/help/12011119.html
        DESTINATION share/doc/zov11119-workstation COMPONENT workstation)
# the operations guide's examples: the PostgreSQL scripts (roles, grants), the
# balancer, drop-ins of the server's unit; a new file there is shipped at the next
# configure
file(GLOB examples CONFIGURE_DEPENDS ${docs}/examples/*.sql)
file(GLOB unit_dropins CONFIGURE_DEPENDS ${docs}/examples/zov-server.service.d/*.conf)
install(FILES ${examples} ${docs}/examples/nginx-grpc.conf ${docs}/examples/zov-server-group.conf
        DESTINATION share/doc/zov11119-server/examples COMPONENT server)
install(FILES ${unit_dropins}
        DESTINATION share/doc/zov11119-server/examples/zov-server.service.d COMPONENT server)

# Manual pages, made at build time by help2man from each program's --help and
# --version (Portuguese, as the programs speak), with the page's name, description and
# references from packaging/man/PROGRAM.h2m, the manual's name and the authors from
# common.h2m (an option given there is read as UTF-8, one on the command line is not).
# Section 1, not 8: the programs are in /usr/bin and none needs root; the server runs
# as its own unprivileged user, zov-db and --check as that user or the administrator.
# No display is given: zov-host answers --help before it needs one. The date is the
# changelog's, so the pages build the same every time.
find_program(HELP2MAN help2man REQUIRED)
execute_process(COMMAND dpkg-parsechangelog -l ${pkg}/changelog -STimestamp
                OUTPUT_VARIABLE release_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
set(man ${CMAKE_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${man})
foreach(program zov-server zov-db zov-import zov-rpc zov-host)
    # help2man runs the program through a script of the program's name that gives it
    # the usage lines as a synopsis (synopsis.awk)
    file(GENERATE OUTPUT ${man}/bin/${program}
         CONTENT "#!/bin/sh\n\"$<TARGET_FILE:${program}>\" \"$@\" |
awk -f ${pkg}/man/synopsis.awk\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
    add_custom_command(
        OUTPUT ${man}/${program}.1.gz
        COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
                --unset=QT_QPA_PLATFORM SOURCE_DATE_EPOCH=${release_epoch}
                ${HELP2MAN} --no-info --section=1
                --locale=C.UTF-8 --include=${pkg}/man/common.h2m
                --include=${pkg}/man/${program}.h2m --output=${man}/${program}.1
                ${man}/bin/${program}
        COMMAND gzip -9nf ${man}/${program}.1
        DEPENDS ${program} ${pkg}/man/common.h2m ${pkg}/man/${program}.h2m
                ${pkg}/man/synopsis.awk ${man}/bin/${program}
        COMMENT "Manual page of ${program}"
        VERBATIM)
    list(APPEND man_pages ${man}/${program}.1.gz)
endforeach()
add_custom_target(zov-manpages ALL DEPENDS ${man_pages})
install(FILES ${man}/zov-server.1.gz ${man}/zov-db.1.gz DESTINATION share/man/man1
        COMPONENT server)
install(FILES ${man}/zov-import.1.gz ${man}/zov-rpc.1.gz ${man}/zov-host.1.gz
        DESTINATION share/man/man1 COMPONENT workstation)

# every package carries the copyright and the changelog, compressed as Debian wants
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9nc ${pkg}/changelog OUTPUT_FILE ${changelog})
foreach(component common server workstation)
    install(FILES ${pkg}/copyright ${changelog} DESTINATION share/doc/zov11119-${component}
            COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zov11119)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# each package names its own summary, the first line of its description
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VENDOR "Menu import developers")
set(CPACK_PACKAGE_CONTACT "Menu import developers <zov11119@hospital.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_SOURCE_DIR}/dist)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL common server workstation)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# the Debian libraries the programs link, found by dpkg-shlibdeps
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)

set(CPACK_DEBIAN_COMMON_PACKAGE_NAME zov11119-common)
set(CPACK_DEBIAN_COMMON_DESCRIPTION
    "menu import of the hospital food service - shared libraries\n\
The libraries that the application server and the planner's workstation\n\
of the menu import share: data packets, the server protocol and the host\n\
services.")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME zov11119-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS
    "zov11119-common (= ${PROJECT_VERSION}), ${ZOV_DEB_DEPENDS_SQL}, adduser")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${pkg}/server/postinst;${pkg}/server/prerm;${pkg}/server/postrm;${pkg}/server/conffiles")
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "menu import of the hospital food service - application server\n\
The application server that stores imported menus in one transaction per\n\
day and diet, over an SQLite file or PostgreSQL, with zov-db to create,\n\
seed and purge its database. It runs as the zov-server systemd service,\n\
configured in /etc/zov11119/zov-server.conf, and is not started on\n\
installation; a weekly timer that purges old runs is installed disabled.")
set(CPACK_DEBIAN_WORKSTATION_PACKAGE_NAME zov11119-workstation)
set(CPACK_DEBIAN_WORKSTATION_PACKAGE_DEPENDS
    "zov11119-common (= ${PROJECT_VERSION}), ${ZOV_DEB_DEPENDS_SQL}")
set(CPACK_DEBIAN_WORKSTATION_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_DEBIAN_WORKSTATION_DESCRIPTION
    "menu import of the hospital food service - planner's workstation\n\
The screen that copies a day's menu onto the following days (zov-host),\n\
its command-line twin zov-import for scripts, and zov-rpc to call the\n\
application server.")
include(CPack)
