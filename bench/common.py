"""What the two Python benchmark clients share: arguments, payloads, results, statistics.

A client runs one workload per process: `python client_X.py MODE tcp://HOST:PORT key=value ...`,
the same command line as the native client. Its result is one JSON line on the original standard
output; file descriptor 1 itself is pointed at /dev/null first, so that console lines written by a
library can never mix into the result.
"""

from __future__ import annotations

import json
import os
import sys
import threading
import time
from dataclasses import dataclass, field

MEMORY_MARK = 10_000


@dataclass
class Args:
    mode: str
    host: str
    port: int
    options: dict[str, str] = field(default_factory=dict)
    scheme: str = "tcp"  # "ssl": TLS, verified against the CA file of option ca=

    def int(self, key: str, default: int) -> int:
        return int(self.options.get(key, default))

    def float(self, key: str, default: float) -> float:
        return float(self.options.get(key, default))

    def str(self, key: str, default: str) -> str:
        return self.options.get(key, default)


_result_fd: int | None = None


def parse_args(argv: list[str]) -> Args:
    """MODE tcp://HOST:PORT key=value ... (or ssl://... ca=FILE); also silences fd 1 (see the
    module text)."""
    global _result_fd
    mode, uri, *rest = argv
    scheme, address = uri.split("://", 1)
    host, port = address.rsplit(":", 1)
    _result_fd = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    return Args(mode, host, int(port), dict(item.split("=", 1) for item in rest), scheme)


def emit(obj) -> None:
    """Writes one result line (a dict as JSON, or a plain word such as "ready")."""
    line = obj if isinstance(obj, str) else json.dumps(obj)
    os.write(_result_fd if _result_fd is not None else 1, (line + "\n").encode())


