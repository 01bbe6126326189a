# What a release carries besides the program: the manual page stamped with
# the version and date, and the Debian changelog.  CHANGELOG.md is the one
# place the release date is written, project(VERSION) the one place of the
# version; the two must agree.

file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md latest REGEX "^## " LIMIT_COUNT 1)
if(NOT latest MATCHES "^## ([^ ]+) - ([0-9]+-[0-9]+-[0-9]+)( [0-9]+:[0-9]+ UTC)?$"
   OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md must open with the entry '## ${PROJECT_VERSION} - YYYY-MM-DD [HH:MM UTC]'")
endif()
set(XORFILE_RELEASE_DATE ${CMAKE_MATCH_2})

execute_process(
  COMMAND env LC_ALL=C date -u -d ${XORFILE_RELEASE_DATE} "+%B %-d, %Y"
  OUTPUT_VARIABLE XORFILE_MAN_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

# Manual pages are installed compressed, as man and Debian expect.
set(page ${PROJECT_BINARY_DIR}/xorfile.1)
configure_file(${PROJECT_SOURCE_DIR}/man/xorfile.1.in ${page} @ONLY)
add_custom_command(OUTPUT ${page}.gz
  COMMAND gzip -9 -n -c ${page} > ${page}.gz
  DEPENDS ${page}
  VERBATIM)

set(changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND awk -v "maintainer=${CPACK_PACKAGE_CONTACT}"
          -f ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.awk ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          | gzip -9 -n > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.awk
  VERBATIM)

add_custom_target(release_notes ALL DEPENDS ${page}.gz ${changelog})
install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
