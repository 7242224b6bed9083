# qv_library(NAME DEPS...): one static library from the .cpp files of the current folder.
# Files named qt_*.cpp are Qt-backed and go into NAME_qt, built only with QV_GUI.
# In the library's folders (QV_LIBRARY_FOLDERS) the library (not its Qt part) and the folder's
# headers are installed; its installed name is qvcomm::<NAME without qv_> (qv_comm is
# qvcomm::comm), also usable as that alias in the tree.
include(GNUInstallDirs)
set(QV_LIBRARY_FOLDERS platform core ports comm barcode log)
function(qv_library name)
  file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB _qt CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/qt_*.cpp)
  if(_qt)
    list(REMOVE_ITEM _all ${_qt})
  endif()
  if(_all)
    add_library(${name} STATIC ${_all})
    set(_scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(_scope INTERFACE)
  endif()
  target_include_directories(${name} ${_scope} $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/qvcomm>)
  target_link_libraries(${name} ${_scope} ${ARGN})
  target_compile_features(${name} ${_scope} cxx_std_20)
  string(REGEX REPLACE "^qv_" "" _short ${name})
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${_short})
  add_library(qvcomm::${_short} ALIAS ${name})
  # The library's own folders are installed with their headers; the program's (app/) are not.
  file(RELATIVE_PATH _folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(_folder IN_LIST QV_LIBRARY_FOLDERS)
    set_property(GLOBAL APPEND PROPERTY QV_LIBRARIES ${name})
    file(GLOB _headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    list(FILTER _headers EXCLUDE REGEX "/qt_[^/]*$")
    if(_headers)
      install(FILES ${_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvcomm/${_folder})
    endif()
  endif()
  if(_qt AND QV_GUI)
    add_library(${name}_qt STATIC ${_qt})
    set_target_properties(${name}_qt PROPERTIES AUTOMOC ON)
    target_link_libraries(${name}_qt PUBLIC ${name} Qt6::Widgets)
    # Qt-backed parts stand on the Qt-backed platform (forms, controls, the hosted loop).
    if(TARGET qv_platform_qt AND NOT name STREQUAL "qv_platform")
      target_link_libraries(${name}_qt PUBLIC qv_platform_qt)
    endif()
  endif()
endfunction()

# qv_install_library(): after every qv_library. Installs the static libraries with a CMake
# package (find_package(qvcomm), targets qvcomm::platform ... qvcomm::log) and qvcomm.pc.
function(qv_install_library)
  get_property(_libs GLOBAL PROPERTY QV_LIBRARIES)
  set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/qvcomm)
  install(TARGETS ${_libs} EXPORT qvcommTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(EXPORT qvcommTargets NAMESPACE qvcomm:: DESTINATION ${_cmakedir})
  include(CMakePackageConfigHelpers)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qvcommConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/qvcommConfig.cmake INSTALL_DESTINATION ${_cmakedir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/qvcommConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/qvcommConfig.cmake ${PROJECT_BINARY_DIR}/qvcommConfigVersion.cmake
          DESTINATION ${_cmakedir})
  # pkg-config: static archives, so every library, highest layer first, and what they need.
  set(QV_PC_LIBS "")
  foreach(_lib ${_libs})
    get_target_property(_type ${_lib} TYPE)
    if(_type STREQUAL "STATIC_LIBRARY")
      set(QV_PC_LIBS "-l${_lib} ${QV_PC_LIBS}")
    endif()
  endforeach()
  string(APPEND QV_PC_LIBS "-pthread")
  foreach(_sys ${CMAKE_DL_LIBS})
    string(APPEND QV_PC_LIBS " -l${_sys}")
  endforeach()
  set(_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  # Relative to the .pc file, so a staged or moved installation still works.
  file(RELATIVE_PATH QV_PC_PREFIX /${_pcdir} /)
  string(REGEX REPLACE "/$" "" QV_PC_PREFIX "${QV_PC_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qvcomm.pc.in ${PROJECT_BINARY_DIR}/qvcomm.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qvcomm.pc DESTINATION ${_pcdir})
endfunction()
