# What `cmake --install` puts in place, and the Debian package that
# `cpack -G DEB` makes of the same files: the library with its SONAME link,
# the public header alone, a CMake config package, a pkg-config file, the
# command-line host with its systemd units, and the documents.
include(CMakePackageConfigHelpers)

set(USBIP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/halvoren-usbip)
set(USBIP_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/halvoren-usbip)

install(TARGETS halvoren-usbip EXPORT halvoren-usbip-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/halvoren_usbip.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS halvoren-usbip-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# find_package(halvoren-usbip CONFIG) -> halvoren-usbip::halvoren-usbip. The
# library links libusb and Mbed TLS privately, so a consumer needs neither.
install(EXPORT halvoren-usbip-targets
  NAMESPACE halvoren-usbip::
  FILE halvoren-usbip-targets.cmake
  DESTINATION ${USBIP_CMAKE_DIR})
configure_package_config_file(cmake/halvoren-usbip-config.cmake.in
  ${PROJECT_BINARY_DIR}/halvoren-usbip-config.cmake
  INSTALL_DESTINATION ${USBIP_CMAKE_DIR})
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/halvoren-usbip-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/halvoren-usbip-config.cmake
  ${PROJECT_BINARY_DIR}/halvoren-usbip-config-version.cmake
  DESTINATION ${USBIP_CMAKE_DIR})

# pkg-config: the prefix is found from the file's own place, so the same
# file serves an install under any prefix and the Debian package.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(USBIP_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(USBIP_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH usbip_up "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" usbip_up "${usbip_up}")
  set(USBIP_PC_PREFIX "\${pcfiledir}/${usbip_up}")
  set(USBIP_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
configure_file(cmake/halvoren-usbip.pc.in ${PROJECT_BINARY_DIR}/halvoren-usbip.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/halvoren-usbip.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# systemd units, written at install time: their ExecStart names the host
# under the prefix in force then (cpack installs under /usr).
install(CODE "set(USBIP_UNIT_SOURCE_DIR \"${PROJECT_SOURCE_DIR}/packaging/systemd\")
set(USBIP_UNIT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(SCRIPT cmake/install_units.cmake)

install(FILES LICENSE NOTICE README.md CHANGELOG.md DESTINATION ${USBIP_DOC_DIR})
install(DIRECTORY docs/ DESTINATION ${USBIP_DOC_DIR}/docs FILES_MATCHING PATTERN "*.md")

# cpack -G DEB; a project that adds this one as a subdirectory packages
# itself.
if(NOT USBIP_TOP_LEVEL)
  return()
endif()
set(CPACK_PACKAGE_NAME halvoren-usbip)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "halvoren-usbip developers")
set(CPACK_PACKAGE_CONTACT "halvoren-usbip developers <halvoren-usbip@halvoren.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Share USB devices over a network with USB/IP discovery messages")
set(CPACK_PACKAGE_DESCRIPTION "A shared library, libhalvoren-usbip.so, and its command-line host \
halvoren-usbip: list local USB devices, serve them to USB/IP clients (password handshake, \
optional TLS), pair servers and clients through a relay by a six-character code, and list \
remote servers. Includes the C header, a CMake config package, a pkg-config file and systemd \
units for the server and the relay.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Install as under /usr with DESTDIR, so that paths written at install time
# (the units' ExecStart) are the installed ones.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# libusb and Mbed TLS come as dependencies found from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "usb.ids")
include(CPack)
