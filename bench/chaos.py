"""The chaos workload: numbered QoS 1 messages published through SIGKILL restarts of the broker.

The publisher under test (a client process in its `chaos` mode) publishes `count` numbered QoS 1
messages, one every `interval` s, without waiting for them, while the broker is killed with SIGKILL
and started again on the same port `kills` times, spread evenly over the publishing span. The
broker keeps its sessions on disk in a data directory of its own and saves them after every change,
but it acknowledges a message before that save: one it could not pass on at once and was killed
before saving is the broker's loss (broker/save_window.py tells it apart from the publisher's from
the broker's log). A subscriber with a kept session (paho-mqtt on its own network thread, in this
process) counts what arrives: `lost` = numbers that never arrived and that the broker's log does
not put on the broker, `lost_unsaved` = those it does, `duplicates` = arrivals beyond the first of
a number. The publisher reports how many of its publishes completed, failed or were still pending
when it gave up waiting.

Run through bench/run.py (`--only chaos`), which supplies the publisher processes.
"""

from __future__ import annotations

import shutil
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

import paho.mqtt.client as mqtt

from broker.harness import Broker
from broker.save_window import (
    BROKER_VERDICTS,
    KILL_MARKER,
    START_MARKER,
    acknowledged,
    explain,
    mark,
    persistent_broker,
)


class Subscriber:
    """A kept-session QoS 1 subscriber (to `topics`, a filter) that counts the arrivals of each numbered message and
    reconnects by itself (one attempt a second) after the broker's restarts."""

    def __init__(self, broker: Broker, topics: str, client_id: str):
        self.arrivals: Counter[int] = Counter()
        self.last_arrival = time.monotonic()
        self.connects: list[float] = []  # wall-clock times of its (re)connections
        self._lock = threading.Lock()
        self._client = mqtt.Client(
            mqtt.CallbackAPIVersion.VERSION2, client_id=client_id, clean_session=False
        )
        self._client.reconnect_delay_set(min_delay=1, max_delay=1)
        self._client.on_message = self._on_message
        subscribed = threading.Event()
        self._client.on_subscribe = lambda *a: subscribed.set()
        connected = threading.Event()
        self._client.on_connect = lambda *a: (self.connects.append(time.time()), connected.set())
        self._client.connect(broker.host, broker.port, keepalive=30)
        self._client.loop_start()
        if not connected.wait(10):
            raise RuntimeError("chaos subscriber: no connection")
        self._client.subscribe(topics, 1)
        if not subscribed.wait(10):
            raise RuntimeError("chaos subscriber: no SUBACK")

    def _on_message(self, client, userdata, message) -> None:
        number = int(message.payload.split(b" ", 1)[0])
        with self._lock:
            self.arrivals[number] += 1
            self.last_arrival = time.monotonic()

    def wait_for(self, count: int, idle: float, limit: float = 60.0) -> None:
        """Until every number below `count` arrived, nothing arrived for `idle` s, or `limit` s."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.arrivals) >= count or time.monotonic() - self.last_arrival > idle:
                    return
            time.sleep(0.05)

    def close(self) -> None:
        self._client.disconnect()
        self._client.loop_stop()


def run_chaos(launch, finish, client: str, clean: bool, config: dict, tag: str) -> dict:
    """One chaos run of `client` as the publisher; launch(client, uri, **options) starts its
    process and returns once it is connected ("ready"), finish(client, process) returns its
    result. The figures of the run, with the publisher's own result under "publisher".

    A message that never arrived is judged from the broker's log (broker/save_window.py): `lost`
    counts the publisher's losses (the broker never acknowledged it, the log cannot explain it, or
    it is beyond the first 20 judged), `lost_unsaved` the messages the broker acknowledged and then
    lost in a kill before its save; each lost message's verdict, log lines and resolve time are
    under "losses". `resolved_unacknowledged` counts the messages whose future resolved although
    the broker's log shows no PUBACK for them (a future settled by another message's
    acknowledgement). With config["chaos_logs"] set (a directory), the broker's whole log of a run
    with a loss is kept there."""
    count, interval = config["chaos_count"], config["chaos_interval"]
    kills, downtime = config["chaos_kills"], config["chaos_downtime"]
    data = Path(tempfile.mkdtemp(prefix="movra-chaos-"))
    broker = persistent_broker(data)
    subscriber = process = None
    publisher_id = f"bench-chaos-pub-{tag}"
    topic = f"bench/chaos/{tag}"
    try:
        broker.start()
        subscriber = Subscriber(broker, f"{topic}/#", f"bench-chaos-sub-{tag}")
        process = launch(
            client,
            f"tcp://{broker.address}",
            count=count,
            interval=interval,
            clean=int(clean),
            topic=topic,
            id=publisher_id,
        )
        began = time.monotonic()
        span = count * interval
        kill_numbers = []  # the number being published at each kill, to place a loss
        kill_times = []
        for k in range(1, kills + 1):
            time.sleep(max(0.0, began + span * k / (kills + 1) - time.monotonic()))
            kill_numbers.append(round((time.monotonic() - began) / interval))
            broker.kill()
            kill_times.append(round(time.time(), 3))
            mark(broker, KILL_MARKER)
            time.sleep(downtime)
            mark(broker, START_MARKER)
            broker.start()
        published = finish(client, process)
        subscriber.wait_for(count, idle=3.0)
        log = broker.log.read_text(errors="replace")
    finally:
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()
        if subscriber is not None:
            subscriber.close()
        broker.close()
        shutil.rmtree(data, ignore_errors=True)
    distinct = sum(1 for n in subscriber.arrivals if 0 <= n < count)
    missing = [n for n in range(count) if n not in subscriber.arrivals]
    resolved_at = published.pop("resolved_at", None) or [None] * count
    # The first 20 are judged (each reads the whole log); the rest count as the publisher's.
    losses = [
        {**explain(log, topic, publisher_id, n), "resolved_at": resolved_at[n]}
        for n in missing[:20]
    ]
    unsaved = sum(1 for loss in losses if loss["verdict"] in BROKER_VERDICTS)
    # A future must resolve only on the broker's acknowledgement of its own message.
    answered = acknowledged(log, topic, publisher_id)
    unanswered = [n for n, at in enumerate(resolved_at) if at is not None and n not in answered]
    if losses and config.get("chaos_logs"):
        keep = Path(config["chaos_logs"])
        keep.mkdir(parents=True, exist_ok=True)
        (keep / f"chaos-{tag}.log").write_text(log)
    return {
        "lost": len(missing) - unsaved,
        "lost_unsaved": unsaved,
        "lost_numbers": missing[:20],
        "losses": losses,
        "kill_numbers": kill_numbers,
        "kill_times": kill_times,
        "subscriber_connects": [round(t, 3) for t in subscriber.connects],
        "duplicates": sum(subscriber.arrivals.values()) - distinct,
        "resolved_unacknowledged": len(unanswered),
        "resolved_unacknowledged_numbers": unanswered[:20],
        "not_completed": published["failed"] + published["unresolved"],
        "publisher": published,
    }
