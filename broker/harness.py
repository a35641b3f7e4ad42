"""A real mosquitto on a free 127.0.0.1 port, for tests, examples and benchmarks.

    with Broker() as broker:
        sdk.init("id", broker.address, "tcp", "", "")
        broker.kill()      # the process dies at once (SIGKILL), the port stays reserved for it
        broker.start()     # back on the same port

The configuration is broker/mosquitto.conf.in (shared with the native harness) filled in:
anonymous clients allowed, no persistence file and `max_queued_messages 0` unless told otherwise;
`extra` adds lines (a plugin, a password file...).
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def mosquitto_binary() -> str:
    for candidate in (shutil.which("mosquitto"), "/usr/sbin/mosquitto"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise RuntimeError("mosquitto not found: run 'make setup'")


class Broker:
    def __init__(
        self,
        port: int | None = None,
        *,
        max_queued_messages: int = 0,
        allow_anonymous: bool = True,
        extra: list[str] | None = None,
        log_verbose: bool = False,
    ):
        self.port = port or free_port()
        self.host = "127.0.0.1"
        self._dir = Path(tempfile.mkdtemp(prefix="movra-broker-"))
        self.config = self._dir / "mosquitto.conf"
        self.log = self._dir / "mosquitto.log"
        text = (
            Path(__file__)
            .with_name("mosquitto.conf.in")
            .read_text()
            .replace("@PORT@", str(self.port))
            .replace("@ALLOW_ANONYMOUS@", "true" if allow_anonymous else "false")
            .replace("@MAX_QUEUED_MESSAGES@", str(max_queued_messages))
            .replace("@LOG_TYPE@", "all" if log_verbose else "error")
        )
        self.config.write_text(text + "".join(line + "\n" for line in extra or []))
        self.process: subprocess.Popen | None = None

    @property
    def address(self) -> str:
        """host:port, as init() takes it for brokerHost."""
        return f"{self.host}:{self.port}"

    def start(self, timeout: float = 10.0) -> Broker:
        if self.process is not None and self.process.poll() is None:
            return self
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(
                [mosquitto_binary(), "-c", str(self.config)],
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(
                    f"mosquitto exited with {self.process.returncode}:\n"
                    + self.log.read_text(errors="replace")
                )
            try:
                with socket.create_connection((self.host, self.port), timeout=0.2):
                    return self
            except OSError:
                time.sleep(0.02)
        self.kill()
        raise RuntimeError(f"mosquitto did not listen on {self.address} within {timeout}s")

    def kill(self) -> None:
        """Ends the broker at once, as a crash would."""
        self._end(signal.SIGKILL)

    def stop(self) -> None:
        """Ends the broker in an orderly way."""
        self._end(signal.SIGTERM)

    def _end(self, sig: int) -> None:
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def restart(self) -> Broker:
        self.stop()
        return self.start()

    def wait_for_log(self, text: str, timeout: float = 20.0) -> None:
        """Waits until the broker's log holds text (a reload, a refusal...)."""
        deadline = time.monotonic() + timeout
        while text not in self.log.read_text(errors="replace"):
            if time.monotonic() > deadline:
                raise AssertionError(f"{text!r} not in the broker log:\n" + self.log.read_text())
            time.sleep(0.02)

    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def close(self) -> None:
        self.kill()
        shutil.rmtree(self._dir, ignore_errors=True)

    def __enter__(self) -> Broker:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()
