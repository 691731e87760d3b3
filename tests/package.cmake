# What a user of the project reads and installs: every export of the
# public header is described in docs/reference.md.
add_test(NAME Docs.ReferenceCoversEveryExport
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_reference.sh
          ${PROJECT_SOURCE_DIR}/include/halvoren_usbip.h ${PROJECT_SOURCE_DIR}/docs/reference.md)
