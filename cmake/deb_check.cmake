# SPDX-License-Identifier: MIT
# Run by cpack once the files of the packages are staged: a Debian package holds only
# files under /usr and /etc, libraries in the multiarch folder, and its conffiles, so
# anything else (an install folder configured as an absolute path elsewhere, say) stops
# cpack here with the reason.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
if(CPACK_VORN3S_CHANGELOG_ERROR)
  message(FATAL_ERROR "${CPACK_VORN3S_CHANGELOG_ERROR}")
endif()
set(staged "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${staged}" "${staged}/*")
set(wrong "")
set(not_multiarch "")
foreach(file IN LISTS files)
  # The first component of each path is the install component, the package.
  if(NOT file MATCHES "^[^/]+/(usr|etc)/")
    list(APPEND wrong "${file}")
  elseif(CPACK_VORN3S_MULTIARCH AND file MATCHES "^[^/]+/usr/lib/"
      AND NOT file MATCHES "^[^/]+/usr/lib/(${CPACK_VORN3S_MULTIARCH}|systemd)/")
    list(APPEND not_multiarch "${file}")
  endif()
endforeach()
if(wrong)
  list(JOIN wrong "\n  " wrong)
  message(FATAL_ERROR "The Debian packages would hold files outside /usr and /etc:\n  ${wrong}\n"
    "Configure the install folders relative to the prefix (the defaults), then run cpack again.")
endif()
if(not_multiarch)
  list(JOIN not_multiarch "\n  " not_multiarch)
  message(FATAL_ERROR "The Debian packages would hold library files outside "
    "/usr/lib/${CPACK_VORN3S_MULTIARCH}:\n  ${not_multiarch}\n"
    "Configure with -DCMAKE_INSTALL_LIBDIR=lib/${CPACK_VORN3S_MULTIARCH}, or without "
    "CMAKE_INSTALL_LIBDIR (remove it from CMakeCache.txt), then run cpack again.")
endif()
foreach(conffile IN LISTS CPACK_VORN3S_CONFFILES)
  if(NOT EXISTS "${staged}/server${conffile}")
    message(FATAL_ERROR "The server package lacks its conffile ${conffile}: configure "
      "CMAKE_INSTALL_SYSCONFDIR as etc (the default) or /etc, then run cpack again.")
  endif()
endforeach()
