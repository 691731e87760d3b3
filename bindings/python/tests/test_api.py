"""The Pythonic layer against the built library, over loopback: values,
argument checks, the exception classes, Server and Relay, threads, and how
the library is found."""
import builtins
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import halvoren_usbip as usbip

from test_binding import free_port

HEADER = Path(__file__).resolve().parents[3] / "include" / "halvoren_usbip.h"


@pytest.fixture
def ports():
    return free_port(), free_port()


@pytest.fixture
def client_timeout():
    """Sets a short client time-out for one test; the default comes back after it."""
    yield usbip.set_client_timeout
    usbip.set_client_timeout(10000)


def test_version_follows_the_header_and_the_package_is_typed():
    if HEADER.exists():
        m = re.search(r'#define HALVOREN_USBIP_VERSION_STRING "([^"]+)"', HEADER.read_text())
        assert usbip.__version__ == m.group(1)
    assert re.fullmatch(r"\d+\.\d+\.\d+", usbip.__version__)
    assert (Path(usbip.__file__).parent / "py.typed").exists()
    assert usbip.protocol_version() == 0x0111


def test_devices_are_values_with_integer_ids():
    device = usbip.Device.from_json({"busid": "1-2", "vid": "0x046d", "pid": "0xc31c", "vendor": "Vendor_0x046d",
                                     "product": "Product_0xc31c", "speed": "full", "class": "hid"})
    assert device == usbip.Device("1-2", 0x046D, 0xC31C, "Vendor_0x046d", "Product_0xc31c", "full", "hid")
    with pytest.raises(AttributeError):
        device.vid = 1  # frozen
    # Ids in hex, and the bus, address and serial number where they are known.
    assert repr(device) == ("Device(busid='1-2', vid=0x046d, pid=0xc31c, bus=1, vendor='Vendor_0x046d', "
                            "product='Product_0xc31c', speed='full', device_class='hid')")
    known = usbip.Device.from_json({"busid": "3-1.4", "vid": "0x1209", "pid": "0x0001", "vendor": "V",
                                    "product": "P", "speed": "high", "class": "other", "devnum": 7,
                                    "serial": "0001"})
    assert (known.bus, known.address, known.serial) == (3, 7, "0001")
    assert repr(known).startswith("Device(busid='3-1.4', vid=0x1209, pid=0x0001, bus=3, address=7, serial='0001', ")
    for local in usbip.list_local():
        assert isinstance(local, usbip.Device) and isinstance(local.vid, int) and 0 <= local.pid <= 0xFFFF


# Each call with a mistake, and what it raises. The library is not even
# loaded for them: `library` is replaced by a trap.
MISTAKES = [
    (lambda: usbip.list_remote(b"127.0.0.1", 3240), TypeError),
    (lambda: usbip.list_remote("127.0.0.1", "3240"), TypeError),
    (lambda: usbip.list_remote("127.0.0.1", 3240.0), TypeError),
    (lambda: usbip.list_remote("127.0.0.1", True), TypeError),
    (lambda: usbip.list_remote("127.0.0.1", 3240, password=1234), TypeError),
    (lambda: usbip.list_remote("127.0.0.1", 3240, tls=1), TypeError),
    (lambda: usbip.list_remote("", 3240), ValueError),
    (lambda: usbip.list_remote("127.0.0.1", 0), ValueError),
    (lambda: usbip.list_remote("127.0.0.1", 65536), ValueError),
    (lambda: usbip.list_remote("127.0.0.1", 3240, password="a\0b"), ValueError),
    (lambda: usbip.device_info("127.0.0.1", 3240, None), TypeError),
    (lambda: usbip.device_info("127.0.0.1", 3240, ""), ValueError),
    (lambda: usbip.list_by_code("127.0.0.1", 3241, "ÄBC234"), ValueError),
    (lambda: usbip.list_by_code("127.0.0.1", 3241, "ABC-34"), ValueError),
    (lambda: usbip.list_by_code("127.0.0.1", 3241, ""), ValueError),
    (lambda: usbip.list_by_code("127.0.0.1", 3241, "ABC23"), ValueError),  # a code has six characters
    (lambda: usbip.list_by_code("127.0.0.1", 3241, "ABC 2345"), ValueError),
    (lambda: usbip.list_remote("127.0.0.1", 3240, password="p" * 128), ValueError),  # at most 127 bytes
    (lambda: usbip.list_remote("127.0.0.1", 3240, password="é" * 64), ValueError),  # 128 bytes of UTF-8
    (lambda: usbip.Server(3240, password="p" * 128), ValueError),
    (lambda: usbip.Server(-1), ValueError),
    (lambda: usbip.Relay(65536), ValueError),
    (lambda: usbip.list_by_code("127.0.0.1", -1, "ABC234"), ValueError),
    (lambda: usbip.list_by_code("127.0.0.1", 3241, 123456), TypeError),
    (lambda: usbip.set_client_timeout(0), ValueError),
    (lambda: usbip.set_client_timeout("5"), TypeError),
    (lambda: usbip.Server(70000), ValueError),
    (lambda: usbip.Server(3240, share="1-1"), TypeError),
    (lambda: usbip.Server(3240, tls="yes"), TypeError),
    (lambda: usbip.Relay(None), TypeError),
    (lambda: usbip.list_remote("127.0.0.1", 3240, password="pw", allow_insecure="yes"), TypeError),
    (lambda: usbip.list_remote("127.0.0.1", 3240, tls=True, fingerprint="abc"), ValueError),
    (lambda: usbip.list_remote("127.0.0.1", 3240, fingerprint="ab" * 32), ValueError),  # needs tls
    (lambda: usbip.device_info("127.0.0.1", 3240, "1-1", tls=True, fingerprint=123), TypeError),
    (lambda: usbip.list_by_code("127.0.0.1", 3241, "ABC234", password="pw", allow_insecure=1), TypeError),
    (lambda: usbip.server_fingerprint("127.0.0.1", 0), ValueError),
    (lambda: usbip.Server(3240, key_file="server.key"), ValueError),  # needs tls
    (lambda: usbip.Server(3240, tls=True, key_file=b"server.key"), TypeError),
]


