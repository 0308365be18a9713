# SPDX-License-Identifier: MIT
# The Windows release, made by `cpack -G ZIP` in the Windows build folder (or by
# scripts/release-windows.sh): vorn3s-VERSION-win64.zip, to unpack anywhere and run, with
# nothing else to install, since the C and C++ runtimes are linked in.
#   bin/      the console program and vorn3s.dll
#   lib/      vorn3s.lib, the import library for hosts that link the DLL
#   include/  vorn3s.h
#   docs/     the protocol document and the manual pages as plain text
#   LICENSE, README.md
install(TARGETS vorn3s RUNTIME DESTINATION bin ARCHIVE DESTINATION lib FILE_SET HEADERS DESTINATION include)
install(TARGETS ${VORN3S_PROGRAM} RUNTIME DESTINATION bin)
install(FILES LICENSE README.md DESTINATION .)
install(FILES docs/protocol.md DESTINATION docs)

# The manual pages, rendered on the build machine as text without bold or underlining,
# for readers who have no man command.
find_program(VORN3S_SCDOC scdoc)
find_program(VORN3S_GROFF groff)
if(VORN3S_SCDOC AND VORN3S_GROFF)
  set(texts "")
  foreach(page ${VORN3S_PROGRAM}.1 vorn3s.3)
    set(out ${PROJECT_BINARY_DIR}/docs/${page}.txt)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/docs
      COMMAND sh -c "'${VORN3S_SCDOC}' < '${PROJECT_SOURCE_DIR}/man/${page}.scd' | '${VORN3S_GROFF}' -man -Tutf8 -P-cbou > '${out}'"
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.scd VERBATIM
      COMMENT "Manual page ${page} as text")
    list(APPEND texts ${out})
  endforeach()
  add_custom_target(man_text ALL DEPENDS ${texts})
  install(FILES ${texts} DESTINATION docs)
else()
  message(STATUS "scdoc or groff not found: the release leaves out the manual pages")
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vorn3s)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vorn3s-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
include(CPack)
