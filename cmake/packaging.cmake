# The Debian package, cpack -G DEB (the default).  Only settings that differ
# from CPack's defaults are here.
#
# lintian --pedantic leaves one info tag: binary-has-unneeded-section
# .comment, the compiler's name and version that the linker keeps in the
# program.  It costs a few dozen bytes, and removing it would take a strip
# step of our own besides CPack's.

# Values reach CPack's own configuration as written, regular expressions too.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "xorfile developers <xorfile@packages.invalid>")
set(CPACK_PACKAGE_DESCRIPTION "xorfile reads a file of up to 4 MiB, combines every byte by exclusive-or
with a fixed built-in 9-byte key chosen by the byte's offset, and writes
the result to another file. Running it again on its output restores the
input. The built-in key hides data from a casual look only; it is not
protection for secrets.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_VERSION ${XORFILE_VERSION})

# A native Debian package carries its licence as "copyright" and its history
# as a Debian changelog.  They are installed for the package alone, never by
# cmake --install, where a distribution's tools would have to replace them.
set(changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND awk -v "maintainer=${CPACK_PACKAGE_CONTACT}" -v "version=${XORFILE_VERSION}"
          -v "date=${XORFILE_DATE}"
          -f ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.awk ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          | gzip -9 -n > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.awk
  VERBATIM)

add_custom_target(debian_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright
        COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
  "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")

include(CPack)