@pytest.mark.parametrize("call,error", MISTAKES)
def test_mistakes_are_refused_before_the_library_is_called(monkeypatch, call, error):
    def trap():
        raise AssertionError("the library was called")

    monkeypatch.setattr(usbip, "library", trap)
    with pytest.raises(error):
        call()


def test_a_non_ascii_code_never_leaks_a_unicode_error(ports):
    _, relay_port = ports
    with usbip.Relay(relay_port):
        with pytest.raises(ValueError, match="not a pairing code"):
            usbip.list_by_code("127.0.0.1", relay_port, "ÀBCDEF")
        # The thin layer passes it on; the relay's refusal comes back whole.
        with pytest.raises(usbip.NotFoundError) as err:
            usbip.library().list_by_code("127.0.0.1", relay_port, "ÀBCDÉF")
        assert str(err.value) == "Relay returned: ERROR Code not found"


def test_server_and_relay_as_context_managers(ports):
    server_port, relay_port = ports
    with usbip.Relay(relay_port) as relay, usbip.Server(server_port, password="pw") as server:
        assert server.running and relay.running
        assert (server.port, relay.port) == (server_port, relay_port)
        assert server.shared() == []
        code = server.register_relay("127.0.0.1", relay_port)
        assert re.fullmatch(r"[A-HJ-NP-Z2-9]{6}", code)
        assert usbip.list_remote("127.0.0.1", server_port, password="pw") == []
        # Any letter case, spaces between groups.
        typed = f" {code[:3].lower()} {code[3:]} "
        assert usbip.list_by_code("127.0.0.1", relay_port, typed, password="pw") == []
        assert relay.codes() == [usbip.RelayCode(code=code, active=True, clients=1)]
        # The password argument of register_relay is not used: accepted, with a warning.
        with pytest.warns(DeprecationWarning, match="register_relay's password is not used"):
            assert re.fullmatch(r"[A-HJ-NP-Z2-9]{6}", server.register_relay("127.0.0.1", relay_port, "pw"))
        # One server and one relay per process.
        with pytest.raises(usbip.UsbipError, match="already running"):
            usbip.Server(free_port()).start()
        with pytest.raises(usbip.UsbipError, match="already running"):
            usbip.Relay(free_port()).start()
    assert not server.running and not relay.running
    with pytest.raises(usbip.ConnectError):
        usbip.list_remote("127.0.0.1", server_port, password="pw")
    # Both can start again after they stopped.
    with usbip.Server(server_port), usbip.Relay(relay_port) as relay:
        assert relay.codes() == []


