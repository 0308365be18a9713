# SPDX-License-Identifier: MIT
# Debian packages of the three install components, built with `cpack -G DEB`. Their
# dependencies are computed by dpkg-shlibdeps from the binaries, never typed here.

# The service: a systemd unit and the file of its options, both for the server package.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(VORN3S_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Folder of the systemd unit, relative to the install prefix")
  set(VORN3S_DEFAULT_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/${VORN3S_PROGRAM})
  configure_file(dist/service.in ${PROJECT_BINARY_DIR}/dist/${VORN3S_PROGRAM}.service @ONLY)
  configure_file(dist/default.in ${PROJECT_BINARY_DIR}/dist/${VORN3S_PROGRAM} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/dist/${VORN3S_PROGRAM}.service
    DESTINATION ${VORN3S_SYSTEMD_UNIT_DIR} COMPONENT server)
  install(FILES ${PROJECT_BINARY_DIR}/dist/${VORN3S_PROGRAM}
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default COMPONENT server)
  # The operator's edits of the options survive upgrades.
  file(WRITE ${PROJECT_BINARY_DIR}/dist/server-control/conffiles "${VORN3S_DEFAULT_FILE}\n")
endif()

set(CPACK_PACKAGE_NAME vorn3s)
set(CPACK_PACKAGE_VENDOR "The vorn3s authors")
set(CPACK_PACKAGE_CONTACT "${VORN3S_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Debian ships binaries stripped; the debugging data stays in the build.
set(CPACK_STRIP_FILES ON)

set(CPACK_COMPONENTS_ALL runtime dev server)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VORN3S_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "TCP media server library for media-player clients\n"
  "The shared library behind the vorn3s_ C interface: a host program configures,\n"
  "starts and stops a server of protocol version 3 with it, manages the folders and\n"
  "files that clients may see, and runs one-shot queries.")
# Packages built against the library get their dependency from its shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VORN3S_PACKAGE_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
  "TCP media server library for media-player clients - development files\n"
  "The header vorn3s.h, the CMake package (find_package(vorn3s)), the pkg-config\n"
  "file vorn3s.pc and the manual page vorn3s(3).")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME ${VORN3S_PACKAGE_server})
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
string(CONCAT CPACK_COMPONENT_SERVER_DESCRIPTION
  "TCP media server for media-player clients\n"
  "Serves the folders and files an operator names, on one IPv4 address, to player\n"
  "clients of protocol version 3: browsing, reading by offset and length, and the\n"
  "subtitle files beside a video. It comes with an operator console, one-shot\n"
  "commands that need no network, and a systemd unit that is installed disabled.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/dist/server-control/conffiles)

include(CPack)
