# The suites of the Windows build, run under Wine (the toolchain file makes
# Wine the emulator of every test program).
#
# Left out on Windows, and why:
# - usbip_enum_usb_test, usbip_enum_testbed_test: they test the inventory
#   against real libusb on devices that umockdev emulates, which exists for
#   Linux only. Under Wine libusb finds no device; Lifecycle.* in usbip_test
#   checks that the library works without any. (usbip_server_test runs on a
#   stand-in libusb instead: what it tests is the server.)
# - usbip_e2e_test: its devices come from umockdev-run, and its descriptor
#   case is about POSIX descriptor numbers above 1023 (Winsock handles have
#   no such limit). The command-line host runs across systems in
#   scripts/interop.sh instead.
# - Wireshark.* (usbip_protocol_test), Tls.OpenSslSeesTheCertificateAndTheNewestVersionWithX25519,
#   Tls.EachGenerationMakesANewCertificateAndStartsTheLayerAlone, Tls.OpenSslIsRefusedStaticRsaAndCbc
#   and Tls.OpenSslAgreesOnTheKeyFingerprint (usbip_tls_test): they run Linux programs (tshark, openssl) as peers; the
#   bytes and the certificate come from code that no platform difference
#   touches, and the Linux run checks them.
# - RelayPath.CommandLineHostsAcrossProcesses (usbip_relay_path_test): it
#   stops the command-line hosts with Ctrl-C from the test program, which
#   needs a console that programs started by CTest under Wine do not have.
#   scripts/interop.sh runs the same hosts and stops them with Ctrl-C (a
#   SIGINT, which Wine hands to the console handler).
# - Fuzz.client_session.Corpus: the target talks over a POSIX socket pair
#   (fuzz/CMakeLists.txt); the codecs' corpora replay under Wine.
# - Python.Binding: the binding loads the library of a Linux build.
# - usbip_scale_test: it raises the POSIX descriptor limit for thousands of
#   connections; the listener it exercises is tested by usbip_listener_test.
# - usbip_relay_load_test: its devices answer URBs through umockdev.
# - Forward.ClaimsAndTheirRefusals, Forward.StandardRequestsReachTheDeviceThroughTheirCalls
#   (usbip_forward_test): they check how libusb detaches and re-attaches
#   kernel drivers and how it changes configurations on Linux, which
#   Windows' libusb does not do. Forward.WiresharkReadsAForwardedExchange
#   runs tshark.
# - Fuzz.server_session.Corpus, Fuzz.relay_client.Corpus: POSIX socket
#   pairs, as client_session.

