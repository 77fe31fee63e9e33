# The Debian package for line PCs: `cpack -G DEB` in the build folder (scripts/check-package.sh
# builds and checks it). The program folder goes to /opt/tarnwell, read-only for operators;
# the launcher /usr/bin/tarnwell runs the program in the station's folder /var/lib/tarnwell,
# which the postinst script makes (group tarnwell, 2770), and the desktop entry starts the
# launcher.
#
# Components: the runnable folder (no component name) goes into both `cmake --install` and
# the package; "folder" (the folder's own desktop entry) only into `cmake --install`;
# "package" (launcher, system desktop entry) only into the package.
set(TARNWELL_PACKAGE_DIR /opt/tarnwell)
set(TARNWELL_PACKAGE_LAUNCHER /usr/bin/tarnwell)
set(TARNWELL_STATION_DIR /var/lib/tarnwell)
set(TARNWELL_STATION_GROUP tarnwell)
get_filename_component(_launcher_dir ${TARNWELL_PACKAGE_LAUNCHER} DIRECTORY)
# Relative, so that an unpacked copy of the package runs its own program.
file(RELATIVE_PATH TARNWELL_LAUNCHER_TO_PROGRAM ${_launcher_dir} ${TARNWELL_PACKAGE_DIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/tarnwell.sh.in ${CMAKE_BINARY_DIR}/packaging/tarnwell @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/tarnwell.desktop.in ${CMAKE_BINARY_DIR}/packaging/tarnwell.desktop @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/tarnwell DESTINATION ${_launcher_dir}
        COMPONENT package EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tarnwell.desktop DESTINATION /usr/share/applications
        COMPONENT package EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarnwell developers <tarnwell@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "identifier pool and device burning for the production line")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarnwell keeps the pool of per-customer identifiers, imports them from XML, XLSX and XLS
files, finds devices on the line, burns unused identifiers into them and records each one
used with its device, with an operation log. Start it with `tarnwell`. Every operator of
the PC burns from the station's one pool in /var/lib/tarnwell: operators join the group
tarnwell (sudo adduser NAME tarnwell, then log in again), and each person logs in to the
program by name. A pool an earlier version kept in an operator's ~/.local/share/tarnwell
is left there; the launcher shows the tarnwell-merge command that brings it over. The
device simulator tarnwell-devicesim and tarnwell-merge are in /opt/tarnwell.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${TARNWELL_PACKAGE_DIR})
set(CPACK_INSTALL_PREFIX ${TARNWELL_PACKAGE_DIR})
# The launcher and the desktop entry have absolute destinations: stage through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries the executables link come from dpkg-shlibdeps; what Qt loads at run time
# (database drivers) and the fonts the forms are laid out for are named here. The xcb
# platform plugin and the ico/gif image plugins ship in libqt5gui5, which shlibdeps finds.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TARNWELL_RUN_DIR})
if(TARNWELL_VENDOR_SDK_DIR)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TARNWELL_VENDOR_SDK_DIR})
endif()
# adduser: the postinst script makes the group with addgroup.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, libqt5sql5-psql, fonts-liberation2, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei")
include(CPack)
