"""halvoren-usbip from Python: share USB devices over a network with
USB/IP: list local devices, serve them (and, with ``forward=True``, their
traffic, so that clients use them), pair servers and clients through a
relay by code, and list a server's devices.

    import halvoren_usbip as usbip

    for device in usbip.list_local():
        print(device)  # Device(busid='1-2', vid=0x046d, pid=0xc31c, ...)

    with usbip.Relay(0) as relay, usbip.Server(0, password="pw", share=["1-2"]) as server:
        code = server.register_relay("127.0.0.1", relay.port)
        print(usbip.list_remote("127.0.0.1", server.port, password="pw"))
        print(usbip.list_by_code("127.0.0.1", relay.port, code, password="pw"))

Port 0 lets the system choose a free port; ``server.port`` and
``relay.port`` then say which one it chose. ``python -m halvoren_usbip``
lists devices from the command line.

The library is found through ``$HALVOREN_USBIP_LIBRARY``, beside this
package, or on the system's library path, and started on first use. Every
call blocks the calling thread until it is done and may be made from any
thread: results and error messages are kept per thread by the library.
Failures raise :class:`UsbipError` subclasses (see :mod:`.errors`); wrong
argument types raise ``TypeError`` and bad values ``ValueError`` before
the library is called.

The process holds one server and one relay: :class:`Server` and
:class:`Relay` refuse to start a second while one runs.

With a password, the client calls require the secure password exchange:
the server proves that it knows the password too, and the conversation is
encrypted end to end (through a relay as well). A server that does not
offer it (an older version, or one whose offer somebody on the way
removed) is refused with :class:`AuthenticationError`, unless the call
passes ``allow_insecure=True``. With ``tls=True``, ``fingerprint=`` pins
the server's TLS key (:func:`server_fingerprint` reads it, and
``Server.fingerprint`` on the server's side).
"""
import atexit
import threading
from contextlib import contextmanager
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, TypeVar

from ._native import LIBRARY_VARIABLE, Library, find_library
from .errors import (
    AuthenticationError,
    ConnectError,
    ErrorCode,
    NotFoundError,
    RefusedError,
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
    "server_fingerprint",
    "next_event",
    "library",
    "Library",
    "find_library",
    "LIBRARY_VARIABLE",
    "MAX_PASSWORD_BYTES",
    "CODE_LENGTH",
    "ErrorCode",
    "UsbipError",
    "AuthenticationError",
    "RefusedError",
    "ConnectError",
    "TimeoutError",
    "NotFoundError",
    "RelayError",
    "error_for",
]


# ---------------------------------------------------------------------------
# Values


