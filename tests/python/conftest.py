"""Shared fixtures: a real mosquitto per test, and child processes for console and exit checks."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from broker.harness import Broker  # noqa: E402

# Runs as a step of its own (`make test-deployment`), on the wheel that step builds.
collect_ignore = ["test_enterprise_deployment.py"]


@pytest.fixture
def broker():
    with Broker() as b:
        yield b


@dataclass
class ChildResult:
    returncode: int
    stdout: bytes
    stderr: bytes

    @property
    def out(self) -> str:
        return self.stdout.decode("utf-8")

    @property
    def err(self) -> str:
        return self.stderr.decode("utf-8")


def run_child(code: str, *args: str, timeout: float = 60) -> ChildResult:
    """Runs a Python snippet in a fresh interpreter and returns its exit status and raw streams.

    The native console lines are read at the file-descriptor level, exactly as written. The snippet
    finds the repository on sys.path (for broker.harness) and sys.argv[1:] holds `args`.
    """
    prelude = f"import sys; sys.path.insert(0, {str(ROOT)!r})\n"
    proc = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code), *args],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=timeout,
    )
    return ChildResult(proc.returncode, proc.stdout, proc.stderr)


@pytest.fixture
def child():
    return run_child


# --- Module tests: SDK objects, raw MQTT peers and fake listeners ---------------------------------

import itertools  # noqa: E402
import socket  # noqa: E402
import threading  # noqa: E402

_client_ids = itertools.count()


def unique_client_id(prefix: str = "movra-test") -> str:
    return f"{prefix}-{next(_client_ids)}"


@pytest.fixture
def make_sdk(broker):
    """Creates SDK objects initialised against `broker` (connected unless told otherwise) and stops
    every one of them at the end of the test."""
    import movra_sdk

    made = []

    def make(*, connect: bool = True, **init_args):
        sdk = movra_sdk.SDK()
        made.append(sdk)
        sdk.init(unique_client_id(), broker.address, "tcp", "", "", **init_args)
        if connect:
            assert sdk.connect()
        return sdk

    yield make
    for sdk in made:
        sdk.on_message(None)
        sdk.on_connection(None)
        sdk.stop()
    # Released here, while the test's output is still captured: the deallocation of a stopped
    # object runs the stop sequence once more and writes its "Not connected" line.
    sdk = None
    made.clear()


@pytest.fixture
def raw_client(broker):
    """A paho-mqtt client connected to `broker`, for raw bytes and independent traffic."""
    import paho.mqtt.client as mqtt

    clients = []

    def make():
        c = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=unique_client_id("raw"))
        connected = threading.Event()
        c.on_connect = lambda *a: connected.set()
        c.connect(broker.host, broker.port)
        c.loop_start()
        assert connected.wait(10), "paho client did not connect"
        clients.append(c)
        return c

    yield make
    for c in clients:
        c.disconnect()
        c.loop_stop()


class FakeListener:
    """A TCP listener on 127.0.0.1 for conditions a real broker cannot produce. With
    `connack=False` it accepts and never answers; with `connack=True` it accepts the MQTT CONNECT,
    answers it and then never answers anything else."""

    def __init__(self, connack: bool):
        self.connack = connack
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.address = f"127.0.0.1:{self.port}"
        self.accepted: list[socket.socket] = []
        self._closed = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._closed.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted.append(conn)
            if self.connack:
                threading.Thread(target=self._answer_connect, args=(conn,), daemon=True).start()

    def _answer_connect(self, conn):
        try:
            if conn.recv(1) and self._skip_packet(conn):
                conn.sendall(b"\x20\x02\x00\x00")  # CONNACK, accepted
            while conn.recv(4096):
                pass
        except OSError:
            pass

    @staticmethod
    def _skip_packet(conn) -> bool:
        length, shift = 0, 0
        while True:
            b = conn.recv(1)
            if not b:
                return False
            length |= (b[0] & 0x7F) << shift
            shift += 7
            if not b[0] & 0x80:
                break
        while length:
            chunk = conn.recv(length)
            if not chunk:
                return False
            length -= len(chunk)
        return True

    def close(self):
        self._closed.set()
        self.sock.close()
        for conn in self.accepted:
            try:
                conn.shutdown(socket.SHUT_RDWR)  # wakes a reader blocked on it
            except OSError:
                pass
            conn.close()


@pytest.fixture
def silent_listener():
    listener = FakeListener(connack=False)
    yield listener
    listener.close()


@pytest.fixture
def stalled_broker():
    listener = FakeListener(connack=True)
    yield listener
    listener.close()


@pytest.fixture
def password_file():
    """Writes a mosquitto password file for the given user=password pairs. The broker may drop
    privileges before it reads the file, so the file and its directory are world-readable."""
    import os
    import shutil
    import subprocess
    import tempfile

    directory = Path(tempfile.mkdtemp(prefix="movra-passwords-"))
    os.chmod(directory, 0o755)

    def make(**users: str) -> Path:
        path = directory / "passwords"
        path.write_text("".join(f"{user}:{password}\n" for user, password in users.items()))
        subprocess.run(["mosquitto_passwd", "-U", str(path)], check=True)
        os.chmod(path, 0o644)
        return path

    yield make
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def traffic(raw_client):
    """Keeps messages flowing to a topic from an independent client until the test ends.
    `qos` cycles through the given levels; payloads are `payload` formatted with a counter."""
    import time

    stop = threading.Event()
    threads = []

    def start(
        topic: str, *, qos: tuple[int, ...] = (0,), pause: float = 0.0005, payload: str = "m{}"
    ):
        client = raw_client()

        def run():
            i = 0
            while not stop.is_set():
                client.publish(topic, payload.format(i), qos[i % len(qos)])
                i += 1
                time.sleep(pause)

        t = threading.Thread(target=run, daemon=True)
        t.start()
        threads.append(t)

    yield start
    stop.set()
    for t in threads:
        t.join(10)


@pytest.fixture(autouse=True)
def _console_inside_the_test(request):
    """Objects a test drops are collected, and the module's console lines (buffered by C stdio when
    standard output is not a terminal) written out, while the test's output is still captured: a
    line belongs to the test whose object wrote it."""
    yield
    import ctypes
    import gc

    # The test's own arguments (fixture values) would otherwise live until after its teardown.
    request.node.funcargs.clear()
    gc.collect()
    ctypes.CDLL(None).fflush(None)
