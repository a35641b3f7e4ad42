"""QoS 1 traffic through a node kill in a RabbitMQ cluster: what was lost, what came twice, how long
the clients were away. Shared by tests/python/test_cluster_failover.py and bench/cluster_failover.py.

Both clients name every node (brokerHost first, the others as failoverHosts), keep their sessions
(cleanSession off) and reconnect by themselves. The publisher sends numbered QoS 1 messages at a
steady rate without waiting (publish(..., wait=False)): while it is offline they queue in the
client and go out after its reconnect; a message counts as sent once its future has resolved.
"""

from __future__ import annotations

import concurrent.futures
import itertools
import threading
import time
from dataclasses import dataclass

from rabbit_cluster import RabbitCluster

_ids = itertools.count()


@dataclass
class Outcome:
    sent: int
    received: int
    lost: int
    duplicated: int
    # Seconds from the loss to the reconnect of each client (None: not lost, or never back).
    subscriber_back: float | None
    publisher_back: float | None
    subscriber_node: int = -1
    publisher_node: int = -1


class _Watch:
    """Connection notes of one client: when it was lost, when it was back."""

    def __init__(self):
        self.cond = threading.Condition()
        self.lost_at: float | None = None
        self.back_at: float | None = None

    def __call__(self, connected: bool, code: int) -> None:
        with self.cond:
            now = time.monotonic()
            if not connected and code == -1 and self.lost_at is None:
                self.lost_at = now
            elif connected and self.lost_at is not None and self.back_at is None:
                self.back_at = now
            self.cond.notify_all()

    def back(self) -> float | None:
        if self.lost_at is None or self.back_at is None:
            return None
        return self.back_at - self.lost_at


def _client(sdk_class, cluster: RabbitCluster, node: int, name: str, watch: _Watch):
    sdk = sdk_class()
    sdk.on_connection(watch)
    others = [a for i, a in enumerate(cluster.addresses) if i != node]
    sdk.init(
        name,
        cluster.addresses[node],
        "tcp",
        cluster.user,
        cluster.password,
        cleanSession=False,
        maxReconnectInterval=2,
        failoverHosts=others,
    )
    if not sdk.connect():
        raise RuntimeError(f"{name} could not connect to node {node}")
    return sdk


def kill_and_count(
    cluster: RabbitCluster,
    *,
    subscriber_node: int,
    publisher_node: int,
    kill_node: int,
    rate: int = 200,
    seconds: float = 6.0,
    kill_after: float = 2.0,
    drain: float = 8.0,
) -> Outcome:
    """Runs the traffic, kills `kill_node` after `kill_after` seconds, and counts."""
    import movra_sdk

    tag = next(_ids)
    topic = f"movra/cluster/{tag}"
    received: list[int] = []
    got = threading.Condition()

    def on_message(_topic: str, payload: str) -> None:
        with got:
            received.append(int(payload))
            got.notify_all()

    sub_watch, pub_watch = _Watch(), _Watch()
    subscriber = _client(movra_sdk.SDK, cluster, subscriber_node, f"movra-sub-{tag}", sub_watch)
    subscriber.on_message(on_message)
    if not subscriber.subscribe(topic, 1):
        raise RuntimeError("subscribe failed")
    publisher = _client(movra_sdk.SDK, cluster, publisher_node, f"movra-pub-{tag}", pub_watch)
    futures: list[concurrent.futures.Future] = []
    total = int(rate * seconds)
    started = time.monotonic()
    killed = False
    try:
        for seq in range(total):
            due = started + seq / rate
            if not killed and time.monotonic() - started >= kill_after:
                cluster.kill(kill_node)
                killed = True
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            futures.append(publisher.publish(topic, str(seq), 1, wait=False))
        deadline = time.monotonic() + drain
        done, _ = concurrent.futures.wait(futures, timeout=drain)
        sent = sum(1 for f in done if f.exception() is None)
        wanted = set(range(total))
        with got:
            while not wanted <= set(received) and time.monotonic() < deadline:
                got.wait(0.2)
    finally:
        publisher.stop()
        subscriber.on_message(None)
        subscriber.stop()
    distinct = set(received)
    return Outcome(
        sent=sent,
        received=len(received),
        lost=total - len(distinct & set(range(total))),
        duplicated=len(received) - len(distinct),
        subscriber_back=sub_watch.back(),
        publisher_back=pub_watch.back(),
        subscriber_node=subscriber_node,
        publisher_node=publisher_node,
    )
