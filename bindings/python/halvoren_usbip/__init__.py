"""halvoren-usbip from Python: share USB devices over a network with the
discovery messages of USB/IP.

    import halvoren_usbip as usbip

    for device in usbip.list_local():
        print(device.busid, hex(device.vid), device.product)

    with usbip.Relay(3241) as relay, usbip.Server(3240, password="pw", share=["1-2"]) as server:
        code = server.register_relay("127.0.0.1", 3241, password="pw")
        print(usbip.list_remote("127.0.0.1", 3240, password="pw"))
        print(usbip.list_by_code("127.0.0.1", 3241, code, password="pw"))

The library is found through ``$HALVOREN_USBIP_LIBRARY``, beside this
package, or on the system's library path, and started on first use. Every
call blocks the calling thread until it is done and may be made from any
thread: results and error messages are kept per thread by the library.
Failures raise :class:`UsbipError` subclasses (see :mod:`.errors`); wrong
argument types raise ``TypeError`` and bad values ``ValueError`` before
the library is called.

The process holds one server and one relay: :class:`Server` and
:class:`Relay` refuse to start a second while one runs.
"""
import atexit
import threading
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional

from ._native import LIBRARY_VARIABLE, Library, find_library
from .errors import (
    AuthenticationError,
    ConnectError,
    NotFoundError,
    RelayError,
    TimeoutError,
    UsbipError,
    error_for,
)

__version__ = "0.1.0"

__all__ = [
    "__version__",
    "Device",
    "RelayCode",
    "Server",
    "Relay",
    "protocol_version",
    "list_local",
    "list_remote",
    "device_info",
    "list_by_code",
    "set_client_timeout",
    "library",
    "Library",
    "find_library",
    "LIBRARY_VARIABLE",
    "UsbipError",
    "AuthenticationError",
    "ConnectError",
    "TimeoutError",
    "NotFoundError",
    "RelayError",
    "error_for",
]


# ---------------------------------------------------------------------------
# Values


@dataclass(frozen=True)
class Device:
    """One USB device, local or remote.

    ``vid`` and ``pid`` are the vendor and product ids as integers.
    ``vendor`` and ``product`` are the device's own names, or stand-ins such
    as ``"Vendor_0x046d"`` when it gave none (always for remote devices).
    ``speed`` is "low", "full", "high", "super", "wireless" or "unknown";
    ``device_class`` the class in words ("hid", "mass-storage", ...).
    """

    busid: str
    vid: int
    pid: int
    vendor: str
    product: str
    speed: str
    device_class: str

    @classmethod
    def from_json(cls, obj: Dict[str, str]) -> "Device":
        return cls(
            busid=obj["busid"],
            vid=int(obj["vid"], 16),
            pid=int(obj["pid"], 16),
            vendor=obj["vendor"],
            product=obj["product"],
            speed=obj["speed"],
            device_class=obj["class"],
        )


@dataclass(frozen=True)
class RelayCode:
    """One server registered with the relay: its pairing code, whether the
    registration is active, and how many clients asked for it so far."""

    code: str
    active: bool
    clients: int


# ---------------------------------------------------------------------------
# The library, loaded and started once per process

_lock = threading.Lock()
_library: Optional[Library] = None


def library() -> Library:
    """The process's :class:`Library`, loaded on first use, started (again,
    should a host have called ``cleanup``) and cleaned up when the
    interpreter exits."""
    global _library
    with _lock:
        if _library is None:
            lib = Library()
            atexit.register(lib.cleanup)
            _library = lib
        lib = _library
    # Cheap once started: the library only checks its flag.
    lib.init()
    return lib


# ---------------------------------------------------------------------------
# Argument checks: done in Python so that a mistake never reaches the library


def _text(value: Any, what: str, *, empty_ok: bool = False) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if not value and not empty_ok:
        raise ValueError(f"{what} must not be empty")
    if "\0" in value:
        raise ValueError(f"{what} must not contain NUL characters")
    return value


