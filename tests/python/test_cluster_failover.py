"""Failover across a real RabbitMQ cluster (three nodes on 127.0.0.1, MQTT session queues of the
quorum type): the clients name every node, a node is killed under QoS 1 traffic, and nothing is lost.
One cluster for the module; it takes about 40 s to start."""

from __future__ import annotations

import shutil
import sys

import pytest
from conftest import ROOT

sys.path.insert(0, str(ROOT / "broker"))
from cluster_traffic import kill_and_count  # noqa: E402
from rabbit_cluster import RabbitCluster, rabbit_sbin  # noqa: E402

pytestmark = pytest.mark.timeout(300)


@pytest.fixture(scope="module")
def cluster():
    rabbit_sbin()  # fails with the reason when the package is missing
    assert shutil.which("epmd"), "run 'make setup'"
    with RabbitCluster(nodes=3, durable_queue_type="quorum") as c:
        yield c


def test_killing_the_subscribers_node_loses_nothing(cluster):
    # The subscriber's session queue had its leader on the killed node: a replica takes over, the
    # subscriber reconnects to the next address and the broker has its session.
    out = kill_and_count(cluster, subscriber_node=0, publisher_node=1, kill_node=0)
    print(f"subscriber's node killed: {out}")
    assert out.lost == 0
    assert out.subscriber_back is not None
    assert out.publisher_back is None


def test_killing_the_publishers_node_loses_nothing(cluster):
    cluster.restart(0)
    out = kill_and_count(cluster, subscriber_node=2, publisher_node=0, kill_node=0)
    print(f"publisher's node killed: {out}")
    assert out.lost == 0
    assert out.publisher_back is not None
    assert out.subscriber_back is None