def test_a_relay_with_a_registration_key_takes_only_servers_that_present_it(ports):
    server_port, relay_port = ports
    with usbip.Relay(relay_port, registration_key="k3y-of-the-relay", registrations=8) as relay, \
            usbip.Server(server_port) as server:
        for key in (None, "wrong"):
            with pytest.raises(usbip.RelayError, match="ERROR Registration refused"):
                server.register_relay("127.0.0.1", relay_port, registration_key=key)
        code = server.register_relay("127.0.0.1", relay_port, registration_key="k3y-of-the-relay")
        assert usbip.list_by_code("127.0.0.1", relay_port, code) == []
        assert [c.code for c in relay.codes()] == [code]
    with pytest.raises(ValueError, match="registrations must be 1 to 65536"):
        usbip.Relay(relay_port, registrations=0)
    with pytest.raises(usbip.UsbipError, match="Invalid registration key"):
        usbip.library().relay_set_registration_key("has space")
    usbip.library().relay_set_registration_key(None)
    usbip.library().set_registration_key(None)


def test_events_tell_what_the_server_and_relay_do(ports):
    server_port, relay_port = ports
    while usbip.next_event(0) is not None:
        pass
    with usbip.Relay(relay_port), usbip.Server(server_port, password="pw") as server:
        code = server.register_relay("127.0.0.1", relay_port)
        assert usbip.list_by_code("127.0.0.1", relay_port, code, password="pw") == []
        assert server.sessions() == []
    events = []
    while (event := usbip.next_event(timeout=1)) is not None:
        events.append(event)
        if event["kind"] == "server_stopped":
            break
    kinds = [e["kind"] for e in events]
    for kind in ("relay_started", "server_started", "relay_registered", "relay_pairing_asked", "devlist_served",
                 "server_stopped"):
        assert kind in kinds, kinds
    started = events[kinds.index("server_started")]
    assert started["port"] == server_port and started["password"] is True and started["level"] == "info"
    assert events[kinds.index("relay_registered")]["code"] == code
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", started["time"])
    with pytest.raises(ValueError):
        usbip.next_event(-1)
    with pytest.raises(TypeError):
        usbip.next_event("1")


def _recv_exactly(s: socket.socket, n: int) -> bytes:
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def test_forwarding_and_stock_clients_are_the_servers_to_choose(ports):
    server_port, _ = ports
    lib = usbip.library()
    with usbip.Server(server_port, forward=True, stock_clients=True):
        assert lib.set_forwarding() and lib.set_stock_clients()
        # A stock client speaks first: its request is answered without the
        # handshake, an empty list here.
        with socket.create_connection(("127.0.0.1", server_port), timeout=5) as s:
            s.sendall(bytes.fromhex("0111800500000000"))
            assert _recv_exactly(s, 12) == bytes.fromhex("011100050000000000000000")
        # This library's client waits for the greeting and is served too.
        assert usbip.list_remote("127.0.0.1", server_port) == []
    with usbip.Server(server_port):
        assert not lib.set_forwarding() and not lib.set_stock_clients()
        with socket.create_connection(("127.0.0.1", server_port), timeout=5) as s:
            assert len(_recv_exactly(s, 36)) == 36  # the greeting comes first
    with pytest.raises(ValueError, match="stock_clients needs a server without password"):
        usbip.Server(server_port, password="pw", stock_clients=True)
    with pytest.raises(TypeError):
        usbip.Server(server_port, forward=1)


def test_a_failed_start_leaves_no_server_behind(ports):
    taken = socket.socket()
    taken.bind(("0.0.0.0", 0))
    taken.listen(1)
    try:
        with pytest.raises(usbip.UsbipError) as err:
            usbip.Server(taken.getsockname()[1]).start()
        assert type(err.value) is usbip.UsbipError
        assert str(err.value) == f"server_start: bind() failed on port {taken.getsockname()[1]}"
    finally:
        taken.close()
    with usbip.Server(ports[0]) as server:
        assert server.shared() == []
    with pytest.raises(usbip.NotFoundError, match=r"^Device '9-9' not found locally to share$"):
        usbip.Server(ports[0], share=["9-9"]).start()
    with usbip.Server(ports[0]):
        pass


def test_port_zero_is_the_systems_choice_and_is_reported():
    with usbip.Relay(0) as relay, usbip.Server(0) as server:
        assert 0 < server.port <= 65535 and 0 < relay.port <= 65535 and server.port != relay.port
        assert usbip.library().server_port() == server.port
        assert usbip.list_remote("127.0.0.1", server.port) == []
        code = server.register_relay("127.0.0.1", relay.port)
        assert usbip.list_by_code("127.0.0.1", relay.port, code) == []
    assert usbip.library().server_port() == 0 and usbip.library().relay_port() == 0


