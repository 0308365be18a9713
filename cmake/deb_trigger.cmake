# SPDX-License-Identifier: MIT
# Run by cpack once the packages are made. CPack gives a package with a shared library
# a postinst and a postrm that call ldconfig; Debian wants the library package to
# activate the ldconfig trigger instead (its triggers file), and no scripts at all. So
# the library package is taken apart and built again without the two scripts.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${deb}" NAME)
  if(NOT name MATCHES "^${CPACK_VORN3S_RUNTIME_PACKAGE}_")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/ldconfig-trigger")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${DPKG_DEB}" --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  if(NOT EXISTS "${tree}/DEBIAN/triggers")
    message(FATAL_ERROR "${name} has no triggers file")
  endif()
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND "${DPKG_DEB}" --root-owner-group -Zgzip --build "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
