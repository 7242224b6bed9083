# Run by cpack after it made the packages (CPACK_POST_BUILD_SCRIPTS): makes each -dbgsym package
# a well-formed one. The DEB generator writes their md5sums with its own absolute staging paths
# and gives them no documentation folder; here the sums are taken again relative to the root,
# the debug files lose their execute bits and /usr/share/doc/<package>-dbgsym leads to the
# folder of the package the symbols belong to (which the -dbgsym package depends on).
foreach(_ddeb ${CPACK_PACKAGE_FILES})
  if(NOT _ddeb MATCHES "/([^/_]+)-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(_pkg ${CMAKE_MATCH_1})
  set(_root ${_ddeb}.root)
  file(REMOVE_RECURSE ${_root})
  execute_process(COMMAND dpkg-deb -R ${_ddeb} ${_root} COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE ${_root} ${_root}/usr/*)
  set(_sums "")
  foreach(_f ${_files})
    file(CHMOD ${_root}/${_f} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 ${_root}/${_f} _md5)
    string(APPEND _sums "${_md5}  ${_f}\n")
  endforeach()
  file(WRITE ${_root}/DEBIAN/md5sums "${_sums}")
  file(MAKE_DIRECTORY ${_root}/usr/share/doc)
  file(CREATE_LINK ${_pkg} ${_root}/usr/share/doc/${_pkg}-dbgsym SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${_root} ${_ddeb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${_root})
endforeach()
