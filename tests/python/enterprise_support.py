"""Helpers for the Enterprise tests: where the key pair and the broker plugin are, a broker that runs
the plugin, a relay that records what clients send in CONNECT, and token decryption with jwcrypto
(a JOSE library the module does not use).

The development key pair is shared by every build tree of the checkout (build/dev-key, made by
movra_keygen on the first build). A build with a deployment key (MOVRA_SERVER_JWK) is tested by
naming its private half in MOVRA_SERVER_PRIVATE_JWK.
"""

from __future__ import annotations

import base64
import json
import os
import select
import socket
import struct
import tempfile
import threading
from dataclasses import dataclass
from pathlib import Path

import pytest
from jwcrypto import jwe, jwk

from broker.harness import Broker

ROOT = Path(__file__).resolve().parents[2]
NATIVE = ROOT / "build" / "native"
DEV_KEY_DIR = ROOT / "build" / "dev-key"
KEYGEN = NATIVE / "crypto" / "movra_keygen"


def private_key_path() -> Path:
    return Path(os.environ.get("MOVRA_SERVER_PRIVATE_JWK", DEV_KEY_DIR / "server_private.jwk"))


def plugin_path() -> Path:
    return Path(os.environ.get("MOVRA_JWE_AUTH_PLUGIN", NATIVE / "broker" / "movra_jwe_auth.so"))


def require(path: Path, what: str) -> Path:
    if not path.is_file():
        pytest.fail(f"{what} not found at {path}: run 'make native' first")
    return path


def load_private_key() -> jwk.JWK:
    return jwk.JWK.from_json(require(private_key_path(), "the server's private key").read_text())


# --- tokens -------------------------------------------------------------------------------------


def b64url_decode(segment: str) -> bytes:
    return base64.urlsafe_b64decode(segment + "=" * (-len(segment) % 4))


def protected_header(token: str) -> dict:
    return json.loads(b64url_decode(token.split(".")[0]))


def decrypt(token: str, key: jwk.JWK | None = None) -> bytes:
    """The plaintext of a compact JWE made with RSA-OAEP and A256GCM; raises if it is not one."""
    message = jwe.JWE()
    message.deserialize(token, key or load_private_key())
    return message.payload


def decrypt_by_hand(token: str, key: jwk.JWK | None = None) -> bytes:
    """The same decryption done step by step with the cryptography package (RFC 7516, 5.2):
    RSA-OAEP unwraps the content key, AES-256-GCM opens the ciphertext with the protected header as
    additional data. jwcrypto takes an empty plaintext for a failed decryption, so the empty password
    is checked this way."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import padding
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    header, wrapped_key, iv, ciphertext, tag = token.split(".")
    assert protected_header(token) == {"alg": "RSA-OAEP", "enc": "A256GCM"}
    private = (key or load_private_key()).get_op_key("unwrapKey")
    oaep = padding.OAEP(mgf=padding.MGF1(hashes.SHA1()), algorithm=hashes.SHA1(), label=None)
    content_key = private.decrypt(b64url_decode(wrapped_key), oaep)
    return AESGCM(content_key).decrypt(
        b64url_decode(iv), b64url_decode(ciphertext) + b64url_decode(tag), header.encode("ascii")
    )


# --- a broker that decrypts ---------------------------------------------------------------------


def plugin_lines(
    credentials: dict[str, str],
    *,
    key: Path | None = None,
    password_file: Path | None = None,
    penalty_max_ms: int | None = None,
) -> list[str]:
    """The configuration lines that run the plugin and admit only clients whose JWE password it
    decrypts to the password listed for their user name (or in password_file, when given)."""
    passwords = password_file
    if passwords is None:
        passwords = Path(tempfile.mkdtemp(prefix="movra-jwe-auth-")) / "passwords"
        passwords.write_bytes(
            "".join(f"{user}:{password}\n" for user, password in credentials.items()).encode(
                "utf-8"
            )
        )
    penalty = [] if penalty_max_ms is None else [f"plugin_opt_penalty_max_ms {penalty_max_ms}"]
    # Started as root, mosquitto would drop to the "mosquitto" user before the plugin reads the key
    # and the password file, which belong to whoever runs the tests and are readable by them alone.
    run_as = ["user root"] if os.geteuid() == 0 else []
    return [
        *run_as,
        f"plugin {require(plugin_path(), 'the broker plugin')}",
        f"plugin_opt_private_key {key or require(private_key_path(), 'the server private key')}",
        f"plugin_opt_password_file {passwords}",
        *penalty,
    ]


def plugin_broker(
    credentials: dict[str, str],
    *,
    key: Path | None = None,
    log_verbose: bool = True,
    password_file: Path | None = None,
    penalty_max_ms: int | None = None,
) -> Broker:
    """A mosquitto (not started) with the plugin of plugin_lines."""
    return Broker(
        allow_anonymous=False,
        log_verbose=log_verbose,
        extra=plugin_lines(
            credentials, key=key, password_file=password_file, penalty_max_ms=penalty_max_ms
        ),
    )


# --- MQTT on the wire ---------------------------------------------------------------------------


@dataclass
class Connect:
    """The fields of one CONNECT packet."""

    protocol: str
    level: int
    client_id: bytes
    username: bytes | None
    password: bytes | None

    @property
    def token(self) -> str:
        assert self.password is not None, "the CONNECT carried no password"
        return self.password.decode("ascii")


def _read_exact(sock: socket.socket, size: int) -> bytes:
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise ConnectionError("closed mid-packet")
        data += chunk
    return data


def read_packet(sock: socket.socket) -> tuple[int, bytes, bytes]:
    """One MQTT packet: (first byte, body, the raw bytes as received)."""
    first = _read_exact(sock, 1)
    raw = first
    length, shift = 0, 0
    while True:
        byte = _read_exact(sock, 1)
        raw += byte
        length |= (byte[0] & 0x7F) << shift
        if not byte[0] & 0x80:
            break
        shift += 7
    body = _read_exact(sock, length)
    return first[0], body, raw + body


def _field(body: bytes, pos: int) -> tuple[bytes, int]:
    (size,) = struct.unpack_from("!H", body, pos)
    return body[pos + 2 : pos + 2 + size], pos + 2 + size


def parse_connect(body: bytes) -> Connect:
    protocol, pos = _field(body, 0)
    level, flags = body[pos], body[pos + 1]
    pos += 4  # level, flags, keep-alive
    if level == 5:
        raise ValueError("MQTT 5 CONNECT not expected")
    client_id, pos = _field(body, pos)
    if flags & 0x04:  # will topic and message
        _, pos = _field(body, pos)
        _, pos = _field(body, pos)
    username = password = None
    if flags & 0x80:
        username, pos = _field(body, pos)
    if flags & 0x40:
        password, pos = _field(body, pos)
    return Connect(protocol.decode(), level, client_id, username, password)


def encode_connect(client_id: str, username: str, password: bytes) -> bytes:
    """An MQTT 3.1.1 CONNECT with a clean session, a user name and a password."""

    def field(data: bytes) -> bytes:
        return struct.pack("!H", len(data)) + data

    body = (
        field(b"MQTT")
        + bytes([4, 0xC2])
        + struct.pack("!H", 30)
        + field(client_id.encode())
        + field(username.encode())
        + field(password)
    )
    length, encoded = len(body), b""
    while True:
        byte, length = length % 128, length // 128
        encoded += bytes([byte | (0x80 if length else 0)])
        if not length:
            break
    return b"\x10" + encoded + body


def connack_code(port: int, username: str, password: bytes) -> int:
    """Sends one CONNECT to 127.0.0.1:port and returns the return code of the CONNACK."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(encode_connect("movra-raw", username, password))
        kind, body, _ = read_packet(sock)
        assert kind == 0x20, f"expected CONNACK, got packet type {kind >> 4}"
        return body[1]


