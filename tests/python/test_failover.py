"""Failover across independent mosquitto brokers: the order of the addresses, subscriptions renewed
on a broker without the session, jittered back-off, and a subscribe that ends with its connection."""

from __future__ import annotations

import re
import statistics
import time

import pytest
from test_reconnect_broker import FAILED_LINE, run

TWO = """
a, b = Broker(), Broker()
"""


def test_connect_and_reconnect_go_through_the_list_in_order_and_back_off_per_round(child):
    # A is down at first: connect reaches B. B dies while A is back: the worker goes to A at once,
    # without a back-off. Both down: each round tries B (the address after A), then A, and waits
    # its back-off only after the round.
    res, r = run(
        child,
        TWO
        + """
b.start()
sdk = open_session(a.address, "fo-order", failoverHosts=[b.address], maxReconnectInterval=4)
a.start()
b.kill()
rec.wait_connection(True, 0, count=2)
a.kill()
tap.wait_line(r"Reconnect failed", "err", count=4, timeout=30)
b.start()
rec.wait_connection(True, 0, count=3, timeout=30)
sdk.stop()
a.close(); b.close()
tap.close()
result(a=a.address, b=b.address, notes=rec.connections())
""",
    )
    a, b = r["a"], r["b"]
    out = [line for line in res.out.splitlines() if "Connected to" in line or "Reconnected" in line]
    assert out == [
        f"[SDK] Connected to tcp://{b}",
        f"[SDK] Reconnected successfully to tcp://{a}",
        f"[SDK] Reconnected successfully to tcp://{b}",
    ]
    assert r["notes"] == [[True, 0], [False, -1], [True, 0], [False, -1], [True, 0], [False, 0]]
    err = res.err.splitlines()
    losses = [i for i, line in enumerate(err) if line.startswith("[SDK] Connection lost")]
    assert len(losses) == 2
    # Between B's loss and the reconnect to A no attempt failed.
    assert not any(FAILED_LINE.match(line) for line in err[losses[0] : losses[1]])
    # Rounds of two: the next address at once, the doubling back-off once per round.
    delays = [int(m.group(2)) for m in map(FAILED_LINE.match, err[losses[1] :]) if m]
    assert delays[:4] == [0, 1, 0, 2]


def test_bad_failover_address_is_refused_before_anything_changes(make_sdk, broker):
    sdk = make_sdk()
    for bad in (["127.0.0.1"], ["127.0.0.1:0"], ["tcp://127.0.0.1:1883"], ["host :1"], [""]):
        with pytest.raises(ValueError, match="failoverHosts"):
            sdk.init("fo-bad", broker.address, "tcp", "", "", failoverHosts=bad)
        assert sdk.is_connected()
    with pytest.raises(TypeError):
        sdk.init("fo-bad", broker.address, "tcp", "", "", failoverHosts="127.0.0.1:1")


@pytest.mark.parametrize("resume", [True, False])
def test_subscriptions_are_renewed_on_a_broker_without_the_session_before_the_reconnect(
    child, resume
):
    # The subscriber's session lives on A; B never heard of it (session-present 0). With resumeSubs
    # the reconnect to B subscribes again to what is still wanted before it reports (True, 0): a
    # message that the connection handler has published on B at that moment arrives.
    res, r = run(
        child,
        TWO
        + f"""
a.start(); b.start()
pub = movra_sdk.SDK()
pub.init("fo-renew-pub", b.address, "tcp", "", "")
assert pub.connect()
def on_connection(connected, code):
    rec.on_connection(connected, code)
    if connected and len(rec.connections()) == 3:
        pub.publish("fo/kept", "on-b", 1)
        pub.publish("fo/gone", "unwanted", 1)
sdk = open_session(a.address, "fo-renew", on_connection, rec.on_message,
                   failoverHosts=[b.address], resumeSubs={resume})
assert sdk.subscribe("fo/kept", 1) and sdk.subscribe("fo/gone", 0)
sdk.unsubscribe("fo/gone")
a.kill()
rec.wait_connection(True, 0, count=2)
try:
    rec.wait(lambda ev: "on-b" in rec.messages(), timeout=3)
except TimeoutError:
    pass
sdk.stop(); pub.stop()
a.close(); b.close()
tap.close()
result(messages=rec.messages(), notes=rec.connections())
""",
    )
    assert r["notes"] == [[True, 0], [False, -1], [True, 0], [False, 0]]
    assert r["messages"] == (["on-b"] if resume else [])
    # The renewal is silent: the console shows the program's own subscribes only.
    assert res.out.count("[SDK] Subscribed to: fo/kept\n") == 1
    assert "failed" not in res.err


