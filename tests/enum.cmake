# The local inventory against real libusb on emulated devices: one process
# per device file, run under umockdev-run. Never discovered with
# gtest_discover_tests: outside umockdev the suites would see the machine's
# own devices.
find_program(UMOCKDEV_RUN umockdev-run REQUIRED)

add_executable(usbip_enum_usb_test usbip_enum_usb_test.cpp)
target_link_libraries(usbip_enum_usb_test PRIVATE usbip_testlib GTest::gtest_main)

# usbip_enum_suite(SUITE PROGRAM LAUNCHER...): one CTest test that runs the
# suite's cases of PROGRAM behind LAUNCHER. A filter that selects nothing
# makes gtest report "0 tests" and exit 0: that fails here, as a skip does.
function(usbip_enum_suite suite program)
  add_test(NAME ${suite} COMMAND ${ARGN} $<TARGET_FILE:${program}> --gtest_filter=${suite}.*)
  set_tests_properties(${suite} PROPERTIES
    ENVIRONMENT "${USBIP_TEST_ENV}"
    TIMEOUT 120
    FAIL_REGULAR_EXPRESSION "\\[ +PASSED +\\] 0 tests;\\[ +SKIPPED +\\]")
endfunction()

set(data ${CMAKE_CURRENT_SOURCE_DIR}/data)
usbip_enum_suite(EnumMixed usbip_enum_usb_test ${UMOCKDEV_RUN} --device ${data}/mixed.umockdev --)
usbip_enum_suite(EnumNoConfig usbip_enum_usb_test ${UMOCKDEV_RUN} --device ${data}/no-config.umockdev --)
usbip_enum_suite(EnumMany usbip_enum_usb_test ${UMOCKDEV_RUN} --device ${data}/many.umockdev --)
usbip_enum_suite(EnumDemo usbip_enum_usb_test ${UMOCKDEV_RUN} --device ${data}/demo.umockdev --)
usbip_enum_suite(EnumEmpty usbip_enum_usb_test ${UMOCKDEV_RUN} --)

# String descriptors, and devices that come and go: the program holds the
# testbed itself (libumockdev) and answers the devices' control transfers.
pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)
add_executable(usbip_enum_testbed_test usbip_enum_testbed_test.cpp)
target_link_libraries(usbip_enum_testbed_test PRIVATE usbip_testlib GTest::gtest_main PkgConfig::UMOCKDEV)

usbip_enum_suite(EnumStrings usbip_enum_testbed_test ${UMOCKDEV_WRAPPER})
usbip_enum_suite(EnumRefresh usbip_enum_testbed_test ${UMOCKDEV_WRAPPER})
