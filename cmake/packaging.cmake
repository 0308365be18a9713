# SPDX-License-Identifier: MIT
# Debian packages of the three install components, built with `cpack -G DEB` from a
# build of any install prefix: the packages install under /usr, and the files that name
# paths are written for /usr and /etc by the install itself. Their dependencies are
# computed by dpkg-shlibdeps from the binaries, never typed here. Before the packages are
# made, cmake/deb_check.cmake refuses a staging that is not a Debian layout; afterwards
# cmake/deb_trigger.cmake gives the library package its ldconfig trigger.
set(VORN3S_UNIT ${VORN3S_PROGRAM}.service)
set(control ${PROJECT_BINARY_DIR}/dist/control)
# The options and roots files are the operator's: their edits survive upgrades, and a
# purge removes them.
set(VORN3S_CONFFILES /etc/default/${VORN3S_PROGRAM} /etc/${VORN3S_PROGRAM}/roots)
list(JOIN VORN3S_CONFFILES "\n" conffiles)
file(WRITE ${control}/server/conffiles "${conffiles}\n")
foreach(script postinst prerm postrm)
  configure_file(dist/debian/${script}.in ${control}/server/${script} @ONLY)
endforeach()

set(CPACK_PACKAGE_NAME vorn3s)
set(CPACK_PACKAGE_VENDOR "The vorn3s authors")
set(CPACK_PACKAGE_CONTACT "${VORN3S_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Debian ships binaries stripped; the debugging data stays in the build.
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_check.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_trigger.cmake)
set(CPACK_CUSTOM_INSTALL_VARIABLES VORN3S_CPACK=ON)
# What those two scripts need to know, at cpack time.
set(CPACK_VORN3S_CHANGELOG_ERROR "${VORN3S_CHANGELOG_ERROR}")
set(CPACK_VORN3S_CONFFILES ${VORN3S_CONFFILES})
set(CPACK_VORN3S_RUNTIME_PACKAGE ${VORN3S_PACKAGE_runtime})
set(CPACK_VORN3S_MULTIARCH "${CMAKE_LIBRARY_ARCHITECTURE}")

set(CPACK_COMPONENTS_ALL runtime dev server)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE vorn3s)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VORN3S_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VORN3S_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "TCP media server library for media-player clients\n"
  "The shared library behind the vorn3s_ C interface: with it a host program\n"
  "configures, starts and stops a server of protocol version 3, manages the\n"
  "folders and files that clients may see, and runs one-shot queries.")
# Packages built against the library get their dependency from its shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The exported functions, each with the first version that has it (dpkg-gensymbols
# format), for finer dependencies than the shlibs file gives.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/debian/triggers
  ${PROJECT_SOURCE_DIR}/dist/debian/symbols)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VORN3S_PACKAGE_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
  "TCP media server library for media-player clients - development files\n"
  "The header vorn3s.h, the CMake package (find_package(vorn3s)), the\n"
  "pkg-config file vorn3s.pc and the manual page vorn3s(3).")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME ${VORN3S_PACKAGE_server})
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
string(CONCAT CPACK_COMPONENT_SERVER_DESCRIPTION
  "TCP media server for media-player clients\n"
  "Serves the folders and files an operator names, on one IPv4 address, to\n"
  "player clients of protocol version 3: browsing, reading by offset and\n"
  "length, and the subtitle files beside a video. It comes with an operator\n"
  "console, one-shot commands that need no network, and a systemd service\n"
  "that starts once its options name an address and a root.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${control}/server/conffiles ${control}/server/postinst ${control}/server/prerm
  ${control}/server/postrm)

include(CPack)
