# qv_library(NAME DEPS...): one static library from the .cpp files of the current folder.
# Files named qt_*.cpp are Qt-backed and go into NAME_qt, built only with QV_GUI.
# In the library's folders (QV_LIBRARY_FOLDERS) the library (not its Qt part) becomes part of the
# installed shared library, and the folder's public headers are installed under
# include/qvcomm/<folder>/ (an internal/ folder is not), to be included as <qvcomm/<folder>/x.h>,
# in the tree too (build/<kind>/include/qvcomm links to the source). In the tree the library is
# qvcomm::<NAME without qv_> (qv_comm is qvcomm::comm, qv_platform_serial qvcomm::platform_serial).
# Libraries go into the multiarch folder (lib/x86_64-linux-gnu) as Debian has them, for any prefix.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)
set(QV_LIBRARY_FOLDERS platform/win32 platform/rtl platform/system platform/serial platform/devices
    core ports comm barcode log)

# Our own code's warnings, linked privately by every target we build (not by the users of the
# installed library). QV_WERROR makes them errors (CI).
add_library(qv_warnings INTERFACE)
target_compile_options(qv_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wmissing-declarations
  -Wcast-qual "$<$<CXX_COMPILER_ID:GNU>:-Wduplicated-cond;-Wlogical-op>"
  $<$<BOOL:${QV_WERROR}>:-Werror>)

# qv_target_warnings(TARGET): the warnings above for one target of ours.
function(qv_target_warnings target)
  target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:qv_warnings>)
endfunction()
# <qvcomm/...> in the tree: a link to the source root, made once at configure time.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/include)
if(NOT EXISTS ${PROJECT_BINARY_DIR}/include/qvcomm)
  file(CREATE_LINK ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/include/qvcomm SYMBOLIC)
endif()

function(qv_library name)
  file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB _qt CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/qt_*.cpp)
  if(_qt)
    list(REMOVE_ITEM _all ${_qt})
  endif()
  if(_all)
    add_library(${name} STATIC ${_all})
    # The shared library is linked from these archives.
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    set(_scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(_scope INTERFACE)
  endif()
  target_include_directories(${name} ${_scope} $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                             $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} ${_scope} ${ARGN})
  target_compile_features(${name} ${_scope} cxx_std_20)
  if(_all)
    qv_target_warnings(${name})
  endif()
  string(REGEX REPLACE "^qv_" "" _short ${name})
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${_short})
  add_library(qvcomm::${_short} ALIAS ${name})
  # The library's own folders are installed with their headers; the program's (app/) are not.
  file(RELATIVE_PATH _folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(_folder IN_LIST QV_LIBRARY_FOLDERS)
    set_property(GLOBAL APPEND PROPERTY QV_LIBRARIES ${name})
    file(GLOB _headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    list(FILTER _headers EXCLUDE REGEX "/qt_[^/]*$")
    # The header of a Qt-backed part (qt_X.cpp implements X.h) goes with that part: not installed.
    foreach(_q ${_qt})
      get_filename_component(_qname ${_q} NAME_WE)
      string(REGEX REPLACE "^qt_" "" _qname ${_qname})
      list(REMOVE_ITEM _headers ${CMAKE_CURRENT_SOURCE_DIR}/${_qname}.h)
    endforeach()
    if(_headers)
      install(CODE "set(QV_HEADERS \"${_headers}\")
                    set(QV_FOLDER \"${_folder}\")
                    set(QV_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
                    include(\"${PROJECT_SOURCE_DIR}/cmake/QvInstallHeaders.cmake\")"
              COMPONENT libqvcomm-dev)
    endif()
  endif()
  if(_qt AND QV_GUI)
    add_library(${name}_qt STATIC ${_qt})
    set_target_properties(${name}_qt PROPERTIES AUTOMOC ON)
    target_link_libraries(${name}_qt PUBLIC ${name} Qt6::Widgets qvcomm::platform_qt)
    qv_target_warnings(${name}_qt)
    add_library(qvcomm::${_short}_qt ALIAS ${name}_qt)
  endif()
endfunction()

# qv_install_library(): after every qv_library. The library's static archives make one shared
# library, libqvcomm.so.1 (the tree's own programs and tests keep linking the archives). Exported
# are the public names of cmake/qvcomm.map; the table of device kinds installs itself when the
# library is loaded, so a program needs nothing but -lqvcomm. Installs it with the headers, a
# CMake package (find_package(qvcomm), target qvcomm::qvcomm) and qvcomm.pc.
function(qv_install_library)
  get_property(_libs GLOBAL PROPERTY QV_LIBRARIES)
  set(_archives "")
  foreach(_lib ${_libs})
    get_target_property(_type ${_lib} TYPE)
    if(_type STREQUAL "STATIC_LIBRARY")
      list(APPEND _archives ${_lib})
    endif()
  endforeach()
  set(_map ${PROJECT_SOURCE_DIR}/cmake/qvcomm.map)
  set(_objects "")
  foreach(_lib ${_archives})
    list(APPEND _objects $<TARGET_OBJECTS:${_lib}>)
  endforeach()
  add_library(qv_shared SHARED ${_objects} ${_map})
  target_link_libraries(qv_shared PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
  target_link_options(qv_shared PRIVATE "LINKER:--version-script=${_map}")
  # Every name resolved at link time; a sanitizer's run time is the program's to bring.
  if(NOT QV_ASAN AND NOT QV_TSAN)
    target_link_options(qv_shared PRIVATE "LINKER:--no-undefined")
  endif()
  target_include_directories(qv_shared INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(qv_shared INTERFACE cxx_std_20)
  set_target_properties(qv_shared PROPERTIES OUTPUT_NAME qvcomm EXPORT_NAME qvcomm LINKER_LANGUAGE CXX
                        VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                        LINK_DEPENDS ${_map})

  set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/qvcomm)
  install(TARGETS qv_shared EXPORT qvcommTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libqvcomm1 NAMELINK_COMPONENT libqvcomm-dev)
  install(EXPORT qvcommTargets NAMESPACE qvcomm:: DESTINATION ${_cmakedir} COMPONENT libqvcomm-dev)
  include(CMakePackageConfigHelpers)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qvcommConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/qvcommConfig.cmake INSTALL_DESTINATION ${_cmakedir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/qvcommConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/qvcommConfig.cmake ${PROJECT_BINARY_DIR}/qvcommConfigVersion.cmake
          DESTINATION ${_cmakedir} COMPONENT libqvcomm-dev)
  set(_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  # Relative to the .pc file, so a staged or moved installation still works.
  file(RELATIVE_PATH QV_PC_PREFIX /${_pcdir} /)
  string(REGEX REPLACE "/$" "" QV_PC_PREFIX "${QV_PC_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qvcomm.pc.in ${PROJECT_BINARY_DIR}/qvcomm.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qvcomm.pc DESTINATION ${_pcdir} COMPONENT libqvcomm-dev)
endfunction()