def test_python_dash_m_lists_devices(ports):
    env = dict(os.environ, PYTHONPATH=str(Path(usbip.__file__).resolve().parents[1]))

    def run(*args):
        return subprocess.run([sys.executable, "-m", "halvoren_usbip", *args], env=env, capture_output=True,
                              text=True, timeout=60)

    version = run("--version")
    assert version.returncode == 0, version.stderr
    assert version.stdout.startswith(f"halvoren-usbip {usbip.__version__} (library ")
    assert run("--json").returncode == 0
    with usbip.Server(ports[0]):
        listed = run("remote", f"127.0.0.1:{ports[0]}", "--json")
        assert (listed.returncode, listed.stdout.strip()) == (0, "[]"), listed.stderr
        refused = run("remote", f"127.0.0.1:{ports[0]}", "--busid", "9-9")
        assert refused.returncode == 1
        assert refused.stderr == "python -m halvoren_usbip: Remote device with busid '9-9' not found\n"
    mistake = run("remote", "--relay", "127.0.0.1", "--code", "ABC")
    assert mistake.returncode == 2 and "not a pairing code" in mistake.stderr


@pytest.fixture
def silent_server():
    """A port that accepts connections and never says a word."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    yield s.getsockname()[1]
    s.close()


@pytest.fixture
def refusing_relay():
    """A relay that answers every request with an ERROR line of its own."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    s.settimeout(10)

    def serve():
        try:
            conn, _ = s.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(5)
            conn.recv(64)
            conn.sendall(b"ERROR Relay capacity reached\n")

    t = threading.Thread(target=serve)
    t.start()
    yield s.getsockname()[1]
    s.close()
    t.join(timeout=10)


def test_failures_raise_the_class_of_their_message(ports, client_timeout, silent_server, refusing_relay):
    server_port, relay_port = ports
    closed_port = free_port()
    client_timeout(1000)
    with usbip.Server(server_port, password="pw") as server, usbip.Relay(relay_port):
        E = usbip.ErrorCode
        cases = [
            (lambda: usbip.list_remote("127.0.0.1", server_port, password="wrong"), usbip.AuthenticationError,
             E.PASSWORD_REJECTED, "Authentication rejected by server (invalid password)"),
            (lambda: usbip.list_remote("127.0.0.1", server_port), usbip.AuthenticationError, E.PASSWORD_REQUIRED,
             "Server requires password authentication but none was provided"),
            (lambda: usbip.list_remote("127.0.0.1", closed_port), usbip.ConnectError, E.CONNECT,
             f"Could not connect to 127.0.0.1:{closed_port}"),
            (lambda: usbip.list_remote("127.0.0.1", silent_server), usbip.TimeoutError, E.TIMEOUT,
             f"Timed out after 1s connecting to 127.0.0.1:{silent_server} (server accepted the connection but sent "
             "no response - check the port and that the server is running)"),
            (lambda: usbip.device_info("127.0.0.1", server_port, "1-1", password="pw"), usbip.NotFoundError,
             E.NOT_FOUND, "Remote device with busid '1-1' not found"),
            (lambda: server.unshare("1-1"), usbip.NotFoundError, E.NOT_SHARED, "Device '1-1' is not shared"),
            (lambda: server.unshare_rule("1-1"), usbip.NotFoundError, E.NOT_SHARED,
             "Share rule '1-1' is not in force"),
            (lambda: server.share_rule("1-1:2"), usbip.UsbipError, E.INVALID_ARGUMENT, "Invalid share rule '1-1:2'"),
            (lambda: usbip.list_by_code("127.0.0.1", relay_port, "ABC234"), usbip.NotFoundError, E.CODE_NOT_FOUND,
             "Relay returned: ERROR Code not found"),
            (lambda: usbip.list_by_code("127.0.0.1", refusing_relay, "ABC234"), usbip.RelayError, E.RELAY_FULL,
             "Relay returned: ERROR Relay capacity reached"),
        ]
        for call, cls, code, message in cases:
            with pytest.raises(usbip.UsbipError) as err:
                call()
            assert type(err.value) is cls, message
            assert err.value.code is code, message
            assert str(err.value) == err.value.message == message
    assert issubclass(usbip.TimeoutError, builtins.TimeoutError)
    assert issubclass(usbip.NotFoundError, LookupError)


