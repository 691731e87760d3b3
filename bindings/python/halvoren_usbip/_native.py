"""The shared library through ctypes: loading it and one method per export.

:class:`Library` is the thin layer: its methods take Python values, call
one export each and return what it returned (lists and dicts parsed from
the library's JSON). Failures raise the exceptions of :mod:`.errors` with
the library's message. Wrong argument types raise ``TypeError`` before any
call; values are the library's to judge here (the module-level functions
check them too).
"""
import ctypes
import json
import os
from pathlib import Path
from typing import Any, Dict, List, Optional

from .errors import UsbipError, error_for

__all__ = ["Library", "find_library", "LIBRARY_VARIABLE"]

#: The environment variable that names the library file to load.
LIBRARY_VARIABLE = "HALVOREN_USBIP_LIBRARY"
_SONAME = "libhalvoren-usbip.so.0"

_c_int = ctypes.c_int
_c_str = ctypes.c_char_p

_SIGNATURES = {
    "usbip_init": ([], _c_int),
    "usbip_cleanup": ([], None),
    "usbip_last_error": ([], _c_str),
    "usbip_last_error_code": ([], _c_int),
    "usbip_protocol_version": ([], _c_int),
    "usbip_list_local_devices": ([], _c_str),
    "usbip_local_device_count": ([], _c_int),
    "usbip_local_device_info": ([_c_int], _c_str),
    "usbip_server_start": ([_c_int, _c_str, _c_int], _c_int),
    "usbip_server_port": ([], _c_int),
    "usbip_server_stop": ([], None),
    "usbip_server_share": ([_c_str], _c_int),
    "usbip_server_unshare": ([_c_str], _c_int),
    "usbip_server_share_rule": ([_c_str], _c_int),
    "usbip_server_unshare_rule": ([_c_str], _c_int),
    "usbip_server_list_shared": ([], _c_str),
    "usbip_server_register_relay": ([_c_str, _c_int, _c_str], _c_str),
    "usbip_tls_generate_cert": ([], _c_int),
    "usbip_server_set_forwarding": ([_c_int], _c_int),
    "usbip_server_set_stock_clients": ([_c_int], _c_int),
    "usbip_server_set_registration_key": ([_c_str], _c_int),
    "usbip_relay_start": ([_c_int], _c_int),
    "usbip_relay_port": ([], _c_int),
    "usbip_relay_stop": ([], None),
    "usbip_relay_list_codes": ([], _c_str),
    "usbip_relay_set_registration_key": ([_c_str], _c_int),
    "usbip_relay_set_capacity": ([_c_int, _c_int], _c_int),
    "usbip_client_list_remote": ([_c_str, _c_int, _c_str, _c_int], _c_str),
    "usbip_client_device_info": ([_c_str, _c_int, _c_str, _c_str, _c_int], _c_str),
    "usbip_client_list_by_code": ([_c_str, _c_int, _c_str, _c_str], _c_str),
    "usbip_client_set_timeout": ([_c_int], _c_int),
    "usbip_client_set_require_secure": ([_c_int], _c_int),
    "usbip_client_pin_fingerprint": ([_c_str], _c_int),
    "usbip_client_server_fingerprint": ([_c_str, _c_int], _c_str),
    "usbip_tls_set_key_file": ([_c_str], _c_int),
    "usbip_tls_key_fingerprint": ([], _c_str),
    "usbip_next_event": ([_c_int], _c_str),
    "usbip_server_sessions": ([], _c_str),
}


def find_library() -> str:
    """Where the library is: ``$HALVOREN_USBIP_LIBRARY``, else a copy beside
    this package, else the name the system's loader searches for."""
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return named
    here = Path(__file__).resolve().parent
    for candidate in (here / _SONAME, here / "libhalvoren-usbip.so"):
        if candidate.exists():
            return str(candidate)
    # The loader's own search (LD_LIBRARY_PATH, its cache, /usr/lib) finds
    # an installed library by its SONAME.
    return _SONAME


def _text(value: Optional[str], what: str) -> Optional[bytes]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str or None, not {type(value).__name__}")
    return value.encode("utf-8")


