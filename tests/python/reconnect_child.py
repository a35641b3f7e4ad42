"""Child-process side of the reconnection tests: a timestamping console tap and an event recorder.

A child script (run through the `child` fixture) imports this module, runs a scenario against a real
broker and prints one `RESULT {json}` line. The native console lines still reach the child's real
stdout and stderr byte for byte, so the test asserts on them as well.
"""

from __future__ import annotations

import ctypes
import json
import os
import re
import sys
import threading
import time

_IONBF = 2


class ConsoleTap:
    """Tees file descriptors 1 and 2 through pipes and timestamps every line as it is written.

    The native console writes through C stdio; with a pipe as standard output that stream is fully
    buffered and its lines would only appear at exit, so standard output is made unbuffered first:
    each console line then becomes one write at the moment it is produced.
    """

    def __init__(self):
        libc = ctypes.CDLL(None)
        libc.setvbuf(ctypes.c_void_p.in_dll(libc, "stdout"), None, _IONBF, 0)
        sys.stdout.flush()
        sys.stderr.flush()
        self.lines: list[tuple[float, str, str]] = []
        self._cond = threading.Condition()
        self._saved: dict[int, int] = {}
        self._threads = []
        for fd, name in ((1, "out"), (2, "err")):
            read_end, write_end = os.pipe()
            self._saved[fd] = os.dup(fd)
            os.dup2(write_end, fd)
            os.close(write_end)
            t = threading.Thread(
                target=self._pump, args=(read_end, self._saved[fd], name), daemon=True
            )
            t.start()
            self._threads.append(t)

    def _pump(self, read_end: int, sink: int, name: str) -> None:
        pending = b""
        while True:
            chunk = os.read(read_end, 65536)
            if not chunk:
                break
            now = time.monotonic()
            os.write(sink, chunk)
            pending += chunk
            *complete, pending = pending.split(b"\n")
            with self._cond:
                for line in complete:
                    self.lines.append((now, name, line.decode("utf-8", "replace")))
                self._cond.notify_all()
        os.close(read_end)

    def close(self) -> None:
        """Puts the real descriptors back and waits until everything written so far is through."""
        sys.stdout.flush()
        sys.stderr.flush()
        for fd, saved in self._saved.items():
            os.dup2(saved, fd)
        for t in self._threads:
            t.join(timeout=10)

    def matching(self, pattern: str, stream: str | None = None, since: float = 0.0):
        """(time, text) of the lines matching the regular expression, in order of writing."""
        rx = re.compile(pattern)
        with self._cond:
            return [
                (t, text)
                for t, s, text in self.lines
                if (stream is None or s == stream) and t >= since and rx.search(text)
            ]

    def wait_line(
        self,
        pattern: str,
        stream: str | None = None,
        count: int = 1,
        timeout: float = 10.0,
        since: float = 0.0,
    ) -> float:
        """Waits for the count-th line matching the pattern; returns its time."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = self.matching(pattern, stream, since)
                if len(found) >= count:
                    return found[count - 1][0]
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError(f"no line {pattern!r} x{count} within {timeout}s")
                self._cond.wait(remaining)

    def watch_for(self, pattern: str, stream: str | None, since: float, until: float):
        """Lines matching the pattern written since `since`, waiting until `until` for the first one
        (an absence check that ends as soon as the unwanted line appears)."""
        with self._cond:
            while not (found := self.matching(pattern, stream, since)):
                remaining = until - time.monotonic()
                if remaining <= 0:
                    break
                self._cond.wait(remaining)
            return found


def attempt_due(start: float, wait: float = 1.0) -> float:
    """When a reconnect worker waiting `wait` seconds (one with the default ceiling) from `start`
    will have announced its next attempt, with room for a busy machine."""
    return start + wait + 0.3


class Recorder:
    """Collects connection notifications and messages with the time they reached the handler."""

    def __init__(self):
        self.events: list[tuple] = []
        self._cond = threading.Condition()

    def on_connection(self, connected: bool, code: int) -> None:
        self._add(("conn", connected, code))

    def on_message(self, topic: str, payload: str) -> None:
        self._add(("msg", topic, payload))

    def _add(self, event: tuple) -> None:
        with self._cond:
            self.events.append((time.monotonic(), *event))
            self._cond.notify_all()

    def wake(self) -> None:
        """Makes waiters test their condition again, after state kept outside the recorder changed."""
        with self._cond:
            self._cond.notify_all()

    def connections(self, since: float = 0.0) -> list[list]:
        with self._cond:
            return [[e[2], e[3]] for e in self.events if e[1] == "conn" and e[0] >= since]

    def messages(self, since: float = 0.0) -> list[str]:
        with self._cond:
            return [e[3] for e in self.events if e[1] == "msg" and e[0] >= since]

    def wait(self, predicate, timeout: float = 10.0) -> float:
        """Waits until predicate(events) holds; returns the time it first held."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate(self.events):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError(f"condition not met within {timeout}s: {self.events!r}")
                self._cond.wait(remaining)
            return time.monotonic()

    def wait_connection(
        self, connected: bool, code: int, count: int = 1, timeout: float = 10.0
    ) -> float:
        """Waits for the count-th notification (connected, code); returns when it reached us."""

        def times():
            return [
                e[0] for e in self.events if e[1] == "conn" and e[2] == connected and e[3] == code
            ]

        self.wait(lambda _: len(times()) >= count, timeout)
        with self._cond:
            return times()[count - 1]


def result(**values) -> None:
    """Hands the scenario's findings to the test as one line."""
    print("RESULT " + json.dumps(values), flush=True)


def parse_result(stdout: str) -> dict:
    for line in stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT ") :])
    raise AssertionError("the child printed no RESULT line")