def test_jitter_spreads_a_fleet_over_the_back_off(child):
    # 20 jittered clients and 5 plain ones lose the same broker, which is back after 2.5 s. The
    # plain ones retry on the same schedule (0.1 s, then 1 s, then 2 s later) and come back
    # together; the jittered ones draw each wait between zero and its value and spread out.
    _, r = run(
        child,
        """
import movra_sdk
with Broker() as broker:
    back, lock, made = {}, threading.Lock(), []
    def make(name, jitter):
        sdk = movra_sdk.SDK()
        def on_connection(connected, code):
            if connected and code == 0 and "lost" in back:
                with lock:
                    back.setdefault(name, time.monotonic() - back["lost"])
        sdk.on_connection(on_connection)
        sdk.init(name, broker.address, "tcp", "", "", maxReconnectInterval=4,
                 reconnectJitter=jitter, connectTimeout=2)
        assert sdk.connect()
        made.append(sdk)
    for i in range(20):
        make(f"fo-jit-{i}", True)
    for i in range(5):
        make(f"fo-plain-{i}", False)
    back["lost"] = time.monotonic()
    broker.kill()
    time.sleep(2.5)
    broker.start()
    deadline = time.monotonic() + 20
    while len(back) < 26 and time.monotonic() < deadline:
        time.sleep(0.05)
    for sdk in made:
        sdk.stop()
tap.close()
del back["lost"]
result(jitter=[v for k, v in back.items() if "jit" in k],
       plain=[v for k, v in back.items() if "plain" in k])
""",
    )
    jitter, plain = r["jitter"], r["plain"]
    assert len(jitter) == 20 and len(plain) == 5
    assert min(jitter) >= 2.5 and min(plain) >= 2.5
    # Spread: the jittered reconnects cover seconds, the plain ones a moment.
    assert statistics.pstdev(jitter) > 0.4
    assert statistics.pstdev(jitter) > 3 * statistics.pstdev(plain)
    assert len({round(t, 1) for t in jitter}) >= 8


@pytest.mark.parametrize("call", ["subscribe", "unsubscribe"])
def test_a_call_waiting_for_its_answer_fails_as_soon_as_the_connection_is_gone(child, call):
    # The proxy stops relaying, so the SUBACK / UNSUBACK never comes, then closes the connection.
    # The library would wait out its 10 s command timeout; the call fails with the loss instead.
    res, r = run(
        child,
        """
from tcp_proxy import TcpProxy
with Broker() as broker, TcpProxy(broker.port) as proxy:
    sdk = open_session(proxy.address, "fo-dead", autoReconnect=False)
    proxy.stall()
    outcome = {}
    def call():
        outcome["result"] = sdk.CALL("fo/dead")
        outcome["ended"] = time.monotonic()
    worker = threading.Thread(target=call)
    worker.start()
    # The request has left the client: the call now waits for an answer that cannot come.
    deadline = time.monotonic() + 10
    while not proxy.unrelayed() and time.monotonic() < deadline:
        time.sleep(0.005)
    sent = proxy.unrelayed() > 0
    cut = time.monotonic()
    proxy.cut()
    worker.join(15)
    sdk.stop()
tap.close()
result(sent=sent, result=outcome.get("result"), after_cut=outcome["ended"] - cut)
""".replace("CALL", call),
    )
    assert r["sent"]
    assert r["after_cut"] < 5, "the call waited out the library's timeout"
    assert r["result"] is (False if call == "subscribe" else None)
    assert re.search(rf"^\[SDK\] {call} failed on 'fo/dead', rc=-\d+$", res.err, re.M)


def test_a_node_that_never_answers_costs_an_attempt_of_a_few_seconds(silent_listener, broker):
    # brokerHost accepts TCP and never sends a CONNACK. With a failover address the attempt gives
    # up after BrokerList::kFailoverAttemptSeconds (3 s), not the 30 s connectTimeout.
    import movra_sdk

    sdk = movra_sdk.SDK()
    sdk.init("fo-silent", silent_listener.address, "tcp", "", "", failoverHosts=[broker.address])
    started = time.monotonic()
    try:
        assert sdk.connect()
        assert time.monotonic() - started < 10
    finally:
        sdk.stop()