def _int(value: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not -(2**31) <= value < 2**31:
        raise ValueError(f"{what} {value} does not fit a 32-bit int")
    return value


def _flag(value: bool, what: str) -> int:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return 1 if value else 0


def _decode(raw: bytes) -> str:
    # The library's texts are UTF-8; a peer's bytes inside a message may not
    # be, and must not turn a failure into a UnicodeDecodeError.
    return raw.decode("utf-8", "replace")


class Library:
    """One loaded copy of the library.

    ``path`` defaults to :func:`find_library`. Loading the same file twice
    gives the same copy: the library's state is per process.
    """

    def __init__(self, path: Optional[str] = None) -> None:
        self.path = path or find_library()
        try:
            self._lib = ctypes.CDLL(self.path)
        except OSError as e:
            raise OSError(
                f"cannot load the halvoren-usbip library '{self.path}': {e}; "
                f"set {LIBRARY_VARIABLE} to its path"
            ) from e
        for name, (args, result) in _SIGNATURES.items():
            fn = getattr(self._lib, name)
            fn.argtypes = args
            fn.restype = result

    # -- helpers ---------------------------------------------------------
    def _error(self) -> UsbipError:
        return error_for(self.last_error_code(), self.last_error())

    def _check(self, rc: int) -> None:
        if rc != 0:
            raise self._error()

    def _json(self, text: Optional[bytes]) -> Any:
        if text is None:
            raise self._error()
        return json.loads(_decode(text))

    # -- lifecycle -------------------------------------------------------
    def init(self) -> None:
        self._check(self._lib.usbip_init())

    def cleanup(self) -> None:
        self._lib.usbip_cleanup()

    def last_error(self) -> str:
        return _decode(self._lib.usbip_last_error())

    def last_error_code(self) -> int:
        return int(self._lib.usbip_last_error_code())

    def protocol_version(self) -> int:
        return int(self._lib.usbip_protocol_version())

    # -- local devices ---------------------------------------------------
    def list_local_devices(self) -> List[Dict[str, str]]:
        return self._json(self._lib.usbip_list_local_devices())

    def local_device_count(self) -> int:
        return int(self._lib.usbip_local_device_count())

    def local_device_info(self, index: int) -> Optional[Dict[str, str]]:
        text = self._lib.usbip_local_device_info(_int(index, "index"))
        return None if text is None else json.loads(_decode(text))

    # -- server ----------------------------------------------------------
    def server_start(self, port: int, password: Optional[str] = None, tls: bool = False) -> None:
        self._check(self._lib.usbip_server_start(_int(port, "port"), _text(password, "password"),
                                                 _flag(tls, "tls")))

    def server_port(self) -> int:
        """The port the running server listens on; 0 when none runs."""
        return int(self._lib.usbip_server_port())

    def server_stop(self) -> None:
        self._lib.usbip_server_stop()

    def share(self, busid: str) -> None:
        self._check(self._lib.usbip_server_share(_text(busid, "busid")))

    def unshare(self, busid: str) -> None:
        self._check(self._lib.usbip_server_unshare(_text(busid, "busid")))

    def share_rule(self, rule: str) -> None:
        self._check(self._lib.usbip_server_share_rule(_text(rule, "rule")))

    def unshare_rule(self, rule: str) -> None:
        self._check(self._lib.usbip_server_unshare_rule(_text(rule, "rule")))

    def list_shared(self) -> List[Dict[str, str]]:
        return self._json(self._lib.usbip_server_list_shared())

    def register_relay(self, host: str, port: int, password: Optional[str] = None) -> str:
        code = self._lib.usbip_server_register_relay(_text(host, "host"), _int(port, "port"),
                                                     _text(password, "password"))
        if code is None:
            raise self._error()
        return _decode(code)

    def generate_cert(self) -> None:
        self._check(self._lib.usbip_tls_generate_cert())

    def set_forwarding(self, enabled: Optional[bool] = None) -> bool:
        """Turns forwarding on or off (``None`` only asks); the setting now in force."""
        value = -1 if enabled is None else _flag(enabled, "enabled")
        return bool(self._lib.usbip_server_set_forwarding(value))

    def set_stock_clients(self, enabled: Optional[bool] = None) -> bool:
        """Turns stock-client mode on or off (``None`` only asks); the setting now in force."""
        value = -1 if enabled is None else _flag(enabled, "enabled")
        return bool(self._lib.usbip_server_set_stock_clients(value))

    def set_registration_key(self, key: Optional[str]) -> None:
        """The key this server presents to relays that ask for one (``None``: none)."""
        self._check(self._lib.usbip_server_set_registration_key(_text(key, "key")))

    # -- relay -----------------------------------------------------------
    def relay_set_registration_key(self, key: Optional[str]) -> None:
        """The key servers must present to register (``None``: an open relay)."""
        self._check(self._lib.usbip_relay_set_registration_key(_text(key, "key")))

    def relay_set_capacity(self, registrations: int, pairings: int) -> None:
        """The relay's table sizes, from its next start."""
        self._check(self._lib.usbip_relay_set_capacity(_int(registrations, "registrations"),
                                                       _int(pairings, "pairings")))

    def relay_start(self, port: int) -> None:
        self._check(self._lib.usbip_relay_start(_int(port, "port")))

    def relay_port(self) -> int:
        """The port the running relay listens on; 0 when none runs."""
        return int(self._lib.usbip_relay_port())

    def relay_stop(self) -> None:
        self._lib.usbip_relay_stop()

    def relay_codes(self) -> List[Dict[str, Any]]:
        return self._json(self._lib.usbip_relay_list_codes())

    # -- events and sessions ---------------------------------------------
    def next_event(self, timeout_ms: int) -> Optional[Dict[str, Any]]:
        """The next event, waiting at most ``timeout_ms`` (negative: until one
        comes or the library is cleaned up); ``None`` when none came."""
        text = self._lib.usbip_next_event(_int(timeout_ms, "timeout_ms"))
        return None if text is None else json.loads(_decode(text))

    def server_sessions(self) -> List[Dict[str, Any]]:
        return self._json(self._lib.usbip_server_sessions())

    # -- client ----------------------------------------------------------
    def list_remote(self, host: str, port: int, password: Optional[str] = None,
                    tls: bool = False) -> List[Dict[str, str]]:
        return self._json(self._lib.usbip_client_list_remote(
            _text(host, "host"), _int(port, "port"), _text(password, "password"), _flag(tls, "tls")))

    def remote_device(self, host: str, port: int, busid: str, password: Optional[str] = None,
                      tls: bool = False) -> Dict[str, str]:
        return self._json(self._lib.usbip_client_device_info(
            _text(host, "host"), _int(port, "port"), _text(busid, "busid"), _text(password, "password"),
            _flag(tls, "tls")))

    def list_by_code(self, relay_host: str, relay_port: int, code: str,
                     password: Optional[str] = None) -> List[Dict[str, str]]:
        return self._json(self._lib.usbip_client_list_by_code(
            _text(relay_host, "relay_host"), _int(relay_port, "relay_port"), _text(code, "code"),
            _text(password, "password")))

    def set_client_timeout(self, ms: int) -> int:
        return int(self._lib.usbip_client_set_timeout(_int(ms, "ms")))

    def set_require_secure(self, required: Optional[bool] = None) -> bool:
        value = -1 if required is None else _flag(required, "required")
        return bool(self._lib.usbip_client_set_require_secure(value))

    def pin_fingerprint(self, fingerprint: Optional[str]) -> None:
        self._check(self._lib.usbip_client_pin_fingerprint(_text(fingerprint, "fingerprint")))

    def server_fingerprint(self, host: str, port: int) -> str:
        text = self._lib.usbip_client_server_fingerprint(_text(host, "host"), _int(port, "port"))
        if text is None:
            raise self._error()
        return _decode(text)

    # -- the server's TLS key --------------------------------------------
    def set_key_file(self, path: Optional[str]) -> None:
        self._check(self._lib.usbip_tls_set_key_file(_text(path, "path")))

    def key_fingerprint(self) -> str:
        text = self._lib.usbip_tls_key_fingerprint()
        if text is None:
            raise self._error()
        return _decode(text)