class WireTap:
    """A relay on a free 127.0.0.1 port in front of a broker that records each client's CONNECT.

    A broker never shows the password a client sent; the relay reads it off the wire and passes every
    byte on unchanged. While the broker is down the relay still reads and records the CONNECT, then
    closes the client's connection, as a refusing broker would.
    """

    def __init__(self, upstream_port: int):
        self.upstream_port = upstream_port
        self.connects: list[Connect] = []
        self._changed = threading.Condition()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._sockets: set[socket.socket] = set()
        self._threads: list[threading.Thread] = []
        self._closed = False
        self._spawn(self._accept_loop)

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def wait_for(self, count: int, timeout: float = 20) -> list[Connect]:
        with self._changed:
            if not self._changed.wait_for(lambda: len(self.connects) >= count, timeout):
                raise AssertionError(f"{len(self.connects)} CONNECT packets seen, expected {count}")
            return list(self.connects)

    def _spawn(self, target, *args) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True)
        self._threads.append(thread)
        thread.start()

    def _track(self, sock: socket.socket) -> bool:
        with self._changed:
            if self._closed:
                sock.close()
                return False
            self._sockets.add(sock)
            return True

    def _accept_loop(self) -> None:
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            if self._track(client):
                self._spawn(self._relay, client)

    def _relay(self, client: socket.socket) -> None:
        upstream = None
        try:
            kind, body, raw = read_packet(client)
            if kind >> 4 == 1:
                with self._changed:
                    self.connects.append(parse_connect(body))
                    self._changed.notify_all()
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port), timeout=5)
            if not self._track(upstream):
                return
            upstream.sendall(raw)
            pair = {client: upstream, upstream: client}
            while True:
                readable, _, _ = select.select(list(pair), [], [])
                for sock in readable:
                    data = sock.recv(65536)
                    if not data:
                        return
                    pair[sock].sendall(data)
        except (OSError, ConnectionError, ValueError):
            return
        finally:
            for sock in (client, upstream):
                if sock is not None:
                    try:
                        sock.close()
                    except OSError:
                        pass

    def close(self) -> None:
        with self._changed:
            self._closed = True
            sockets = list(self._sockets)
        try:
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in self._threads:
            thread.join(timeout=5)

    def __enter__(self) -> WireTap:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class ConnectionLog:
    """Collects (connected, code) notifications of an SDK and waits for one."""

    def __init__(self):
        self.events: list[tuple[bool, int]] = []
        self._changed = threading.Condition()

    def __call__(self, connected: bool, code: int) -> None:
        with self._changed:
            self.events.append((connected, code))
            self._changed.notify_all()

    def wait_for(self, event: tuple[bool, int], count: int = 1, timeout: float = 20) -> None:
        with self._changed:
            if not self._changed.wait_for(lambda: self.events.count(event) >= count, timeout):
                raise AssertionError(f"{event} x{count} not seen; events: {self.events}")
