#!/bin/sh
# The shared library exports exactly the 38 usbip_ functions of the public
# header and nothing else of its own: the dynamic symbols of the .so, or the
# export table of the Windows DLL.
set -eu
lib=$1
expected="usbip_cleanup usbip_client_device_info usbip_client_list_by_code usbip_client_list_remote
usbip_client_pin_fingerprint usbip_client_server_fingerprint usbip_client_set_require_secure
usbip_client_set_timeout usbip_init usbip_last_error usbip_last_error_code usbip_list_local_devices
usbip_local_device_count usbip_local_device_info usbip_next_event usbip_protocol_version
usbip_relay_list_codes usbip_relay_port usbip_relay_set_capacity usbip_relay_set_registration_key
usbip_relay_start usbip_relay_stop usbip_server_list_shared usbip_server_port
usbip_server_register_relay usbip_server_sessions usbip_server_set_forwarding
usbip_server_set_registration_key usbip_server_set_stock_clients usbip_server_share
usbip_server_share_rule usbip_server_start usbip_server_stop usbip_server_unshare
usbip_server_unshare_rule usbip_tls_generate_cert usbip_tls_key_fingerprint usbip_tls_set_key_file"
want=$(echo $expected | tr ' ' '\n' | sort)
case $lib in
  *.dll)
    got=$(x86_64-w64-mingw32-objdump -p "$lib" |
      sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[ *[0-9]+\]/ {print $3}' | sort) ;;
  *)
    got=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort) ;;
esac
if [ "$want" != "$got" ]; then
  echo "exports differ:"
  printf '%s\n' "$want" > /tmp/want.$$; printf '%s\n' "$got" > /tmp/got.$$
  diff /tmp/want.$$ /tmp/got.$$ || true
  rm -f /tmp/want.$$ /tmp/got.$$
  exit 1
fi
echo "38 exports, nothing else"
