"""Certificates made at test time with the openssl command, and a mosquitto with a listener for each
TLS situation the tests need.

`Certificates(dir)` makes a private CA and, signed by it, a server certificate for 127.0.0.1 and
localhost, one for another name only, an expired one and a client certificate (its key encrypted
with CLIENT_KEY_PASSWORD), plus a self-signed client certificate the CA never signed.
`TlsBroker(certs)` is a Broker whose plain listener is its main port and whose `ports` name the
others. A server that speaks TLS 1.1 only is `openssl s_server` (`LegacyTlsServer`): mosquitto's
`tls_version` is a minimum, not a maximum.
"""

from __future__ import annotations

import os
import socket
import subprocess
import time
from pathlib import Path

from broker.harness import Broker, free_port

CLIENT_KEY_PASSWORD = "client-key-secret"


# A fresh P-256 key for each certificate request.
NEW_EC_KEY = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1")


def openssl(*args: str, cwd: Path) -> None:
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Certificates:
    def __init__(self, directory: Path):
        self.dir = directory
        # mosquitto may drop to its own user before it reads the files.
        os.chmod(directory, 0o755)
        self._authority()
        self.server = self._signed(
            "server", "localhost", "DNS:localhost,IP:127.0.0.1", "serverAuth"
        )
        self.other = self._signed("other", "other.example", "DNS:other.example", "serverAuth")
        self.expired = self._signed(
            "expired",
            "localhost",
            "DNS:localhost,IP:127.0.0.1",
            "serverAuth",
            dates=("20200101000000Z", "20200201000000Z"),
        )
        self.client = self._signed(
            "client",
            "movra-client",
            "DNS:movra-client",
            "clientAuth",
            key_password=CLIENT_KEY_PASSWORD,
        )
        self.rogue_client = self._self_signed("rogue-client", "movra-client")
        for path in directory.iterdir():
            os.chmod(path, 0o644)

    @property
    def ca(self) -> Path:
        return self.dir / "ca.pem"

    def _authority(self) -> None:
        openssl(
            "req",
            "-x509",
            *NEW_EC_KEY,
            "-nodes",
            "-keyout",
            "ca.key",
            "-out",
            "ca.pem",
            "-days",
            "2",
            "-subj",
            "/CN=movra test CA",
            "-addext",
            "basicConstraints=critical,CA:TRUE",
            "-addext",
            "keyUsage=critical,keyCertSign,cRLSign",
            cwd=self.dir,
        )
        (self.dir / "index.txt").write_text("")
        (self.dir / "serial").write_text("1000\n")
        (self.dir / "ca.cnf").write_text(
            "[ca]\ndefault_ca = test\n"
            "[test]\ndatabase = index.txt\nnew_certs_dir = .\nserial = serial\n"
            "default_md = sha256\npolicy = anything\nunique_subject = no\ncopy_extensions = none\n"
            "[anything]\ncommonName = supplied\n"
        )

    def _signed(
        self,
        name: str,
        common_name: str,
        names: str,
        usage: str,
        *,
        dates: tuple[str, str] | None = None,
        key_password: str | None = None,
    ):
        key = ["-passout", f"pass:{key_password}"] if key_password else ["-nodes"]
        openssl(
            "req",
            "-new",
            *NEW_EC_KEY,
            *key,
            "-keyout",
            f"{name}.key",
            "-out",
            f"{name}.csr",
            "-subj",
            f"/CN={common_name}",
            cwd=self.dir,
        )
        (self.dir / f"{name}.ext").write_text(
            f"subjectAltName = {names}\nextendedKeyUsage = {usage}\nbasicConstraints = CA:FALSE\n"
        )
        start, end = dates or ("20000101000000Z", "20991231000000Z")
        # The CA's own validity is two days; a leaf may outlive it in a test, nothing checks that.
        openssl(
            "ca",
            "-batch",
            "-config",
            "ca.cnf",
            "-cert",
            "ca.pem",
            "-keyfile",
            "ca.key",
            "-in",
            f"{name}.csr",
            "-out",
            f"{name}.pem",
            "-notext",
            "-startdate",
            start,
            "-enddate",
            end,
            "-extfile",
            f"{name}.ext",
            cwd=self.dir,
        )
        return self.dir / f"{name}.pem", self.dir / f"{name}.key"

    def _self_signed(self, name: str, common_name: str):
        openssl(
            "req",
            "-x509",
            *NEW_EC_KEY,
            "-nodes",
            "-keyout",
            f"{name}.key",
            "-out",
            f"{name}.pem",
            "-days",
            "2",
            "-subj",
            f"/CN={common_name}",
            "-addext",
            "extendedKeyUsage=clientAuth",
            cwd=self.dir,
        )
        return self.dir / f"{name}.pem", self.dir / f"{name}.key"


