"""``python -m halvoren_usbip``: the binding from the command line.

    python -m halvoren_usbip                  this machine's USB devices
    python -m halvoren_usbip remote HOST[:PORT] [--tls]
    python -m halvoren_usbip remote --relay HOST[:PORT] --code CODE
    python -m halvoren_usbip --version        the binding and the library it loads

``--json`` prints the devices as JSON. A password comes from
``--password-file FILE`` or the ``HALVOREN_USBIP_PASSWORD`` environment
variable. Failures print the library's message and exit with status 1;
mistakes in the command line exit with status 2.
"""
import argparse
import json
import os
import sys
from dataclasses import asdict
from typing import List, Optional, Sequence, Tuple

from . import Device, UsbipError, __version__, device_info, library, list_by_code, list_local, list_remote

PASSWORD_VARIABLE = "HALVOREN_USBIP_PASSWORD"


def _endpoint(text: str, default_port: int) -> Tuple[str, int]:
    """"host", "host:port", "[v6]" or "[v6]:port"."""
    if text.startswith("["):
        host, _, rest = text[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else ""
        if rest and not rest.startswith(":"):
            raise argparse.ArgumentTypeError(f"'{text}': only ':PORT' may follow the ']' of an address")
    elif text.count(":") == 1:
        host, _, port = text.partition(":")
    elif ":" in text:
        raise argparse.ArgumentTypeError(f"'{text}': write an IPv6 address in brackets, as [::1]:3240")
    else:
        host, port = text, ""
    if not host:
        raise argparse.ArgumentTypeError(f"'{text}' names no host")
    if not port:
        return host, default_port
    if not port.isdigit() or not 1 <= int(port) <= 65535:
        raise argparse.ArgumentTypeError(f"the port '{port}' of '{text}' is not 1 to 65535")
    return host, int(port)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m halvoren_usbip",
                                     description="List USB devices with halvoren-usbip: this machine's, or a "
                                                 "server's, directly or through a relay by pairing code.")
    parser.add_argument("--version", action="store_true", help="show the binding's and the library's version")
    parser.add_argument("--json", action="store_true", help="print the devices as JSON")
    commands = parser.add_subparsers(dest="command")
    listing = commands.add_parser("list", help="this machine's USB devices (the default)")
    remote = commands.add_parser("remote", help="a server's shared devices")
    remote.add_argument("server", nargs="?", metavar="HOST[:PORT]", type=lambda t: _endpoint(t, 3240),
                        help="the server (port 3240 unless given)")
    remote.add_argument("-b", "--busid", help="show the one device with this bus id (direct only)")
    remote.add_argument("--tls", action="store_true", help="speak TLS to the server (direct only)")
    remote.add_argument("--relay", metavar="HOST[:PORT]", type=lambda t: _endpoint(t, 3241),
                        help="the relay (port 3241 unless given)")
    remote.add_argument("--code", help="the server's pairing code, in any letter case")
    remote.add_argument("--password-file", metavar="FILE", help=f"the password is the first line of FILE "
                                                               f"(else ${PASSWORD_VARIABLE})")
    for sub in (listing, remote):
        # Given after the command or before it: the one not given keeps the other's.
        sub.add_argument("--json", action="store_true", default=argparse.SUPPRESS, help="print the devices as JSON")
    return parser


def _password(path: Optional[str]) -> Optional[str]:
    if path is None:
        return os.environ.get(PASSWORD_VARIABLE) or None
    with open(path, encoding="utf-8") as f:
        return f.readline().rstrip("\r\n") or None


def _show(devices: List[Device], as_json: bool) -> None:
    if as_json:
        print(json.dumps([asdict(d) for d in devices], indent=2))
        return
    for d in devices:
        print(repr(d))
    if not devices:
        print("(no devices)")


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.version:
        lib = library()
        print(f"halvoren-usbip {__version__} (library {lib.path}, USB/IP 0x{lib.protocol_version():04x})")
        return 0
    try:
        if args.command == "remote":
            if (args.relay is None) != (args.code is None):
                parser.error("--relay and --code go together")
            if (args.server is None) == (args.relay is None):
                parser.error("name a server HOST[:PORT], or --relay HOST[:PORT] with --code CODE")
            if args.relay is not None and (args.tls or args.busid):
                parser.error("--tls and --busid work with a direct HOST[:PORT] only")
            password = _password(args.password_file)
            if args.relay is not None:
                devices = list_by_code(*args.relay, args.code, password=password)
            elif args.busid:
                devices = [device_info(*args.server, args.busid, password=password, tls=args.tls)]
            else:
                devices = list_remote(*args.server, password=password, tls=args.tls)
        else:
            devices = list_local()
    except (UsbipError, OSError) as e:
        print(f"python -m halvoren_usbip: {e}", file=sys.stderr)
        return 1
    except ValueError as e:  # a value the binding refuses before the library sees it
        parser.error(str(e))
    _show(devices, args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
