"""ctypes binding of libhalvoren-usbip.

Results come back as Python values (lists and dicts parsed from the
library's JSON); failures raise UsbipError with the library's message.

    import halvoren_usbip as usbip
    lib = usbip.Library()          # finds libhalvoren-usbip.so, or give a path
    lib.init()
    print(lib.list_local_devices())
    lib.cleanup()

The library's threads report nothing to Python: every call blocks the
calling thread until it is done.
"""
import ctypes
import ctypes.util
import json
import os

__all__ = ["Library", "UsbipError"]


class UsbipError(RuntimeError):
    """A failed call; the message is the library's own."""


_SIGNATURES = {
    "usbip_init": ([], ctypes.c_int),
    "usbip_cleanup": ([], None),
    "usbip_last_error": ([], ctypes.c_char_p),
    "usbip_protocol_version": ([], ctypes.c_int),
    "usbip_list_local_devices": ([], ctypes.c_char_p),
    "usbip_local_device_count": ([], ctypes.c_int),
    "usbip_local_device_info": ([ctypes.c_int], ctypes.c_char_p),
    "usbip_server_start": ([ctypes.c_int, ctypes.c_char_p, ctypes.c_int], ctypes.c_int),
    "usbip_server_stop": ([], None),
    "usbip_server_share": ([ctypes.c_char_p], ctypes.c_int),
    "usbip_server_unshare": ([ctypes.c_char_p], ctypes.c_int),
    "usbip_server_list_shared": ([], ctypes.c_char_p),
    "usbip_server_register_relay": ([ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p], ctypes.c_char_p),
    "usbip_tls_generate_cert": ([], ctypes.c_int),
    "usbip_relay_start": ([ctypes.c_int], ctypes.c_int),
    "usbip_relay_stop": ([], None),
    "usbip_relay_list_codes": ([], ctypes.c_char_p),
    "usbip_client_list_remote": ([ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int], ctypes.c_char_p),
    "usbip_client_device_info": (
        [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int], ctypes.c_char_p),
    "usbip_client_list_by_code": (
        [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p], ctypes.c_char_p),
    "usbip_client_set_timeout": ([ctypes.c_int], ctypes.c_int),
}


def _bytes(text):
    return None if text is None else text.encode("utf-8")


class Library:
    """One loaded copy of the library."""

    def __init__(self, path=None):
        path = path or os.environ.get("HALVOREN_USBIP_LIBRARY") or ctypes.util.find_library("halvoren-usbip")
        if not path:
            raise OSError("libhalvoren-usbip not found: pass its path or set HALVOREN_USBIP_LIBRARY")
        self._lib = ctypes.CDLL(path)
        for name, (args, result) in _SIGNATURES.items():
            fn = getattr(self._lib, name)
            fn.argtypes = args
            fn.restype = result

    # -- helpers ---------------------------------------------------------
    def _error(self):
        return UsbipError(self._lib.usbip_last_error().decode("utf-8", "replace"))

    def _check(self, rc):
        if rc != 0:
            raise self._error()

    def _json(self, text):
        if text is None:
            raise self._error()
        return json.loads(text.decode("utf-8"))

    # -- lifecycle -------------------------------------------------------
    def init(self):
        self._check(self._lib.usbip_init())

    def cleanup(self):
        self._lib.usbip_cleanup()

    def last_error(self):
        return self._lib.usbip_last_error().decode("utf-8", "replace")

    def protocol_version(self):
        return self._lib.usbip_protocol_version()

    # -- local devices ---------------------------------------------------
    def list_local_devices(self):
        return self._json(self._lib.usbip_list_local_devices())

    def local_device_count(self):
        return self._lib.usbip_local_device_count()

    def local_device_info(self, index):
        text = self._lib.usbip_local_device_info(index)
        return None if text is None else json.loads(text.decode("utf-8"))

    # -- server ----------------------------------------------------------
    def server_start(self, port, password=None, tls=False):
        self._check(self._lib.usbip_server_start(port, _bytes(password), 1 if tls else 0))

    def server_stop(self):
        self._lib.usbip_server_stop()

    def share(self, busid):
        self._check(self._lib.usbip_server_share(_bytes(busid)))

    def unshare(self, busid):
        self._check(self._lib.usbip_server_unshare(_bytes(busid)))

    def list_shared(self):
        return self._json(self._lib.usbip_server_list_shared())

    def register_relay(self, host, port, password=None):
        code = self._lib.usbip_server_register_relay(_bytes(host), port, _bytes(password))
        if code is None:
            raise self._error()
        return code.decode("ascii")

    def generate_cert(self):
        self._check(self._lib.usbip_tls_generate_cert())

    # -- relay -----------------------------------------------------------
    def relay_start(self, port):
        self._check(self._lib.usbip_relay_start(port))

    def relay_stop(self):
        self._lib.usbip_relay_stop()

    def relay_codes(self):
        return self._json(self._lib.usbip_relay_list_codes())

    # -- client ----------------------------------------------------------
    def list_remote(self, host, port, password=None, tls=False):
        return self._json(self._lib.usbip_client_list_remote(_bytes(host), port, _bytes(password), 1 if tls else 0))

    def remote_device(self, host, port, busid, password=None, tls=False):
        return self._json(self._lib.usbip_client_device_info(
            _bytes(host), port, _bytes(busid), _bytes(password), 1 if tls else 0))

    def list_by_code(self, relay_host, relay_port, code, password=None):
        return self._json(self._lib.usbip_client_list_by_code(
            _bytes(relay_host), relay_port, _bytes(code), _bytes(password)))

    def set_client_timeout(self, ms):
        return self._lib.usbip_client_set_timeout(ms)
