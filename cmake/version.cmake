# SPDX-License-Identifier: MIT
# The version has one home, the public header: the project, the packages and the SONAME
# take it from the VORN3S_VERSION_* lines, and the text VORN3S_VERSION must agree.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../src/server/vorn3s.h version_lines
  REGEX "^#define VORN3S_VERSION(_MAJOR|_MINOR|_PATCH)? ")
foreach(part MAJOR MINOR PATCH)
  if(NOT version_lines MATCHES "VORN3S_VERSION_${part} ([0-9]+)")
    message(FATAL_ERROR "vorn3s.h lacks a numeric VORN3S_VERSION_${part}")
  endif()
  set(version_${part} ${CMAKE_MATCH_1})
endforeach()
set(VORN3S_HEADER_VERSION ${version_MAJOR}.${version_MINOR}.${version_PATCH})
if(NOT version_lines MATCHES "VORN3S_VERSION \"${VORN3S_HEADER_VERSION}\"")
  message(FATAL_ERROR "vorn3s.h: VORN3S_VERSION is not \"${VORN3S_HEADER_VERSION}\"")
endif()
# A new version in the header configures the build anew.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../src/server/vorn3s.h)
