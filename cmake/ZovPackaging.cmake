# Installation and the Debian packages (cpack, from ./run package):
#   zov11119-common       the libraries the programs share
#   zov11119-server       zov-server, zov-db, their systemd unit and configuration
#   zov11119-workstation  zov-host and its screen module, zov-import, zov-rpc
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
install(FILES ${pkg}/zov-server.conf DESTINATION /etc/zov11119 COMPONENT server)
install(FILES ${pkg}/zov-server.service DESTINATION /lib/systemd/system COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/docs/operations.md ${CMAKE_SOURCE_DIR}/docs/protocol.md
        DESTINATION share/doc/zov11119-server COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/docs/help/12011119.html
        DESTINATION share/doc/zov11119-workstation COMPONENT workstation)

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
    "${pkg}/server/postinst;${pkg}/server/postrm;${pkg}/server/conffiles")
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "menu import of the hospital food service - application server\n\
The application server that stores imported menus in one transaction per\n\
day and diet, over an SQLite file or PostgreSQL, with zov-db to create,\n\
seed and purge its database. It runs as the zov-server systemd service,\n\
configured in /etc/zov11119/zov-server.conf, and is not started on\n\
installation.")
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
