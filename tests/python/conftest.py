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
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code), *args],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    return ChildResult(proc.returncode, proc.stdout, proc.stderr)


@pytest.fixture
def child():
    return run_child
