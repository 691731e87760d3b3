"""Exceptions raised for the library's failures.

Every failure of a library call raises a subclass of :class:`UsbipError`
that carries the library's own message (``str(error)`` and
``error.message``) and its stable code (``error.code``, an
:class:`ErrorCode`). The subclass is chosen by the code, never by the text:

========================  ===================================================
:class:`AuthenticationError`  the password handshake refused the client, or
                              the server could not prove itself (password,
                              secure exchange, pinned TLS key)
:class:`RefusedError`         the server refuses this address for a while after wrong passwords
:class:`ConnectError`         no TCP connection to the server or relay
:class:`TimeoutError`         the peer did not answer within the client time-out
:class:`NotFoundError`        no such device, shared device, share rule or pairing code
:class:`RelayError`           the relay refused or broke the pairing
:class:`UsbipError`           anything else (TLS, ports in use, ...)
========================  ===================================================

``RefusedError`` derives from ``AuthenticationError``, ``TimeoutError``
also from Python's built-in ``TimeoutError`` and ``NotFoundError`` from
``LookupError``.
"""
import builtins
import enum
from typing import Dict, Type

__all__ = [
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


class ErrorCode(enum.IntEnum):
    """The library's error codes (``usbip_last_error_code()``); the same
    numbers as the ``USBIP_ERROR_*`` values of ``halvoren_usbip.h``."""

    NONE = 0
    OUT_OF_MEMORY = 1
    INVALID_ARGUMENT = 2
    SYSTEM = 3
    TLS = 4
    PORT_IN_USE = 5
    RESOLVE = 6
    CONNECT = 7
    CONNECT_TIMEOUT = 8
    TIMEOUT = 9
    TLS_HANDSHAKE = 10
    NOT_A_SERVER = 11
    REFUSED = 12
    PASSWORD_REQUIRED = 13
    PASSWORD_REJECTED = 14
    HANDSHAKE = 15
    CONNECTION_LOST = 16
    PROTOCOL = 17
    NOT_FOUND = 18
    NOT_SHARED = 19
    TABLE_FULL = 20
    BUSY = 21
    DEVICE = 22
    DEVICE_GONE = 23
    RELAY = 24
    CODE_NOT_FOUND = 25
    RELAY_FULL = 26
    ATTACH_FAILED = 27
    RATE_LIMITED = 28
    RELAY_REFUSED = 29
    UNSUPPORTED = 30
    INTERNAL = 31
    KEY_MISMATCH = 32
    INSECURE_SERVER = 33
    SERVER_NOT_PROVEN = 34
    KEY_FILE = 35
    NO_KEY = 36


class UsbipError(Exception):
    """A failed library call; ``message`` is the library's own text and
    ``code`` its :class:`ErrorCode` (``ErrorCode.NONE`` for a failure of
    the binding itself)."""

    def __init__(self, message: str, code: int = ErrorCode.NONE) -> None:
        super().__init__(message)
        self.message = message
        self.code = _known(code)

    def __str__(self) -> str:
        return self.message


class AuthenticationError(UsbipError):
    """The server refused the password, or wanted one and got none; or the
    server did not prove that it knows the password, did not offer the
    secure exchange that was required, or presented another TLS key than
    the pinned one."""


class RefusedError(AuthenticationError):
    """The server refuses this client's address for a while, after too many
    wrong passwords from it; the message says for how long."""


class ConnectError(UsbipError):
    """The server or relay could not be reached (name, refusal, no route)."""


class TimeoutError(UsbipError, builtins.TimeoutError):  # noqa: A001 - named after what it is
    """The peer accepted the connection, or was asked, and did not answer in time."""

    def __init__(self, message: str, code: int = ErrorCode.NONE) -> None:
        UsbipError.__init__(self, message, code)

    def __str__(self) -> str:
        return self.message


class NotFoundError(UsbipError, LookupError):
    """No device with that bus id, no such shared device or share rule, or an unknown code."""


class RelayError(UsbipError):
    """The relay refused the request or the registration, or broke off."""


def _known(code: int):
    try:
        return ErrorCode(code)
    except ValueError:
        return int(code)  # a code of a newer library: kept as its number


_BY_CODE: Dict[int, Type[UsbipError]] = {
    ErrorCode.PASSWORD_REQUIRED: AuthenticationError,
    ErrorCode.PASSWORD_REJECTED: AuthenticationError,
    ErrorCode.KEY_MISMATCH: AuthenticationError,
    ErrorCode.INSECURE_SERVER: AuthenticationError,
    ErrorCode.SERVER_NOT_PROVEN: AuthenticationError,
    ErrorCode.HANDSHAKE: AuthenticationError,
    ErrorCode.REFUSED: RefusedError,
    ErrorCode.CONNECT_TIMEOUT: TimeoutError,
    ErrorCode.TIMEOUT: TimeoutError,
    ErrorCode.NOT_FOUND: NotFoundError,
    ErrorCode.NOT_SHARED: NotFoundError,
    ErrorCode.CODE_NOT_FOUND: NotFoundError,
    ErrorCode.RESOLVE: ConnectError,
    ErrorCode.CONNECT: ConnectError,
    ErrorCode.RELAY: RelayError,
    ErrorCode.RELAY_FULL: RelayError,
    ErrorCode.ATTACH_FAILED: RelayError,
    ErrorCode.RATE_LIMITED: RelayError,
    ErrorCode.RELAY_REFUSED: RelayError,
}


def error_for(code: int, message: str) -> UsbipError:
    """The exception that stands for the library's failure ``code`` with
    its ``message``."""
    return _BY_CODE.get(code, UsbipError)(message, code)
