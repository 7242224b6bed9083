# The reader as a service, man pages and bash completion made from the help texts, and the
# Debian packages (cpack -G DEB in the build folder).

# The reader's systemd template unit; the udev rule and the options file are examples to copy.
install(FILES share/systemd/qvcomm-read@.service DESTINATION lib/systemd/system COMPONENT qvcomm)
install(FILES share/systemd/70-qvcomm-read.rules share/systemd/COM3.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qvcomm/examples COMPONENT qvcomm)

# What cmake --install takes from the build folder: scripts/run.sh builds it along with the
# programs, so an install right after works.
add_custom_target(qv_install_parts)
add_dependencies(qv_install_parts qv_shared)
foreach(_t qvcomm qvbarcode)
  if(TARGET ${_t})
    add_dependencies(qv_install_parts ${_t})
  endif()
endforeach()

find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND)
  set(_doc ${PROJECT_BINARY_DIR}/doc)
  set(_gen ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/docgen.py)
  add_custom_command(
    OUTPUT ${_doc}/qvcomm.1.gz ${_doc}/qvcomm.bash
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_doc}
    COMMAND ${_gen} man $<TARGET_FILE:qvcomm> ${PROJECT_VERSION}
            "serial ports, barcode scanners and a virtual scanner from the command line" ${_doc}/qvcomm.1.gz
    COMMAND ${_gen} completion $<TARGET_FILE:qvcomm> ${_doc}/qvcomm.bash
    DEPENDS qvcomm ${PROJECT_SOURCE_DIR}/scripts/docgen.py VERBATIM)
  set(_docs ${_doc}/qvcomm.1.gz ${_doc}/qvcomm.bash)
  install(FILES ${_doc}/qvcomm.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT qvcomm)
  if(TARGET qvbarcode)
    add_custom_command(
      OUTPUT ${_doc}/qvbarcode.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_doc}
      COMMAND ${_gen} man $<TARGET_FILE:qvbarcode> ${PROJECT_VERSION}
              "lists the barcodes a scanner sends to a serial port" ${_doc}/qvbarcode.1.gz
      DEPENDS qvbarcode ${PROJECT_SOURCE_DIR}/scripts/docgen.py VERBATIM)
    list(APPEND _docs ${_doc}/qvbarcode.1.gz)
    install(FILES ${_doc}/qvbarcode.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT qvbarcode)
  endif()
  add_custom_target(qv_docs ALL DEPENDS ${_docs})
  add_dependencies(qv_install_parts qv_docs)
  install(FILES ${_doc}/qvcomm.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME qvcomm COMPONENT qvcomm)
endif()

# The Debian packages (cpack -G DEB in the build folder), one per component:
#   qvcomm         the command-line tool, its units and udev rule (no Qt)
#   qvbarcode      the program, with Qt's SVG plugins for its icons
#   libqvcomm1     the shared library
#   libqvcomm-dev  headers, CMake package, pkg-config file
# Each gets the copyright file and the Debian changelog (share/debian/); the binaries are
# stripped into -dbgsym packages, their dependencies found by dpkg-shlibdeps.
set(_components qvcomm libqvcomm1 libqvcomm-dev)
if(TARGET qvbarcode)
  list(APPEND _components qvbarcode)
endif()
set(_debian ${PROJECT_SOURCE_DIR}/share/debian)
# The changelog compressed as Debian ships it: no name, no time stamp.
execute_process(COMMAND gzip -9nc ${_debian}/changelog OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.Debian.gz
                COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_debian}/changelog)
# lintian's overrides: these packages are not uploaded to Debian, so the first changelog entry
# closes no bug of Debian's; libqvcomm1's maintainer scripts are empty on purpose (above).
foreach(_c ${_components})
  install(FILES ${_debian}/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_c} COMPONENT ${_c})
  set(_overrides "${_c}: initial-upload-closes-no-bugs *\n")
  if(_c STREQUAL "libqvcomm1")
    string(APPEND _overrides "${_c}: maintainer-script-empty *\n")
  endif()
  file(WRITE ${PROJECT_BINARY_DIR}/lintian/${_c} "${_overrides}")
  install(FILES ${PROJECT_BINARY_DIR}/lintian/${_c} DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          COMPONENT ${_c})