def tls_listener(port: int, cert: tuple[Path, Path], ca: Path, *extra: str) -> list[str]:
    return [
        f"listener {port} 127.0.0.1",
        f"cafile {ca}",
        f"certfile {cert[0]}",
        f"keyfile {cert[1]}",
        *extra,
    ]


def listener_lines(certs: Certificates, name: str, port: int) -> list[str]:
    if name == "ws":
        return [f"listener {port} 127.0.0.1", "protocol websockets"]
    cert = {"other_name": certs.other, "expired": certs.expired}.get(name, certs.server)
    extra = {"mutual": ["require_certificate true"], "wss": ["protocol websockets"]}
    return tls_listener(port, cert, certs.ca, *extra.get(name, []))


# The listeners of TlsBroker: "tls" and "mutual" serve both ssl:// and mqtts://.
LISTENERS = ("tls", "other_name", "expired", "mutual", "ws", "wss")


class TlsBroker(Broker):
    """A Broker with a listener of each name in `listeners` besides its plain one; `ports` maps the
    names to their ports. start() returns once every listener accepts connections."""

    def __init__(
        self,
        certs: Certificates,
        listeners=LISTENERS,
        *,
        extra: list[str] | None = None,
        **broker_options,
    ):
        self.ports = {name: free_port() for name in listeners}
        lines = [
            line for name, port in self.ports.items() for line in listener_lines(certs, name, port)
        ]
        super().__init__(extra=lines + (extra or []), **broker_options)

    def start(self, timeout: float = 10.0) -> TlsBroker:
        super().start(timeout)
        deadline = time.monotonic() + timeout
        for port in self.ports.values():
            while True:
                if self.process.poll() is not None:
                    raise RuntimeError(
                        f"mosquitto exited with {self.process.returncode}:\n"
                        + self.log.read_text(errors="replace")
                    )
                try:
                    with socket.create_connection((self.host, port), timeout=0.2):
                        break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.02)
        return self


class LegacyTlsServer:
    """`openssl s_server` speaking TLS 1.1 and nothing later (security level 0 allows it), with the
    server certificate: a condition no mosquitto of today can produce."""

    def __init__(self, certs: Certificates):
        self.port = free_port()
        self.address = f"127.0.0.1:{self.port}"
        cert, key = certs.server
        self.process = subprocess.Popen(
            [
                "openssl",
                "s_server",
                "-accept",
                f"127.0.0.1:{self.port}",
                "-tls1_1",
                "-cipher",
                "DEFAULT@SECLEVEL=0",
                "-cert",
                str(cert),
                "-key",
                str(key),
                "-quiet",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + 10
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    self.close()
                    raise RuntimeError("openssl s_server did not listen") from None
                time.sleep(0.02)

    def negotiated_version(self, ca: Path) -> str:
        """The version an unrestricted client gets from this server (Python's ssl module)."""
        import ssl
        import warnings

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.load_verify_locations(ca)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1_1
        context.set_ciphers("DEFAULT@SECLEVEL=0")
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as raw:
            with context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                return tls.version()

    def close(self) -> None:
        self.process.kill()
        self.process.wait()
