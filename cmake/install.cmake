# SPDX-License-Identifier: MIT
# Install rules, in three components that become the three Debian packages:
#   runtime  the shared library with its SONAME link
#   dev      the header, the unversioned link, the CMake package, vorn3s.pc, section 3 pages
#   server   the console program, its section 1 page, the systemd unit and /etc/default file
# The static core is not installed: nothing outside this build links against it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VORN3S_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorn3s)

install(TARGETS vorn3s EXPORT vorn3s-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT vorn3s-targets NAMESPACE vorn3s:: FILE vorn3sTargets.cmake
  DESTINATION ${VORN3S_CMAKE_DIR} COMPONENT dev)

configure_package_config_file(cmake/vorn3sConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vorn3sConfig.cmake INSTALL_DESTINATION ${VORN3S_CMAKE_DIR})
# A host written for 1.x builds against every later 1.y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorn3sConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
configure_file(cmake/vorn3s.pc.in ${PROJECT_BINARY_DIR}/vorn3s.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorn3sConfig.cmake ${PROJECT_BINARY_DIR}/vorn3sConfigVersion.cmake
  DESTINATION ${VORN3S_CMAKE_DIR} COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/vorn3s.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(TARGETS ${VORN3S_PROGRAM} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)

# Each package carries the licence as Debian expects it, in its own documentation folder.
foreach(component runtime dev server)
  install(FILES LICENSE RENAME copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${VORN3S_PACKAGE_${component}} COMPONENT ${component})
endforeach()
