# The version and date a build carries, and the manual page stamped with
# them.  project(VERSION) is the
# one place of the version, CHANGELOG.md the one place of the release date:
# its newest dated entry must name that version.  Changes made since go
# under an "## Unreleased" entry above it; a build of such a tree calls
# itself VERSION+unreleased and carries the date of SOURCE_DATE_EPOCH, or of
# the day it was configured.

file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md headings REGEX "^## ")
list(POP_FRONT headings latest)
set(XORFILE_VERSION ${PROJECT_VERSION})
if(latest STREQUAL "## Unreleased")
  set(XORFILE_VERSION ${PROJECT_VERSION}+unreleased)
  list(POP_FRONT headings latest)
endif()
if(NOT latest MATCHES "^## ([^ ]+) - ([0-9]+-[0-9]+-[0-9]+)( [0-9]+:[0-9]+ UTC)?$"
   OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md must open with '## Unreleased' or with "
                      "'## ${PROJECT_VERSION} - YYYY-MM-DD [HH:MM UTC]', the newest release")
endif()
if(XORFILE_VERSION STREQUAL PROJECT_VERSION)
  set(XORFILE_DATE ${CMAKE_MATCH_2})
elseif(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(XORFILE_DATE @$ENV{SOURCE_DATE_EPOCH})
else()
  set(XORFILE_DATE now)
endif()

execute_process(
  COMMAND env LC_ALL=C date -u -d ${XORFILE_DATE} "+%B %-d, %Y"
  OUTPUT_VARIABLE XORFILE_MAN_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

# Manual pages are installed compressed, as man and Debian expect.
set(page ${PROJECT_BINARY_DIR}/xorfile.1)
configure_file(${PROJECT_SOURCE_DIR}/man/xorfile.1.in ${page} @ONLY)
add_custom_command(OUTPUT ${page}.gz
  COMMAND gzip -9 -n -c ${page} > ${page}.gz
  DEPENDS ${page}
  VERBATIM)

add_custom_target(manual_page ALL DEPENDS ${page}.gz)
install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
