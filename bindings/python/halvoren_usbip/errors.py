"""Exceptions raised for the library's failures.

Every failure of a library call raises a subclass of :class:`UsbipError`
that carries the library's own message (``str(error)`` and
``error.message``). The subclass is chosen from the fixed start of that
message, so a host can tell the usual cases apart without matching text:

========================  ===================================================
:class:`AuthenticationError`  the password handshake refused the client, or
                              the server could not prove itself (password,
                              secure exchange, pinned TLS key)
:class:`ConnectError`         no TCP connection to the server or relay
:class:`TimeoutError`         the peer did not answer within the client time-out
:class:`NotFoundError`        no such device, shared device, share rule or pairing code
:class:`RelayError`           the relay refused or broke the pairing
:class:`UsbipError`           anything else (TLS, ports in use, ...)
========================  ===================================================

``TimeoutError`` also derives from Python's built-in ``TimeoutError`` and
``NotFoundError`` from ``LookupError``.
"""
import builtins
from typing import Tuple, Type

__all__ = [
    "UsbipError",
    "AuthenticationError",
    "ConnectError",
    "TimeoutError",
    "NotFoundError",
    "RelayError",
    "error_for",
]


class UsbipError(Exception):
    """A failed library call; ``message`` is the library's own text."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message


class AuthenticationError(UsbipError):
    """The server refused the password, or wanted one and got none; or the
    server did not prove that it knows the password, did not offer the
    secure exchange that was required, or presented another TLS key than
    the pinned one."""


class ConnectError(UsbipError):
    """The server or relay could not be reached (name, refusal, no route)."""


class TimeoutError(UsbipError, builtins.TimeoutError):  # noqa: A001 - named after what it is
    """The peer accepted the connection, or was asked, and did not answer in time."""

    def __init__(self, message: str) -> None:
        UsbipError.__init__(self, message)

    def __str__(self) -> str:
        return self.message


class NotFoundError(UsbipError, LookupError):
    """No device with that bus id, no such shared device or share rule, or an unknown code."""


class RelayError(UsbipError):
    """The relay refused the request or the registration, or broke off."""


# Most specific first: "Relay returned: ERROR Code not found" is a lookup
# failure before it is a relay's refusal.
_BY_PREFIX: Tuple[Tuple[str, Type[UsbipError]], ...] = (
    ("Authentication rejected by server", AuthenticationError),
    ("Server requires password authentication", AuthenticationError),
    ("Server handshake rejected", AuthenticationError),
    ("Server could not prove that it knows the password", AuthenticationError),
    ("Server does not offer the secure password exchange", AuthenticationError),
    ("Server key ", AuthenticationError),
    ("Timed out after ", TimeoutError),
    ("Relay timeout on connection response", TimeoutError),
    ("Remote device with busid ", NotFoundError),
    ("Device '", NotFoundError),
    ("Share rule '", NotFoundError),
    ("Relay returned: ERROR Code not found", NotFoundError),
    ("Could not connect to ", ConnectError),
    ("Failed to resolve host: ", ConnectError),
    ("Failed to connect to relay server at ", ConnectError),
    ("Relay returned", RelayError),
    ("Failed to send CONNECT to relay", RelayError),
    ("Failed to send REGISTER to relay", RelayError),
    ("Failed to read CODE response from relay", RelayError),
)


def error_for(message: str) -> UsbipError:
    """The exception that stands for the library message ``message``."""
    for prefix, cls in _BY_PREFIX:
        if message.startswith(prefix):
            return cls(message)
    return UsbipError(message)