endforeach()

set(CPACK_PACKAGE_NAME qvcomm)
set(CPACK_PACKAGE_VENDOR qvcomm)
set(CPACK_PACKAGE_CONTACT "qvcomm maintainers <maintainers@qvcomm.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port components for Linux and a barcode-scanner program")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://qvcomm.example.org/")
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
# The DEB generator strips the binaries itself when it moves their symbols into the -dbgsym
# packages (CPACK_STRIP_FILES would strip them before, leaving it nothing to move).
set(CPACK_STRIP_FILES OFF)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/QvDebugSymbols.cmake)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE qvcomm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file of libqvcomm1: programs built against 1.0.0-1 need at least that.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(_version "${PROJECT_VERSION}-1")

set(CPACK_DEBIAN_QVCOMM_PACKAGE_NAME qvcomm)
set(CPACK_DEBIAN_QVCOMM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QVCOMM_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_QVCOMM_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_QVCOMM_PACKAGE_SUGGESTS "mosquitto-clients")
set(CPACK_DEBIAN_QVCOMM_PACKAGE_CONTROL_EXTRA ${_debian}/qvcomm/postinst ${_debian}/qvcomm/postrm)
set(CPACK_DEBIAN_QVCOMM_DESCRIPTION "serial ports and barcode scanners from the command line
 qvcomm lists serial ports, maps devices (terminals, null-modem pairs,
 network ports) to COM numbers, reads barcodes from a scanner and publishes
 them to an MQTT broker (also as a systemd service per port), types them into
 the desktop session through a virtual keyboard, and simulates a scanner on a
 pseudo-terminal.")

set(CPACK_DEBIAN_QVBARCODE_PACKAGE_NAME qvbarcode)
set(CPACK_DEBIAN_QVBARCODE_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QVBARCODE_DEBUGINFO_PACKAGE ON)
# Qt loads the SVG plugins (the icons) by itself: no link names them.
set(CPACK_DEBIAN_QVBARCODE_PACKAGE_DEPENDS "libqt6svg6")
set(CPACK_DEBIAN_QVBARCODE_PACKAGE_RECOMMENDS "qvcomm")
set(CPACK_DEBIAN_QVBARCODE_DESCRIPTION "barcode scanner program for serial ports
 qvbarcode lists the barcodes a scanner sends to a serial port, with the
 port's settings in a dialog and a log file of what was read.")

set(CPACK_DEBIAN_LIBQVCOMM1_PACKAGE_NAME libqvcomm1)
set(CPACK_DEBIAN_LIBQVCOMM1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBQVCOMM1_DEBUGINFO_PACKAGE ON)
# The dynamic loader's cache is renewed by dpkg's ldconfig trigger; the maintainer scripts are
# given so that the DEB generator does not write ones that call ldconfig.
set(CPACK_DEBIAN_LIBQVCOMM1_PACKAGE_CONTROL_EXTRA ${_debian}/libqvcomm1/triggers
    ${_debian}/libqvcomm1/postinst ${_debian}/libqvcomm1/postrm)
set(CPACK_DEBIAN_LIBQVCOMM1_DESCRIPTION "serial-port communication components (shared library)
 The qvcomm library: a serial API over terminals, null-modem pairs and
 network ports, the event-driven port component, a barcode-scanner component
 and a file log.")

set(CPACK_DEBIAN_LIBQVCOMM-DEV_PACKAGE_NAME libqvcomm-dev)
set(CPACK_DEBIAN_LIBQVCOMM-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBQVCOMM-DEV_PACKAGE_DEPENDS "libqvcomm1 (= ${_version})")
set(CPACK_DEBIAN_LIBQVCOMM-DEV_DESCRIPTION "serial-port communication components (development files)
 The headers of the qvcomm library, its CMake package (find_package(qvcomm))
 and its pkg-config file (pkg-config qvcomm).")
include(CPack)
