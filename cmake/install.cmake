# SPDX-License-Identifier: MIT
# Install rules, in three components that become the three Debian packages:
#   runtime  the shared library with its SONAME link
#   dev      the header, the unversioned link, the CMake package, vorn3s.pc, section 3 pages
#   server   the console program, its section 1 page, and the service: systemd unit,
#            options file, roots file and the start step that reads it
# Every destination is relative to the prefix, and the files that name installed paths
# are written by the install itself (cmake/install_time.cmake.in), so that the same build
# installs right under any prefix and packages right under /usr. The static core is not
# installed: nothing outside this build links against it.

# Debian's loader, pkg-config and CMake look in lib/<triplet> under /usr/local as under
# /usr, and its packages keep libraries there: so that folder for every prefix, unless
# CMAKE_INSTALL_LIBDIR is given. Not a cache entry, which GNUInstallDirs would reset
# when the prefix changes.
if(NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} AND CMAKE_LIBRARY_ARCHITECTURE AND NOT WIN32)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VORN3S_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Folder of the systemd unit, relative to the install prefix")
set(VORN3S_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorn3s)
configure_file(cmake/install_time.cmake.in ${PROJECT_BINARY_DIR}/install_time.cmake @ONLY)
# The start of every install(CODE) below that writes or touches installed files.
set(at_install "include(\"${PROJECT_BINARY_DIR}/install_time.cmake\")")

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
install(FILES ${PROJECT_BINARY_DIR}/vorn3sConfig.cmake ${PROJECT_BINARY_DIR}/vorn3sConfigVersion.cmake
  DESTINATION ${VORN3S_CMAKE_DIR} COMPONENT dev)
install(CODE "${at_install}
  vorn3s_install_configured(\"${PROJECT_SOURCE_DIR}/cmake/vorn3s.pc.in\"
    \"\${VORN3S_FULL_LIBDIR}/pkgconfig/vorn3s.pc\")" COMPONENT dev)

install(TARGETS ${VORN3S_PROGRAM} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
if(NOT WIN32)
  install(CODE "${at_install}
    vorn3s_strip_notes(\"\${VORN3S_FULL_LIBDIR}/$<TARGET_FILE_NAME:vorn3s>\")" COMPONENT runtime)
  install(CODE "${at_install}
    vorn3s_strip_notes(\"\${VORN3S_FULL_BINDIR}/$<TARGET_FILE_NAME:${VORN3S_PROGRAM}>\")"
    COMPONENT server)
endif()

# The service: the unit starts the start step, which adds a --root for each line of the
# roots file to the options of the options file.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  install(PROGRAMS dist/service-start DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/${VORN3S_PROGRAM}
    COMPONENT server)
  install(CODE "${at_install}
    vorn3s_install_configured(\"${PROJECT_SOURCE_DIR}/dist/service.in\"
      \"\${VORN3S_FULL_UNITDIR}/\${VORN3S_PROGRAM}.service\")
    vorn3s_install_configured(\"${PROJECT_SOURCE_DIR}/dist/default.in\" \"\${VORN3S_OPTIONS_FILE}\")
    vorn3s_install_configured(\"${PROJECT_SOURCE_DIR}/dist/roots.in\" \"\${VORN3S_ROOTS_FILE}\")"
    COMPONENT server)
endif()

# Each package carries, in its own documentation folder, its copyright file and the
# changelog of the packages (cmake/debian_docs.cmake makes both).
include(cmake/debian_docs.cmake)
# The packages alone, not a plain install, also carry their lintian overrides, each with
# its reason (cpack sets VORN3S_CPACK).
foreach(component runtime dev server)
  set(package ${VORN3S_PACKAGE_${component}})
  install(FILES ${VORN3S_COPYRIGHT_FILE} ${VORN3S_CHANGELOG_FILE}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  install(CODE "if(VORN3S_CPACK)
    ${at_install}
    set(VORN3S_PACKAGE ${package})
    vorn3s_install_configured(\"${PROJECT_SOURCE_DIR}/dist/debian/lintian-overrides.in\"
      \"\${VORN3S_FULL_DATADIR}/lintian/overrides/${package}\")
  endif()" COMPONENT ${component})
endforeach()