set(USBIP_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's googletest package)")
set(USBIP_NLOHMANN_INCLUDE /usr/include/nlohmann CACHE PATH "nlohmann/json's headers (header-only)")
include(GoogleTest)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${USBIP_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# nlohmann/json alone, without the rest of the machine's /usr/include.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/third_party/include)
file(CREATE_LINK ${USBIP_NLOHMANN_INCLUDE} ${CMAKE_BINARY_DIR}/third_party/include/nlohmann SYMBOLIC)
add_library(usbip_nlohmann INTERFACE)
target_include_directories(usbip_nlohmann SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/third_party/include)

add_library(usbip_testlib STATIC support/test_support.cpp support/test_support_win32.cpp support/tcp_tap.cpp)
target_include_directories(usbip_testlib PUBLIC support)
target_link_libraries(usbip_testlib PUBLIC usbip_static gtest usbip_nlohmann)

# Paths that Windows programs see: Wine shows the machine's / as drive Z:.
set(win_bin "Z:${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")

# usbip_wine_test(NAME [EXCLUDE case...] [SERIAL case...]): a test program
# of the module, every case a CTest test of its own, as on Linux: each case
# runs in a Wine process of its own, so that no case sees what another left
# behind. Cases that SERIAL names measure time and run alone, as on Linux.
# Discovery runs when the tests do (under Wine too).
function(usbip_wine_test name)
  cmake_parse_arguments(arg "" "" "EXCLUDE;SERIAL" ${ARGN})
  add_executable(${name} ${name}.cpp)
  target_link_libraries(${name} PRIVATE usbip_testlib gtest_main)
  set(common DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
  set(excluded)
  if(arg_EXCLUDE)
    list(JOIN arg_EXCLUDE ":" excluded)
  endif()
  if(arg_SERIAL)
    list(JOIN arg_SERIAL ":" serial)
    set(others "-${serial}")
    if(excluded)
      set(others "-${serial}:${excluded}")
      set(serial "${serial}-${excluded}")
    endif()
    gtest_discover_tests(${name} ${common} TEST_FILTER "${others}" PROPERTIES TIMEOUT 120)
    gtest_discover_tests(${name} ${common} TEST_FILTER "${serial}" PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
  elseif(excluded)
    gtest_discover_tests(${name} ${common} TEST_FILTER "-${excluded}" PROPERTIES TIMEOUT 120)
  else()
    gtest_discover_tests(${name} ${common} PROPERTIES TIMEOUT 120)
  endif()
endfunction()

usbip_wine_test(usbip_test)
usbip_wine_test(usbip_platform_test SERIAL PlatformSockets.RefusedConnectIsReported PlatformWake.*)
# Under Wine a close with a zero linger ends the connection with a FIN, not
# a reset (seen on the wire), so the reset case cannot be made there.
usbip_wine_test(usbip_pump_test EXCLUDE Cases/PumpEnds.WithTheRightReasonAndSoon/ResetOnTheSecondSide
  SERIAL Cases/PumpEnds.*)
usbip_wine_test(usbip_enum_test)
usbip_wine_test(usbip_protocol_test EXCLUDE Wireshark.*)
usbip_wine_test(usbip_auth_test)
usbip_wine_test(usbip_spake2_test)
usbip_wine_test(usbip_secure_auth_test)
usbip_wine_test(usbip_tls_test EXCLUDE
  Tls.OpenSslSeesTheCertificateAndTheNewestVersionWithX25519 Tls.EachGenerationMakesANewCertificateAndStartsTheLayerAlone
  Tls.OpenSslIsRefusedStaticRsaAndCbc Tls.OpenSslAgreesOnTheKeyFingerprint)
usbip_wine_test(usbip_client_test)
usbip_wine_test(usbip_limits_test)
usbip_wine_test(usbip_listener_test)
usbip_wine_test(usbip_urb_test)
usbip_wine_test(usbip_forward_engine_test)
target_sources(usbip_forward_engine_test PRIVATE support/fake_usb_device.cpp)
usbip_wine_test(usbip_attack_test SERIAL *)
usbip_wine_test(usbip_relay_test SERIAL RelayLifecycle.* RelayPairing.* RelayRegistration.OneThatNeverReadsDelaysNoOther
  RelayBridge.SilentAndStalledBridgesEndAtTheIdleLimit)
usbip_wine_test(usbip_relay_path_test EXCLUDE RelayPath.CommandLineHostsAcrossProcesses
  SERIAL RelayRegister.SilentRelayRunsOutAfterFiveSeconds RelayWorker.*)
add_dependencies(usbip_relay_path_test halvoren-usbip-cli)
target_compile_definitions(usbip_relay_path_test PRIVATE USBIP_CLI_PATH="${win_bin}/halvoren-usbip.exe")

# The server's suite on devices of a stand-in libusb-1.0.dll (umockdev's
# place on Linux): the program and the stand-in live in a folder of their
# own, where Windows finds the stand-in first.
set(fake_usb_dir ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/fake-usb)
add_library(usbip_fake_libusb SHARED support/fake_libusb_win32.c)
target_include_directories(usbip_fake_libusb PRIVATE ${LIBUSB_INCLUDE_DIRS} support)
set_target_properties(usbip_fake_libusb PROPERTIES OUTPUT_NAME usb-1.0 PREFIX lib
  RUNTIME_OUTPUT_DIRECTORY ${fake_usb_dir} ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fake-usb)
usbip_wine_test(usbip_server_test)
target_sources(usbip_server_test PRIVATE support/testbed_win32.cpp support/testbed_common.cpp)
set_target_properties(usbip_server_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${fake_usb_dir})
add_dependencies(usbip_server_test usbip_fake_libusb)

# The forwarding engine over libusb, on the stand-in's URB device: its
# asynchronous transfers and event handling as Windows' libusb gives them.
usbip_wine_test(usbip_forward_test EXCLUDE Forward.ClaimsAndTheirRefusals
  Forward.StandardRequestsReachTheDeviceThroughTheirCalls Forward.WiresharkReadsAForwardedExchange)
target_sources(usbip_forward_test PRIVATE support/testbed_win32.cpp support/testbed_common.cpp
  support/urb_device_win32.cpp support/urb_device_common.cpp support/urb_client.cpp)
set_target_properties(usbip_forward_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${fake_usb_dir})
add_dependencies(usbip_forward_test usbip_fake_libusb)

# The DLL as a host sees it: its exports, its header from C, and loading
# and unloading it.
add_test(NAME Abi.Exports COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.sh $<TARGET_FILE:halvoren-usbip>)
add_executable(c_api_test c_api_test.c)
target_link_libraries(c_api_test PRIVATE halvoren-usbip)
add_test(NAME Abi.HeaderFromC COMMAND c_api_test)
add_executable(usbip_unload_test usbip_unload_test.cpp support/test_support.cpp support/test_support_win32.cpp)
target_include_directories(usbip_unload_test PRIVATE support ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(usbip_unload_test PRIVATE gtest_main ws2_32)
add_dependencies(usbip_unload_test halvoren-usbip)
target_compile_definitions(usbip_unload_test PRIVATE LIBRARY_PATH="${win_bin}/halvoren-usbip.dll")
# The host lives beside the stand-in libusb-1.0.dll, whose URB device it
# forwards in its forwarding case.
add_executable(exit_host exit_host.cpp exit_host_forward_win32.cpp support/test_support.cpp
  support/test_support_win32.cpp)
target_include_directories(exit_host PRIVATE support)
target_link_libraries(exit_host PRIVATE gtest ws2_32)
set_target_properties(exit_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${fake_usb_dir})
add_dependencies(exit_host usbip_fake_libusb)
add_dependencies(usbip_unload_test exit_host)
target_compile_definitions(usbip_unload_test PRIVATE EXIT_HOST_PATH="${win_bin}/fake-usb/exit_host.exe"
  FORWARDING_LAUNCHER="")
add_test(NAME usbip_unload_test COMMAND usbip_unload_test)
set_tests_properties(usbip_unload_test PROPERTIES TIMEOUT 120)
