"""Failover across a real RabbitMQ cluster on 127.0.0.1: QoS 1 traffic at 200 messages/s between a
subscriber and a publisher that both name every node, through the SIGKILL of one node, with the
MQTT session queues replicated (quorum, three nodes; classic mirrored, two nodes) and with
RabbitMQ's default (classic queues, which live on one node; two nodes). Prints each case's lost and duplicated counts and how long each
client was away.

    .venv/bin/python bench/cluster_failover.py

The publisher uses the blocking publish and pauses while it is offline (see broker/cluster_traffic.py).
Needs `make setup module` (rabbitmq-server, movra_sdk in .venv). About two minutes.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "broker")]

from cluster_traffic import Outcome, kill_and_count  # noqa: E402
from rabbit_cluster import RabbitCluster  # noqa: E402


def seconds(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f} s"


def row(case: str, out: Outcome) -> str:
    return (
        f"| {case} | {out.sent} | {out.received} | {out.lost} | {out.duplicated} "
        f"| {seconds(out.subscriber_back)} | {seconds(out.publisher_back)} |"
    )


def main() -> None:
    rows = []
    started = time.monotonic()
    with RabbitCluster(nodes=3, durable_queue_type="quorum") as cluster:
        print(f"quorum cluster of 3 up in {time.monotonic() - started:.1f} s", flush=True)
        out = kill_and_count(cluster, subscriber_node=0, publisher_node=1, kill_node=0)
        rows.append(row("quorum, 3 nodes: subscriber's node killed", out))
        print(rows[-1], flush=True)
        cluster.restart(0)
        out = kill_and_count(cluster, subscriber_node=2, publisher_node=0, kill_node=0)
        rows.append(row("quorum, 3 nodes: publisher's node killed", out))
        print(rows[-1], flush=True)
    started = time.monotonic()
    with RabbitCluster(nodes=2, durable_queue_type=None) as cluster:
        print(f"default cluster of 2 up in {time.monotonic() - started:.1f} s", flush=True)
        out = kill_and_count(cluster, subscriber_node=0, publisher_node=1, kill_node=0)
        rows.append(row("default (classic), 2 nodes: subscriber's node killed", out))
        print(rows[-1], flush=True)
    started = time.monotonic()
    with RabbitCluster(nodes=2, durable_queue_type=None) as cluster:
        # Every classic queue mirrored on both nodes, before the first session.
        cluster.nodes[1].ctl(
            "set_policy",
            "ha-all",
            ".*",
            '{"ha-mode":"all","ha-sync-mode":"automatic"}',
            "--apply-to",
            "queues",
        )
        print(f"mirrored cluster of 2 up in {time.monotonic() - started:.1f} s", flush=True)
        out = kill_and_count(cluster, subscriber_node=0, publisher_node=1, kill_node=0)
        rows.append(row("classic mirrored (ha-mode all), 2 nodes: subscriber's node killed", out))
        print(rows[-1], flush=True)
    print()
    print("| case | sent | received | lost | duplicated | subscriber back | publisher back |")
    print("|---|---|---|---|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