def test_an_address_backed_off_after_wrong_passwords_is_told_so_by_its_own_class(ports):
    # Five wrong passwords within a minute make the server refuse the
    # address: the client learns that, not a missing challenge.
    with usbip.Server(ports[0], password="pw"):
        for _ in range(5):
            with pytest.raises(usbip.AuthenticationError) as err:
                usbip.list_remote("127.0.0.1", ports[0], password="wrong")
            assert err.value.code is usbip.ErrorCode.PASSWORD_REJECTED
        with pytest.raises(usbip.RefusedError) as err:
            usbip.list_remote("127.0.0.1", ports[0], password="pw")
        assert err.value.code is usbip.ErrorCode.REFUSED
        assert err.value.message.startswith("Server refuses this address for ")
    assert issubclass(usbip.RefusedError, usbip.AuthenticationError)


def test_error_codes_are_the_headers():
    # The binding's numbers are the header's: a renumbering on either side
    # would map failures to the wrong classes.
    header = (Path(__file__).resolve().parents[3] / "include" / "halvoren_usbip.h").read_text()
    names = dict((n, int(v)) for n, v in re.findall(r"USBIP_ERROR_([A-Z_]+) = (\d+)", header))
    assert names == {c.name: c.value for c in usbip.ErrorCode}


def test_calls_from_many_threads_keep_their_own_results_and_messages(ports):
    server_port, relay_port = ports
    # The relay lets 4 pairings wait for one server at once and refuses a
    # fifth: at most 4 threads list by code at a time.
    by_code_at_once = threading.BoundedSemaphore(4)
    with usbip.Relay(relay_port), usbip.Server(server_port, password="pw") as server:
        code = server.register_relay("127.0.0.1", relay_port)

        def one(i):
            password = "pw" if i % 2 == 0 else f"wrong-{i}"
            direct = i % 4 < 2
            try:
                if direct:
                    return usbip.list_remote("127.0.0.1", server_port, password=password)
                with by_code_at_once:
                    return usbip.list_by_code("127.0.0.1", relay_port, code, password=password)
            except usbip.AuthenticationError as e:
                return e.message

        with ThreadPoolExecutor(max_workers=8) as pool:
            results = list(pool.map(one, range(32), timeout=60))
    for i, result in enumerate(results):
        if i % 2 == 0:
            assert result == [], i
        else:
            assert result == "Authentication rejected by server (invalid password)", i