def payload(size: int, seq: int = 0) -> str:
    head = f"{seq} "
    return (head + "x" * size)[:size]


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def percentile(sorted_values: list[float], pct: int) -> float:
    return sorted_values[(len(sorted_values) * pct) // 100]


def latency_result(latencies: list[float]) -> dict:
    latencies.sort()
    return {
        "count": len(latencies),
        "p50_us": round(percentile(latencies, 50) * 1e6, 1),
        "p99_us": round(percentile(latencies, 99) * 1e6, 1),
    }


def rate_result(count: int, elapsed: float, size: int, cpu: float) -> dict:
    """cpu: the process's CPU time (all threads, user + system) over the span, in seconds."""
    return {
        "count": count,
        "seconds": round(elapsed, 6),
        "rate": round(count / elapsed, 1),
        "mbps": round(count * size / elapsed / 1e6, 3),
        "cpu_us_per_msg": round(cpu / count * 1e6, 3),
    }


def timed_publish(publish_one, seconds: float, size: int, finish=None) -> dict:
    """Calls publish_one() until `seconds` have passed (checking the clock every few calls);
    finish(), when given, runs inside the timed span (to wait for what is still queued)."""
    batch = 16 if size <= 4096 else 1
    count = 0
    cpu = time.process_time()
    start = time.perf_counter()
    elapsed = 0.0
    while elapsed < seconds:
        for _ in range(batch):
            publish_one()
        count += batch
        elapsed = time.perf_counter() - start
    if finish is not None:
        finish()
    return rate_result(count, time.perf_counter() - start, size, time.process_time() - cpu)


def pipelined_publish(send_one, settle, count: int, size: int) -> dict:
    """Hands `count` messages to send_one() without waiting for any, then settle(handles) waits
    until every one of them is complete; timed from the first send to the last completion."""
    cpu = time.process_time()
    start = time.perf_counter()
    handles = [send_one() for _ in range(count)]
    settle(handles)
    return rate_result(count, time.perf_counter() - start, size, time.process_time() - cpu)


def paced(send_numbered, count: int, interval: float) -> list:
    """Calls send_numbered(i) for i in 0..count-1, one every `interval` seconds on a fixed schedule
    (a late call does not push the later ones back); returns what the calls returned."""
    handles = []
    begin = time.perf_counter()
    for i in range(count):
        delay = begin + i * interval - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
        handles.append(send_numbered(i))
    return handles


class Inbox:
    """Collects handler calls: the payloads, a wake-up once `target` have arrived, arrival times."""

    def __init__(self, target: int = 0):
        self.payloads: list = []
        self.target = target
        self.reached = threading.Event()
        self.reached_at = 0.0
        self.first_at = 0.0

    def add(self, payload) -> None:
        self.payloads.append(payload)
        n = len(self.payloads)
        if n == 1:
            self.first_at = time.perf_counter()
        if n == self.target:
            self.reached_at = time.perf_counter()
            self.reached.set()

    def wait(self, idle: float) -> float:
        """Until `target` arrived or nothing came for `idle` s; returns the time of the last arrival
        it knows of."""
        last_count, last_change = -1, time.perf_counter()
        while not self.reached.wait(0.05):
            n = len(self.payloads)
            if n != last_count:
                last_count, last_change = n, time.perf_counter()
            elif time.perf_counter() - last_change > idle:
                return last_change
        return self.reached_at


def receive_result(inbox: Inbox, count: int, start: float, end: float, cpu: float, seq_of) -> dict:
    """cpu: the process's CPU time from its connect to the last message, in seconds."""
    seen = {seq_of(p) for p in inbox.payloads}
    received = len(seen & set(range(count)))
    elapsed = end - start
    return {
        "count": count,
        "received": received,
        "calls": len(inbox.payloads),
        "lost": count - received,
        "seconds": round(elapsed, 6),
        "rate": round(received / elapsed, 1) if elapsed > 0 else 0.0,
        "cpu_us_per_msg": round(cpu / max(1, received) * 1e6, 3),
    }


class RoundTrip:
    """Times publish-to-handler on the client's own subscription: the handler calls arrive()."""

    def __init__(self):
        self.event = threading.Event()
        self.arrived = 0.0

    def arrive(self, *_ignored) -> None:
        self.arrived = time.perf_counter()
        self.event.set()

    def run(self, publish_one, count: int) -> dict:
        warmup = count // 10
        latencies = []
        for i in range(count + warmup):
            self.event.clear()
            sent = time.perf_counter()
            publish_one()
            if not self.event.wait(5):
                raise RuntimeError("round trip: the message did not come back within 5 s")
            if i >= warmup:
                latencies.append(self.arrived - sent)
        return latency_result(latencies)


class Counter:
    """Counts handler calls without keeping them; wakes a waiter once `target` is reached."""

    def __init__(self):
        self.count = 0
        self.target = 0
        self.reached = threading.Event()

    def add(self, *_ignored) -> None:
        self.count += 1
        if self.count == self.target:
            self.reached.set()

    def wait_for(self, target: int, idle: float = 5.0) -> None:
        self.target = target
        if self.count >= target:
            return
        last = -1
        while not self.reached.wait(idle):
            if self.count == last:
                return
            last = self.count
        self.reached.clear()


def memory_run(publish_one, counter: Counter, args: Args) -> dict:
    """Publishes `count` messages to the client's own subscription; resident size after the first
    `mark` have come back and after all of them."""
    count = args.int("count", 1_000_000)
    mark = min(count, args.int("mark", MEMORY_MARK))
    for _ in range(mark):
        publish_one()
    counter.wait_for(mark)
    rss_mark = rss_bytes()
    for _ in range(count - mark):
        publish_one()
    counter.wait_for(count)
    return {
        "count": count,
        "received": counter.count,
        "mark": mark,
        "rss_mark": rss_mark,
        "rss_end": rss_bytes(),
    }


def main(modes: dict) -> None:
    args = parse_args(sys.argv[1:])
    result = modes[args.mode](args)
    if result is not None:
        emit(result)


def mixed_p50(send_qos0, send_qos1, count: int) -> dict:
    """Times each QoS 1 publish that follows a QoS 0 one on the same connection; the median."""
    times = []
    for _ in range(count):
        send_qos0()
        start = time.perf_counter()
        send_qos1()
        times.append(time.perf_counter() - start)
    times.sort()
    return {"p50_us": round(times[len(times) // 2] * 1e6, 1)}


def run_at_once(calls: list) -> float:
    """Runs each call on a thread of its own, all started together; seconds until all returned."""
    threads = [threading.Thread(target=call) for call in calls]
    begin = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - begin