def _password(value: Any) -> Optional[str]:
    if value is None:
        return None
    return _text(value, "password", empty_ok=True) or None


def _port(value: Any, what: str = "port") -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not 1 <= value <= 65535:
        raise ValueError(f"{what} {value} is out of range: a port is 1 to 65535")
    return value


def _flag(value: Any, what: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return value


_CODE_CHARS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")


def _code(value: Any) -> str:
    code = _text(value, "code").upper()
    # Codes are ASCII letters and digits, handed out in capitals; the case a
    # person typed does not matter.
    if not set(code) <= _CODE_CHARS or len(code) > 15:
        raise ValueError(f"code {value!r} is not a pairing code: it holds up to 15 ASCII letters and digits")
    return code


def _devices(objects: List[Dict[str, str]]) -> List[Device]:
    return [Device.from_json(o) for o in objects]


# ---------------------------------------------------------------------------
# Module functions


def protocol_version() -> int:
    """The USB/IP protocol version the library speaks (0x0111)."""
    return library().protocol_version()


def list_local() -> List[Device]:
    """This machine's USB devices, enumerated afresh (at most 64)."""
    return _devices(library().list_local_devices())


def list_remote(host: str, port: int, password: Optional[str] = None, tls: bool = False) -> List[Device]:
    """The devices that the server at ``host``:``port`` shares."""
    args = (_text(host, "host"), _port(port), _password(password), _flag(tls, "tls"))
    return _devices(library().list_remote(*args))


def device_info(host: str, port: int, busid: str, password: Optional[str] = None, tls: bool = False) -> Device:
    """One shared device of the server at ``host``:``port``, by exact bus id;
    :class:`NotFoundError` when the server does not share it."""
    args = (_text(host, "host"), _port(port), _text(busid, "busid"), _password(password), _flag(tls, "tls"))
    return Device.from_json(library().remote_device(*args))


def list_by_code(relay_host: str, relay_port: int, code: str, password: Optional[str] = None) -> List[Device]:
    """The devices of the server that holds pairing ``code`` (any letter
    case) on the relay at ``relay_host``:``relay_port``. This path never
    uses TLS."""
    args = (_text(relay_host, "relay_host"), _port(relay_port, "relay_port"), _code(code), _password(password))
    return _devices(library().list_by_code(*args))


def set_client_timeout(ms: int) -> int:
    """Sets how long a client call may take, in milliseconds (> 0), for the
    whole process; returns the value now in force."""
    if isinstance(ms, bool) or not isinstance(ms, int):
        raise TypeError(f"ms must be an int, not {type(ms).__name__}")
    if not 1 <= ms < 2**31:
        raise ValueError(f"ms {ms} is out of range: give 1 to {2**31 - 1} milliseconds")
    return library().set_client_timeout(ms)


# ---------------------------------------------------------------------------
# Server and relay

_running = {"server": False, "relay": False}


def _claim(what: str) -> None:
    with _lock:
        if _running[what]:
            raise UsbipError(f"a {what} is already running in this process")
        _running[what] = True


def _release(what: str) -> None:
    with _lock:
        _running[what] = False


class Server:
    """The sharing server, as a context manager::

        with Server(3240, password="pw", share=["1-2"], forward=True) as server:
            code = server.register_relay("relay.example.org", 3241, "pw")
            ...

    ``share`` names local devices by bus id, as :func:`list_local` shows
    them. Leaving the block (or :meth:`stop`) stops the server, ends its
    relay registration and empties its table of shared devices.

    ``forward=True`` lets a client that imports a device use it: the
    device's USB traffic goes over the connection until the client leaves,
    the device is unshared or the server stops. ``stock_clients=True`` lets
    USB/IP clients without the password handshake (the kernel's usbip tool)
    list and import; it needs a server without password and without TLS.
    Both are settings of the process, made by each start.
    """

    def __init__(self, port: int, password: Optional[str] = None, tls: bool = False,
                 share: Iterable[str] = (), forward: bool = False, stock_clients: bool = False) -> None:
        self.port = _port(port)
        self._password = _password(password)
        self.tls = _flag(tls, "tls")
        if isinstance(share, str):
            raise TypeError("share must be an iterable of bus ids, not a str")
        self._share = [_text(b, "busid") for b in share]
        self.forward = _flag(forward, "forward")
        self.stock_clients = _flag(stock_clients, "stock_clients")
        if self.stock_clients and (self.tls or self._password):
            raise ValueError("stock_clients needs a server without password and without TLS: "
                             "stock USB/IP clients speak neither")
        self.running = False

    def start(self) -> "Server":
        lib = library()
        _claim("server")
        done: List[str] = []
        try:
            for busid in self._share:
                lib.share(busid)
                done.append(busid)
            lib.set_forwarding(self.forward)
            lib.set_stock_clients(self.stock_clients)
            lib.server_start(self.port, self._password, self.tls)
        except BaseException:
            # A server that did not start keeps its table: take back what
            # this start added.
            for busid in done:
                lib.unshare(busid)
            _release("server")
            raise
        self.running = True
        return self

    def stop(self) -> None:
        if self.running:
            library().server_stop()
            self.running = False
            _release("server")

    def __enter__(self) -> "Server":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def share(self, busid: str) -> None:
        """Shares a local device (already shared is fine)."""
        busid = _text(busid, "busid")
        library().share(busid)

    def unshare(self, busid: str) -> None:
        """Stops sharing a device; :class:`NotFoundError` when it was not shared."""
        busid = _text(busid, "busid")
        library().unshare(busid)

    def shared(self) -> List[Device]:
        """The shared devices, in the order they were shared."""
        return _devices(library().list_shared())

    def register_relay(self, host: str, port: int, password: Optional[str] = None,
                       registration_key: Optional[str] = None) -> str:
        """Registers with the relay at ``host``:``port`` and returns the
        six-character pairing code that clients give to reach this server.
        ``registration_key`` is the key the relay's operator handed out, for
        a relay that asks for one. Refused for a server with TLS: clients
        through a relay never start TLS."""
        if self.tls:
            raise ValueError("a server with TLS cannot be reached through a relay, whose clients never start TLS")
        args = (_text(host, "host"), _port(port), _password(password))
        key = None if registration_key is None else _text(registration_key, "registration_key")
        lib = library()
        lib.set_registration_key(key)
        return lib.register_relay(*args)


class Relay:
    """The relay, as a context manager::

        with Relay(3241, registration_key="k3y") as relay:
            print(relay.codes())

    With ``registration_key`` only servers that present it may register.
    ``registrations`` and ``pairings`` size its tables (64 each unless
    given).
    """

    def __init__(self, port: int, registration_key: Optional[str] = None, registrations: int = 64,
                 pairings: int = 64) -> None:
        self.port = _port(port)
        self._key = None if registration_key is None else _text(registration_key, "registration_key")
        for value, what in ((registrations, "registrations"), (pairings, "pairings")):
            if not isinstance(value, int) or isinstance(value, bool):
                raise TypeError(f"{what} must be an int")
            if not 1 <= value <= 65536:
                raise ValueError(f"{what} must be 1 to 65536")
        self._sizes = (registrations, pairings)
        self.running = False

    def start(self) -> "Relay":
        lib = library()
        _claim("relay")
        try:
            lib.relay_set_registration_key(self._key)
            lib.relay_set_capacity(*self._sizes)
            lib.relay_start(self.port)
        except BaseException:
            _release("relay")
            raise
        self.running = True
        return self

    def stop(self) -> None:
        if self.running:
            library().relay_stop()
            self.running = False
            _release("relay")

    def __enter__(self) -> "Relay":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def codes(self) -> List[RelayCode]:
        """The active registrations."""
        return [RelayCode(code=c["code"], active=bool(c["active"]), clients=int(c["clients"]))
                for c in library().relay_codes()]