@dataclass(frozen=True, repr=False)
class Device:
    """One USB device, local or remote.

    ``vid`` and ``pid`` are the vendor and product ids as integers (shown in
    hex). ``vendor`` and ``product`` are the device's own names, or
    stand-ins such as ``"Vendor_0x046d"`` when it gave none (always for
    remote devices). ``speed`` is "low", "full", "high", "super", "wireless"
    or "unknown"; ``device_class`` the class in words ("hid",
    "mass-storage", ...). ``bus`` is the bus number of ``busid``;
    ``address`` (the device's number on its bus) and ``serial`` are ``None``
    where the library does not report them.
    """

    busid: str
    vid: int
    pid: int
    vendor: str
    product: str
    speed: str
    device_class: str
    address: Optional[int] = None
    serial: Optional[str] = None

    @property
    def bus(self) -> Optional[int]:
        head = self.busid.split("-", 1)[0]
        return int(head) if head.isdigit() else None

    def __repr__(self) -> str:
        fields = [f"busid={self.busid!r}", f"vid=0x{self.vid:04x}", f"pid=0x{self.pid:04x}"]
        if self.bus is not None:
            fields.append(f"bus={self.bus}")
        if self.address is not None:
            fields.append(f"address={self.address}")
        if self.serial:
            fields.append(f"serial={self.serial!r}")
        fields += [f"vendor={self.vendor!r}", f"product={self.product!r}", f"speed={self.speed!r}",
                   f"device_class={self.device_class!r}"]
        return f"Device({', '.join(fields)})"

    @classmethod
    def from_json(cls, obj: Dict[str, Any]) -> "Device":
        devnum = obj.get("devnum")
        return cls(
            busid=obj["busid"],
            vid=int(obj["vid"], 16),
            pid=int(obj["pid"], 16),
            vendor=obj["vendor"],
            product=obj["product"],
            speed=obj["speed"],
            device_class=obj["class"],
            address=int(devnum) if devnum is not None else None,
            serial=obj.get("serial") or None,
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


#: The longest password the library takes, in bytes of UTF-8 (it refuses
#: longer ones rather than cut them).
MAX_PASSWORD_BYTES = 127


def _password(value: Any) -> Optional[str]:
    if value is None:
        return None
    password = _text(value, "password", empty_ok=True) or None
    if password is not None and len(password.encode("utf-8")) > MAX_PASSWORD_BYTES:
        raise ValueError(f"password is {len(password.encode('utf-8'))} bytes long: "
                         f"the library takes at most {MAX_PASSWORD_BYTES}")
    return password


def _port(value: Any, what: str = "port", *, any_ok: bool = False) -> int:
    """A port to connect to (1-65535), or with ``any_ok`` one to listen on,
    where 0 lets the system choose."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    low = 0 if any_ok else 1
    if not low <= value <= 65535:
        raise ValueError(f"{what} {value} is out of range: a port is {low} to 65535")
    return value


def _flag(value: Any, what: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return value


_CODE_CHARS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")
#: A pairing code has this many letters and digits.
CODE_LENGTH = 6


def _code(value: Any) -> str:
    # Codes are ASCII letters and digits, handed out in capitals; the case a
    # person typed does not matter, nor spaces between groups. Checked here,
    # before any byte goes to the relay: a wrong code costs a strike there.
    code = "".join(_text(value, "code").split()).upper()
    if not set(code) <= _CODE_CHARS or len(code) != CODE_LENGTH:
        raise ValueError(f"code {value!r} is not a pairing code: it has {CODE_LENGTH} ASCII letters and digits")
    return code


def _devices(objects: List[Dict[str, str]]) -> List[Device]:
    return [Device.from_json(o) for o in objects]


def _fingerprint(value: Any) -> Optional[str]:
    if value is None:
        return None
    text = _text(value, "fingerprint")
    digits = text.replace(":", "")
    if len(digits) != 64 or any(c not in "0123456789abcdefABCDEF" for c in digits):
        raise ValueError(f"fingerprint {value!r} is not a SHA-256 fingerprint: 64 hexadecimal digits")
    return text


# ---------------------------------------------------------------------------
# Whom a client call trusts

T = TypeVar("T")


class _SecureGate:
    """The library's requirement of the secure exchange is one setting of
    the process. Each call sets it for its own time only, while no call
    that needs the other value runs, so that no call ever runs under
    another's setting; once no call runs, the setting is back as it was."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._running = {True: 0, False: 0}
        self._before = False

    @contextmanager
    def require(self, required: bool) -> Iterator[None]:
        lib = library()
        with self._cond:
            while self._running[not required]:
                self._cond.wait()
            if self._running[required] == 0:
                # No call runs: the setting is the host's own.
                self._before = lib.set_require_secure()
                lib.set_require_secure(required)
            self._running[required] += 1
        try:
            yield
        finally:
            with self._cond:
                self._running[required] -= 1
                if self._running[required] == 0:
                    lib.set_require_secure(self._before)
                self._cond.notify_all()


_gate = _SecureGate()


def _client_call(call: Callable[[], T], password: Optional[str], allow_insecure: Any, tls: bool = False,
                 fingerprint: Optional[str] = None) -> T:
    allow = _flag(allow_insecure, "allow_insecure")
    if fingerprint is not None and not tls:
        raise ValueError("fingerprint pins the server's TLS key: it needs tls=True")
    lib = library()

    def pinned() -> T:
        if fingerprint is None:
            return call()
        # The pin belongs to this thread, where the call runs too.
        lib.pin_fingerprint(fingerprint)
        try:
            return call()
        finally:
            lib.pin_fingerprint(None)

    if password is None:  # nothing to protect: the setting does not apply
        return pinned()
    with _gate.require(not allow):
        return pinned()


# ---------------------------------------------------------------------------
# Module functions


def protocol_version() -> int:
    """The USB/IP protocol version the library speaks (0x0111)."""
    return library().protocol_version()


def list_local() -> List[Device]:
    """This machine's USB devices, enumerated afresh (at most 64)."""
    return _devices(library().list_local_devices())


def list_remote(host: str, port: int, password: Optional[str] = None, tls: bool = False, *,
                allow_insecure: bool = False, fingerprint: Optional[str] = None) -> List[Device]:
    """The devices that the server at ``host``:``port`` shares. With a
    password, a server without the secure exchange is refused unless
    ``allow_insecure``; with ``tls``, ``fingerprint`` pins its key."""
    args = (_text(host, "host"), _port(port), _password(password), _flag(tls, "tls"))
    pin = _fingerprint(fingerprint)
    return _devices(_client_call(lambda: library().list_remote(*args), args[2], allow_insecure, args[3], pin))


def device_info(host: str, port: int, busid: str, password: Optional[str] = None, tls: bool = False, *,
                allow_insecure: bool = False, fingerprint: Optional[str] = None) -> Device:
    """One shared device of the server at ``host``:``port``, by exact bus id;
    :class:`NotFoundError` when the server does not share it."""
    args = (_text(host, "host"), _port(port), _text(busid, "busid"), _password(password), _flag(tls, "tls"))
    pin = _fingerprint(fingerprint)
    return Device.from_json(_client_call(lambda: library().remote_device(*args), args[3], allow_insecure, args[4],
                                         pin))


def list_by_code(relay_host: str, relay_port: int, code: str, password: Optional[str] = None, *,
                 allow_insecure: bool = False) -> List[Device]:
    """The devices of the server that holds pairing ``code`` (any letter
    case) on the relay at ``relay_host``:``relay_port``. This path never
    uses TLS; with a password the secure exchange encrypts it end to end,
    so the relay copies ciphertext only."""
    args = (_text(relay_host, "relay_host"), _port(relay_port, "relay_port"), _code(code), _password(password))
    return _devices(_client_call(lambda: library().list_by_code(*args), args[3], allow_insecure))


def server_fingerprint(host: str, port: int) -> str:
    """The SHA-256 fingerprint of the TLS key that the server at
    ``host``:``port`` presents (64 lower-case hex digits), read without
    sending anything after the TLS handshake: to compare with what the
    server's operator sees before trusting it."""
    args = (_text(host, "host"), _port(port))
    return library().server_fingerprint(*args)


def set_client_timeout(ms: int) -> int:
    """Sets how long a client call may take, in milliseconds (> 0), for the
    whole process; returns the value now in force."""
    if isinstance(ms, bool) or not isinstance(ms, int):
        raise TypeError(f"ms must be an int, not {type(ms).__name__}")
    if not 1 <= ms < 2**31:
        raise ValueError(f"ms {ms} is out of range: give 1 to {2**31 - 1} milliseconds")
    return library().set_client_timeout(ms)


def next_event(timeout: Optional[float] = None) -> Optional[Dict[str, Any]]:
    """The next event of this process's server or relay as a dict (``time``,
    ``level``, ``kind`` and the kind's members; docs/reference.md lists
    them), waiting at most ``timeout`` seconds (``None``: until one comes).
    ``None`` when none came. Read events from one thread of your own: the
    library never waits for it, and counts what its queue had to drop."""
    if timeout is None:
        ms = -1
    else:
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout must be a number or None, not {type(timeout).__name__}")
        if timeout < 0:
            raise ValueError("timeout must not be negative")
        ms = min(int(timeout * 1000), 2**31 - 1)
    return library().next_event(ms)


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
            code = server.register_relay("relay.example.org", 3241)
            ...

    Port 0 lets the system choose a free port: ``port`` holds the one the
    running server listens on. ``share`` names local devices by bus id, as
    :func:`list_local` shows them. Leaving the block (or :meth:`stop`) stops the server, ends its
    relay registration and empties its table of shared devices.

    ``forward=True`` lets a client that imports a device use it: the
    device's USB traffic goes over the connection until the client leaves,
    the device is unshared or the server stops. ``stock_clients=True`` lets
    USB/IP clients without the password handshake (the kernel's usbip tool)
    list and import; it needs a server without password and without TLS.
    Both are settings of the process, made by each start.

    With ``tls=True``, ``key_file`` keeps the server's TLS key in that file
    (made, readable by its owner only, when it does not exist), so that
    :attr:`fingerprint` stays the same across restarts and clients that
    pinned it keep trusting the server.
    """

    def __init__(self, port: int, password: Optional[str] = None, tls: bool = False,
                 share: Iterable[str] = (), forward: bool = False, stock_clients: bool = False,
                 key_file: Optional[str] = None) -> None:
        self._asked_port = self.port = _port(port, any_ok=True)
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
        self.key_file = None if key_file is None else _text(key_file, "key_file")
        if self.key_file is not None and not self.tls:
            raise ValueError("key_file keeps the server's TLS key: it needs tls=True")
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
            lib.set_key_file(self.key_file)
            lib.server_start(self._asked_port, self._password, self.tls)
            self.port = lib.server_port()
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

    def share_rule(self, rule: str) -> None:
        """Shares by rule, as devices come and go: a bus id (``"1-3.2"``),
        vendor and product ids (``"046d:c31c"``) or ids and a serial number
        (``"046d:c31c:SERIAL"``). What is plugged in now and named by the rule
        is shared at once, what is plugged in later as it comes; a device that
        a rule shared leaves the table when it is unplugged."""
        library().share_rule(_text(rule, "rule"))

    def unshare_rule(self, rule: str) -> None:
        """Takes a rule out of force, and the devices it shared out of the
        table; :class:`NotFoundError` when it was not in force."""
        library().unshare_rule(_text(rule, "rule"))

    def shared(self) -> List[Device]:
        """The shared devices, in the order they were shared."""
        return _devices(library().list_shared())

    @property
    def fingerprint(self) -> str:
        """The SHA-256 fingerprint of the server's TLS key (64 lower-case hex
        digits), for its clients to pin; a running server with TLS only."""
        if not (self.running and self.tls):
            raise ValueError("only a running server with TLS has a TLS key")
        return library().key_fingerprint()

    def sessions(self) -> List[Dict[str, Any]]:
        """The sessions that forward a device now: ``peer``, ``busid``,
        ``since``, ``bytes_in``, ``bytes_out`` and ``urbs`` of each."""
        return library().server_sessions()

    def register_relay(self, host: str, port: int, password: Optional[str] = None,
                       registration_key: Optional[str] = None) -> str:
        """Registers with the relay at ``host``:``port`` and returns the
        six-character pairing code that clients give to reach this server.
        ``registration_key`` is the key the relay's operator handed out, for
        a relay that asks for one. Refused for a server with TLS: clients
        through a relay never start TLS.

        ``password`` is not used (clients prove the server's own password,
        end to end through the relay) and is accepted only for older callers,
        with a :class:`DeprecationWarning`."""
        if password is not None:
            warnings.warn("register_relay's password is not used: clients prove the server's own password; "
                          "leave it out", DeprecationWarning, stacklevel=2)
        if self.tls:
            raise ValueError("a server with TLS cannot be reached through a relay, whose clients never start TLS")
        args = (_text(host, "host"), _port(port))
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
    given). Port 0 lets the system choose a free port: ``port`` holds the
    one the running relay listens on.
    """

    def __init__(self, port: int, registration_key: Optional[str] = None, registrations: int = 64,
                 pairings: int = 64) -> None:
        self._asked_port = self.port = _port(port, any_ok=True)
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
            lib.relay_start(self._asked_port)
            self.port = lib.relay_port()
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
