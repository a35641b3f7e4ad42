"""The chaos workload: numbered QoS 1 messages published through SIGKILL restarts of the broker.

The publisher under test (a client process in its `chaos` mode) publishes `count` numbered QoS 1
messages, one every `interval` s, without waiting for them, while the broker is killed with SIGKILL
and started again on the same port `kills` times, spread evenly over the publishing span. The
broker keeps its sessions on disk in a data directory of its own and saves them after every change,
so what it acknowledged before a kill survives the kill. A subscriber with a kept session (paho-mqtt
on its own network thread, in this process) counts what arrives: `lost` = numbers that never
arrived, `duplicates` = arrivals beyond the first of a number. The publisher reports how many of its
publishes completed, failed or were still pending when it gave up waiting.

Run through bench/run.py (`--only chaos`), which supplies the publisher processes.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

import paho.mqtt.client as mqtt

from broker.harness import Broker


def persistent_broker(data: Path) -> Broker:
    """A broker that keeps sessions and queued messages in `data` across kills: saved after every
    change (autosave_on_changes with an interval of 1), no limit on queued messages. Started by
    root, mosquitto would otherwise give up root for a user that cannot write to `data`."""
    run_as = ["user root"] if os.geteuid() == 0 else []
    return Broker(
        extra=[
            *run_as,
            "persistence true",
            f"persistence_location {data}/",
            "autosave_on_changes true",
            "autosave_interval 1",
        ]
    )


class Subscriber:
    """A kept-session QoS 1 subscriber that counts the arrivals of each numbered message and
    reconnects by itself (one attempt a second) after the broker's restarts."""

    def __init__(self, broker: Broker, topic: str, client_id: str):
        self.arrivals: Counter[int] = Counter()
        self.last_arrival = time.monotonic()
        self._lock = threading.Lock()
        self._client = mqtt.Client(
            mqtt.CallbackAPIVersion.VERSION2, client_id=client_id, clean_session=False
        )
        self._client.reconnect_delay_set(min_delay=1, max_delay=1)
        self._client.on_message = self._on_message
        subscribed = threading.Event()
        self._client.on_subscribe = lambda *a: subscribed.set()
        connected = threading.Event()
        self._client.on_connect = lambda *a: connected.set()
        self._client.connect(broker.host, broker.port, keepalive=30)
        self._client.loop_start()
        if not connected.wait(10):
            raise RuntimeError("chaos subscriber: no connection")
        self._client.subscribe(topic, 1)
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
    result. The figures of the run, with the publisher's own result under "publisher"."""
    count, interval = config["chaos_count"], config["chaos_interval"]
    kills, downtime = config["chaos_kills"], config["chaos_downtime"]
    data = Path(tempfile.mkdtemp(prefix="movra-chaos-"))
    broker = persistent_broker(data)
    subscriber = process = None
    try:
        broker.start()
        topic = f"bench/chaos/{tag}"
        subscriber = Subscriber(broker, topic, f"bench-chaos-sub-{tag}")
        process = launch(
            client,
            f"tcp://{broker.address}",
            count=count,
            interval=interval,
            clean=int(clean),
            topic=topic,
            id=f"bench-chaos-pub-{tag}",
        )
        began = time.monotonic()
        span = count * interval
        kill_numbers = []  # the number being published at each kill, to place a loss
        for k in range(1, kills + 1):
            time.sleep(max(0.0, began + span * k / (kills + 1) - time.monotonic()))
            kill_numbers.append(round((time.monotonic() - began) / interval))
            broker.kill()
            time.sleep(downtime)
            broker.start()
        published = finish(client, process)
        subscriber.wait_for(count, idle=3.0)
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
    return {
        "lost": count - distinct,
        "lost_numbers": missing[:20],
        "kill_numbers": kill_numbers,
        "duplicates": sum(subscriber.arrivals.values()) - distinct,
        "not_completed": published["failed"] + published["unresolved"],
        "publisher": published,
    }
