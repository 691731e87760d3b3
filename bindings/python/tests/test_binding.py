"""The Python binding against the built library, over loopback."""
import random
import socket

import pytest

import halvoren_usbip as usbip


def free_port():
    # Below the range the system gives outgoing connections, checked free.
    for _ in range(200):
        port = random.randrange(20000, 32000)
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
        return port
    raise RuntimeError("no free port")


@pytest.fixture
def lib():
    library = usbip.Library()
    library.init()
    yield library
    library.cleanup()


def test_version_and_empty_state(lib):
    assert lib.protocol_version() == 0x0111
    assert lib.list_shared() == []
    assert lib.relay_codes() == []
    assert lib.local_device_info(-1) is None


def test_failures_raise_with_the_library_message(lib):
    cases = [
        (lambda: lib.share(""), "Invalid busid provided"),
        (lambda: lib.unshare("1-1"), "Device '1-1' is not shared"),
        (lambda: lib.share_rule("1-1.0"), "Invalid share rule '1-1.0'"),
        (lambda: lib.unshare_rule("046D:C31C"), "Share rule '046d:c31c' is not in force"),
        (lambda: lib.list_remote("127.0.0.1", 0), "Invalid host or port"),
        (lambda: lib.list_by_code("127.0.0.1", 0, "ABCDEF"), "Invalid relay parameters"),
        (lambda: lib.register_relay("127.0.0.1", 0), "Invalid relay host or port"),
    ]
    for call, message in cases:
        with pytest.raises(usbip.UsbipError) as err:
            call()
        assert str(err.value) == message


def test_server_listed_directly_and_through_the_relay(lib):
    server_port, relay_port = free_port(), free_port()
    lib.server_start(server_port, password="pw")
    lib.relay_start(relay_port)
    code = lib.register_relay("127.0.0.1", relay_port, "pw")
    assert len(code) == 6
    assert [c["code"] for c in lib.relay_codes()] == [code]
    assert lib.list_remote("127.0.0.1", server_port, "pw") == []
    assert lib.list_by_code("127.0.0.1", relay_port, code, "pw") == []
    with pytest.raises(usbip.UsbipError, match=r"^Authentication rejected by server \(invalid password\)$"):
        lib.list_by_code("127.0.0.1", relay_port, code, "wrong")
    lib.server_stop()
    lib.relay_stop()
