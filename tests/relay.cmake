# The relay on its own, and the relay path from a server's registration to a
# client's list by code, in one process and across processes.
usbip_test(usbip_relay_test)

usbip_test(usbip_relay_path_test)
add_dependencies(usbip_relay_path_test halvoren-usbip-cli)
target_compile_definitions(usbip_relay_path_test PRIVATE
  USBIP_CLI_PATH="$<TARGET_FILE:halvoren-usbip-cli>")
