#!/usr/bin/env python3
"""A minimal host of halvoren-usbip in Python: it shares the first local USB
device (if the machine has one), serves it with a password, runs a relay in
the same process, registers the server with it, and lists the shared devices
back twice: directly and through the relay by pairing code.

    usage: python_host.py [SERVER_PORT [RELAY_PORT]]   (3240 and 3241 by default)
"""
import sys

import halvoren_usbip as usbip

PASSWORD = "example-password"


def main() -> int:
    server_port = int(sys.argv[1]) if len(sys.argv) > 1 else 3240
    relay_port = int(sys.argv[2]) if len(sys.argv) > 2 else 3241
    print(f"halvoren-usbip {usbip.__version__}, USB/IP version {usbip.protocol_version():04x}")

    local = usbip.list_local()
    for d in local:
        print(f"local device: {d.busid} {d.vid:04x}:{d.pid:04x} {d.product} ({d.speed}, {d.device_class})")
    share = [local[0].busid] if local else []

    with usbip.Relay(relay_port), usbip.Server(server_port, password=PASSWORD, share=share) as server:
        print("shared:", ", ".join(d.busid for d in server.shared()) or "nothing")
        code = server.register_relay("127.0.0.1", relay_port)
        print("pairing code:", code)
        direct = usbip.list_remote("127.0.0.1", server_port, password=PASSWORD)
        by_code = usbip.list_by_code("127.0.0.1", relay_port, code.lower(), password=PASSWORD)
        print("listed directly:", direct)
        print("listed by code: ", by_code)
        try:
            usbip.list_remote("127.0.0.1", server_port, password="not-the-password")
        except usbip.AuthenticationError as e:
            print("a wrong password is refused:", e)

    same = direct == by_code and [d.busid for d in direct] == share
    print("the same list both ways" if same else "the lists differ")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
