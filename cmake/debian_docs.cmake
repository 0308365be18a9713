# SPDX-License-Identifier: MIT
# The two files of each package's documentation folder, as Debian wants them: the
# copyright file in the machine-readable format, made from LICENSE, and the packages'
# changelog (dist/debian/changelog) compressed as changelog.Debian.gz. The changelog's
# latest entry also gives the Debian revision of the packages.
set(changelog ${PROJECT_SOURCE_DIR}/dist/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog} ${PROJECT_SOURCE_DIR}/LICENSE)

file(STRINGS ${changelog} latest LIMIT_COUNT 1)
set(VORN3S_CHANGELOG_ERROR "")
if(NOT latest MATCHES "^vorn3s \\(([^)]+)-([0-9][^)-]*)\\) ")
  set(VORN3S_CHANGELOG_ERROR "dist/debian/changelog: the first line names no version UPSTREAM-REVISION")
  set(VORN3S_DEBIAN_REVISION 1)
elseif(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  set(VORN3S_CHANGELOG_ERROR "dist/debian/changelog: the latest entry is for ${CMAKE_MATCH_1}, \
the build is ${PROJECT_VERSION}; add an entry for ${PROJECT_VERSION}-1 at the top")
  set(VORN3S_DEBIAN_REVISION ${CMAKE_MATCH_2})
else()
  set(VORN3S_DEBIAN_REVISION ${CMAKE_MATCH_2})
endif()
if(VORN3S_CHANGELOG_ERROR)
  message(WARNING "${VORN3S_CHANGELOG_ERROR} (cpack -G DEB refuses until then)")
endif()

find_program(VORN3S_GZIP gzip REQUIRED)
set(VORN3S_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/dist/changelog.Debian.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/dist)
# Without a name or time stamp inside, so that the same changelog gives the same bytes.
execute_process(COMMAND ${VORN3S_GZIP} -9nc ${changelog} OUTPUT_FILE ${VORN3S_CHANGELOG_FILE}
  COMMAND_ERROR_IS_FATAL ANY)

# The copyright file names its format by the address of that format's specification,
# which this repository does not spell out; dpkg's own copyright file, on every Debian
# system, starts with that same line. Elsewhere the licence goes in as it stands.
set(VORN3S_COPYRIGHT_FILE ${PROJECT_BINARY_DIR}/dist/copyright)
set(format "")
if(EXISTS /usr/share/doc/dpkg/copyright)
  file(STRINGS /usr/share/doc/dpkg/copyright format LIMIT_COUNT 1
    REGEX "^Format: https://[^ ]*/copyright-format/1\\.0/$")
endif()
# LICENSE is its title, the copyright line and the licence text, apart by empty lines.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE text)
if(NOT format OR NOT text MATCHES "^[^\n]*\n\nCopyright \\(c\\) ([^\n]+)\n\n")
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${VORN3S_COPYRIGHT_FILE} COPYONLY)
  return()
endif()
set(holder "${CMAKE_MATCH_1}")
string(LENGTH "${CMAKE_MATCH_0}" skip)
string(SUBSTRING "${text}" ${skip} -1 text)
# The licence text, each line indented by one blank and each empty line a lone ".", as
# the format writes a field of several lines.
string(REGEX REPLACE "\n+$" "" text "${text}")
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text " ${text}")
file(WRITE ${VORN3S_COPYRIGHT_FILE} "${format}
Upstream-Name: vorn3s
Upstream-Contact: ${VORN3S_MAINTAINER}

Files: *
Copyright: ${holder}
License: Expat

License: Expat
${text}
")
