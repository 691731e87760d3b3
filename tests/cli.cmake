# The command-line host: its helpers directly, and the program as a process.
usbip_test(cli_test)
target_link_libraries(cli_test PRIVATE usbip_cli_support)
add_dependencies(cli_test halvoren-usbip-cli)
target_compile_definitions(cli_test PRIVATE
  CLI_PATH="$<TARGET_FILE:halvoren-usbip-cli>"
  UMOCKDEV_RUN="${UMOCKDEV_RUN}"
  DEMO_DEVICES="${CMAKE_CURRENT_SOURCE_DIR}/data/demo.umockdev"
  USB_IDS_FIXTURE="${CMAKE_CURRENT_SOURCE_DIR}/data/usb.ids")
