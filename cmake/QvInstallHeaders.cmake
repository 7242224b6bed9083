# Run at install time: copies a folder's public headers into include/qvcomm/<folder>/, with the
# library's own includes written as <qvcomm/<folder>/x.h>, so a user's program needs only
# -I<prefix>/include and the library's folder names (core/, log/, ...) never shadow its own.
# In: QV_HEADERS (list), QV_FOLDER, QV_INCLUDEDIR.
set(_dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${QV_INCLUDEDIR}/qvcomm/${QV_FOLDER}")
file(MAKE_DIRECTORY "${_dest}")
foreach(_h ${QV_HEADERS})
  get_filename_component(_name "${_h}" NAME)
  file(READ "${_h}" _text)
  string(REGEX REPLACE "#include \"((platform|core|ports|comm|barcode|log)/[^\"]+)\""
         "#include <qvcomm/\\1>" _text "${_text}")
  message(STATUS "Installing: ${_dest}/${_name}")
  file(WRITE "${_dest}/${_name}" "${_text}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_dest}/${_name}")
endforeach()
