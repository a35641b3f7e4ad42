"""Measures reconnection timings against a real mosquitto.

    .venv/bin/python bench/reconnect_timings.py [restarts]

1. Recovery time: the broker is killed and, at a random point of the worker's back-off, started
   again; the time from the broker accepting connections (Broker.start() returns) to the (true, 0)
   notification, with the Python default maxReconnectInterval of 1 s.
2. The time stop() takes while the worker is inside a 60 s back-off (about 66 s of failing first).
"""

from __future__ import annotations

import random
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import movra_sdk  # noqa: E402
from broker.harness import Broker  # noqa: E402


class Notifications:
    def __init__(self):
        self.events: list[tuple[float, bool, int]] = []
        self.cond = threading.Condition()

    def __call__(self, connected: bool, code: int) -> None:
        with self.cond:
            self.events.append((time.monotonic(), connected, code))
            self.cond.notify_all()

    def nth(self, connected: bool, code: int, n: int) -> float:
        def times():
            return [t for t, c, k in self.events if (c, k) == (connected, code)]

        with self.cond:
            if not self.cond.wait_for(lambda: len(times()) >= n, 15):
                raise TimeoutError(f"no ({connected}, {code}) #{n}")
            return times()[n - 1]


def recovery(restarts: int) -> list[float]:
    notes = Notifications()
    samples = []
    with Broker() as broker:
        sdk = movra_sdk.SDK()
        sdk.on_connection(notes)
        sdk.init("timing-recovery", broker.address, "tcp", "", "")
        assert sdk.connect()
        for i in range(restarts):
            broker.kill()
            notes.nth(False, -1, i + 1)
            time.sleep(random.uniform(0.0, 2.0))
            broker.start()
            up = time.monotonic()
            samples.append(notes.nth(True, 0, i + 2) - up)
        sdk.stop()
    return samples


def stop_in_long_back_off() -> float:
    with Broker() as broker:
        sdk = movra_sdk.SDK()
        sdk.init("timing-stop", broker.address, "tcp", "", "", maxReconnectInterval=60)
        assert sdk.connect()
        broker.kill()
        # Waits of 1, 2, 4, 8, 16 and 32 s, each after a failed attempt: then the 60 s one.
        time.sleep(63 + 3)
        t0 = time.monotonic()
        sdk.stop()
        return time.monotonic() - t0


def main() -> None:
    random.seed(1)
    restarts = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    s = recovery(restarts)
    took = stop_in_long_back_off()
    print(
        f"recovery over {len(s)} restarts: min {min(s) * 1000:.0f} ms, median "
        f"{statistics.median(s) * 1000:.0f} ms, mean {statistics.mean(s) * 1000:.0f} ms, "
        f"max {max(s) * 1000:.0f} ms",
        file=sys.stderr,
    )
    print(f"stop during a 60 s back-off: {took * 1000:.2f} ms", file=sys.stderr)


if __name__ == "__main__":
    main()
