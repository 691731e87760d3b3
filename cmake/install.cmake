# What `cmake --install` puts in place (and the Debian packages, which
# packaging/debian builds from the same rules): the library with its SONAME
# link, the public header alone, a CMake config package, a pkg-config file,
# the command-line host with its manual page and systemd units, and the
# documents.
include(CMakePackageConfigHelpers)

option(USBIP_RELOCATABLE_PC
  "pkg-config file that finds its prefix from its own place (OFF: the install prefix written out)" ON)
set(USBIP_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where the systemd units go: below the install prefix, or an absolute path")

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

# pkg-config: by default the prefix is found from the file's own place, so
# that the same file serves an install under any prefix; a distribution's
# package writes the prefix out.
if(NOT USBIP_RELOCATABLE_PC)
  set(USBIP_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(USBIP_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
  else()
    set(USBIP_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  endif()
elseif(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
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

# The manual page, made by the build from the commands' option tables
# (not in a cross build).
if(USBIP_MAN_PAGE)
  install(FILES ${USBIP_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# systemd units, written at install time: their ExecStart names the host
# under the prefix in force then.
install(CODE "set(USBIP_UNIT_SOURCE_DIR \"${PROJECT_SOURCE_DIR}/packaging/systemd\")
set(USBIP_UNIT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
set(USBIP_UNIT_DIR \"${USBIP_SYSTEMD_UNIT_DIR}\")")
install(SCRIPT cmake/install_units.cmake)

install(FILES LICENSE NOTICE README.md CHANGELOG.md DESTINATION ${USBIP_DOC_DIR})
install(DIRECTORY docs/ DESTINATION ${USBIP_DOC_DIR}/docs FILES_MATCHING PATTERN "*.md")