def _python_reporting_library_path(env, pythonpath):
    env = dict(env, PYTHONPATH=str(pythonpath))
    out = subprocess.run(
        [sys.executable, "-c", "import halvoren_usbip as u; print(u.library().path); print(u.protocol_version())"],
        env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


def test_the_library_is_found_by_variable_beside_the_package_or_on_the_system_path(tmp_path):
    built = Path(os.environ[usbip.LIBRARY_VARIABLE]).resolve()
    package = Path(usbip.__file__).parent
    env = {k: v for k, v in os.environ.items() if k != usbip.LIBRARY_VARIABLE}

    beside = tmp_path / "beside"
    shutil.copytree(package, beside / "halvoren_usbip", ignore=shutil.ignore_patterns("*.so*", "__pycache__"))
    shutil.copy(built, beside / "halvoren_usbip" / "libhalvoren-usbip.so.0")
    assert _python_reporting_library_path(env, beside) == [
        str(beside / "halvoren_usbip" / "libhalvoren-usbip.so.0"), "273"]

    system = tmp_path / "system"
    shutil.copytree(package, system / "halvoren_usbip", ignore=shutil.ignore_patterns("*.so*", "__pycache__"))
    libdir = tmp_path / "lib"
    libdir.mkdir()
    shutil.copy(built, libdir / "libhalvoren-usbip.so.0")
    path, version = _python_reporting_library_path(dict(env, LD_LIBRARY_PATH=str(libdir)), system)
    assert version == "273" and "/" not in path  # the loader's search, by name

    # The variable comes first, even with a copy beside the package.
    assert _python_reporting_library_path(dict(env, HALVOREN_USBIP_LIBRARY=str(built)), beside) == [
        str(built), "273"]


def test_a_script_that_ends_while_everything_runs_exits_at_once(ports):
    # No stop, no cleanup: the interpreter's exit must neither hang on the
    # library's threads nor abort.
    server_port, relay_port = ports
    script = (
        "import socket, halvoren_usbip as u\n"
        f"u.Relay({relay_port}).start()\n"
        f"s = u.Server({server_port}, password='pw').start()\n"
        f"s.register_relay('127.0.0.1', {relay_port})\n"
        f"idle = socket.create_connection(('127.0.0.1', {server_port}))\n"
        "print('running', flush=True)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], env=dict(os.environ), capture_output=True, text=True,
                         timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "running\n"


def _older_server(flag: int):
    """A server of the older handshake with a password (flag 1), or one
    without a password (flag 0), for one connection on a thread: it accepts
    any reply and answers an empty device list. The bytes the client sent
    come back through the returned list once the thread is done."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(1)
    s.settimeout(10)
    sent = []

    def serve():
        try:
            conn, _ = s.accept()
        except OSError:
            return
        with conn:
            conn.sendall(flag.to_bytes(4, "big") + bytes(32))
            reply = _recv_exactly(conn, 32 if flag else 4)
            sent.append(reply)
            if reply:
                conn.sendall(bytes(4))
                _recv_exactly(conn, 8)
                conn.sendall(bytes.fromhex("011100050000000000000000"))

    t = threading.Thread(target=serve)
    t.start()
    return s, t, sent


def test_with_a_password_the_secure_exchange_is_required_unless_allowed(ports):
    for flag in (1, 0):
        s, t, sent = _older_server(flag)
        with s:
            with pytest.raises(usbip.AuthenticationError) as err:
                usbip.list_remote("127.0.0.1", s.getsockname()[1], password="pw")
            t.join()
        assert str(err.value) == "Server does not offer the secure password exchange"
        assert sent == [b""]  # nothing was sent: nothing to test offline
        s, t, sent = _older_server(flag)
        with s:
            assert usbip.list_remote("127.0.0.1", s.getsockname()[1], password="pw", allow_insecure=True) == []
            t.join()
        assert len(sent[0]) == (32 if flag else 4)
    # Without a password there is nothing to protect.
    s, t, sent = _older_server(0)
    with s:
        assert usbip.list_remote("127.0.0.1", s.getsockname()[1]) == []
        t.join()
    # This library's server offers it, directly and through a relay.
    server_port, relay_port = ports
    with usbip.Relay(relay_port), usbip.Server(server_port, password="pw") as server:
        code = server.register_relay("127.0.0.1", relay_port)
        assert usbip.list_remote("127.0.0.1", server_port, password="pw") == []
        assert usbip.list_by_code("127.0.0.1", relay_port, code, password="pw") == []
    assert not usbip.library().set_require_secure()  # the library's default is left as it was


def test_calls_that_allow_older_servers_never_weaken_the_others(ports):
    server_port, _ = ports
    with usbip.Server(server_port, password="pw"):
        def secure(_):
            return usbip.list_remote("127.0.0.1", server_port, password="pw")

        def insecure(_):
            s, t, _sent = _older_server(1)
            with s:
                result = usbip.list_remote("127.0.0.1", s.getsockname()[1], password="pw", allow_insecure=True)
                t.join()
            return result

        with ThreadPoolExecutor(8) as pool:
            results = list(pool.map(lambda i: (insecure if i % 3 == 0 else secure)(i), range(24)))
    assert results == [[]] * 24


def test_the_servers_tls_key_kept_in_a_file_and_pinned_by_clients(ports, tmp_path):
    server_port, _ = ports
    key_file = str(tmp_path / "server.key")
    with usbip.Server(server_port, password="pw", tls=True, key_file=key_file) as server:
        first = server.fingerprint
        assert re.fullmatch(r"[0-9a-f]{64}", first)
        assert usbip.server_fingerprint("127.0.0.1", server_port) == first
        assert usbip.list_remote("127.0.0.1", server_port, "pw", tls=True, fingerprint=first) == []
        assert usbip.list_remote("127.0.0.1", server_port, "pw", tls=True, fingerprint=first.upper()) == []
    assert oct(os.stat(key_file).st_mode & 0o777) == "0o600"
    with usbip.Server(server_port, password="pw", tls=True, key_file=key_file) as server:
        assert server.fingerprint == first  # the same key after a restart
    with usbip.Server(server_port, password="pw", tls=True) as server:
        changed = server.fingerprint
        assert changed != first
        with pytest.raises(usbip.AuthenticationError) as err:
            usbip.list_remote("127.0.0.1", server_port, "pw", tls=True, fingerprint=first)
        assert str(err.value) == f"Server key {changed} does not match the pinned fingerprint {first}"
        # The pin ends with the call.
        assert usbip.list_remote("127.0.0.1", server_port, "pw", tls=True) == []
    with pytest.raises(ValueError, match="only a running server with TLS"):
        server.fingerprint
