# The source archive, BUILD/xorfile-VERSION.tar.xz: the tracked files of the
# checked-out commit under one top folder, each stamped with the commit's
# time, so that every clone gives the same bytes at any time.  Untracked and
# uncommitted files are not in it.
#   cmake --build BUILD --target dist

set(dist_name ${PROJECT_NAME}-${XORFILE_VERSION})
add_custom_target(dist
  COMMAND git -C ${PROJECT_SOURCE_DIR} archive --format=tar --prefix=${dist_name}/ HEAD
          | xz -9 -T1 > ${PROJECT_BINARY_DIR}/${dist_name}.tar.xz
  COMMENT "Writing ${dist_name}.tar.xz from the commit checked out"
  VERBATIM)
