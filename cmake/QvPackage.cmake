# The reader as a service, man pages and bash completion made from the help texts, and the
# Debian package (cpack -G DEB in the build folder).

# The systemd template unit; the udev rule and the options file are examples to copy.
install(FILES share/systemd/qvcomm-read@.service DESTINATION lib/systemd/system)
install(FILES share/systemd/70-qvcomm-read.rules share/systemd/COM3.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qvcomm/examples)

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
  set(_man ${_doc}/qvcomm.1.gz)
  if(TARGET qvbarcode)
    add_custom_command(
      OUTPUT ${_doc}/qvbarcode.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_doc}
      COMMAND ${_gen} man $<TARGET_FILE:qvbarcode> ${PROJECT_VERSION}
              "lists the barcodes a scanner sends to a serial port" ${_doc}/qvbarcode.1.gz
      DEPENDS qvbarcode ${PROJECT_SOURCE_DIR}/scripts/docgen.py VERBATIM)
    list(APPEND _docs ${_doc}/qvbarcode.1.gz)
    list(APPEND _man ${_doc}/qvbarcode.1.gz)
  endif()
  add_custom_target(qv_docs ALL DEPENDS ${_docs})
  install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${_doc}/qvcomm.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME qvcomm)
endif()

set(CPACK_PACKAGE_NAME qvcomm)
set(CPACK_PACKAGE_VENDOR qvcomm)
set(CPACK_PACKAGE_CONTACT "qvcomm maintainers <maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port components for Linux and a barcode-scanner program")
set(CPACK_PACKAGE_DESCRIPTION "The qvcomm library (static, with headers, CMake package and \
pkg-config file), the qvcomm command-line tool (ports, mappings, reading, publishing to an MQTT \
broker, a virtual scanner) with its systemd unit, and the qvbarcode program.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mosquitto-clients")
include(CPack)
