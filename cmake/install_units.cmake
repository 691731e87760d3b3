# Install step: writes the systemd units with the host's installed path in
# ExecStart. USBIP_UNIT_SOURCE_DIR, USBIP_UNIT_BINDIR and USBIP_UNIT_DIR
# (below the prefix, or absolute) are set by the install rule before this
# script runs.
set(USBIP_BINDIR "${CMAKE_INSTALL_PREFIX}/${USBIP_UNIT_BINDIR}")
if(IS_ABSOLUTE "${USBIP_UNIT_DIR}")
  set(unit_dir "${USBIP_UNIT_DIR}")
else()
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/${USBIP_UNIT_DIR}")
endif()
foreach(unit halvoren-usbip-serve.service halvoren-usbip-relay.service)
  file(READ "${USBIP_UNIT_SOURCE_DIR}/${unit}.in" text)
  string(REPLACE "@BINDIR@" "${USBIP_BINDIR}" text "${text}")
  set(dest "$ENV{DESTDIR}${unit_dir}")
  message(STATUS "Installing: ${dest}/${unit}")
  file(MAKE_DIRECTORY "${dest}")
  file(WRITE "${dest}/${unit}" "${text}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${dest}/${unit}")
endforeach()
