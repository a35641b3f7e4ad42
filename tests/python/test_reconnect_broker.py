"""Connection loss and automatic reconnection against a mosquitto that is killed and restarted."""

from __future__ import annotations

import re
from pathlib import Path

from reconnect_child import parse_result

HERE = str(Path(__file__).resolve().parent)

# Every scenario runs in its own interpreter: console lines are read at the descriptor level and the
# native threads of one scenario can never disturb the next.
PRELUDE = """
import sys, threading, time
sys.path.insert(0, sys.argv[1])
import movra_sdk
from broker.harness import Broker
from reconnect_child import ConsoleTap, Recorder, attempt_due, result
tap = ConsoleTap()
rec = Recorder()

session = {}

def open_session(address, client_id, on_connection=None, on_message=None, **options):
    sdk = session["sdk"] = movra_sdk.SDK()
    sdk.on_connection(on_connection or rec.on_connection)
    if on_message:
        sdk.on_message(on_message)
    options.setdefault("connectTimeout", 2)
    sdk.init(client_id, address, "tcp", "", "", **options)
    assert sdk.connect()
    return sdk

def subscribing_handler(topic):
    # A connection handler that subscribes whenever a session comes up: the usual pattern.
    def on_connection(connected, code):
        rec.on_connection(connected, code)
        if connected:
            session["sdk"].subscribe(topic, 1)
    return on_connection
"""

FAILED_LINE = re.compile(r"^\[SDK\] Reconnect failed, rc=(-?\d+)\. Retrying in (-?\d+)s$")


def run(child, body: str, timeout: float = 90):
    res = child(PRELUDE + body, HERE, timeout=timeout)
    assert res.returncode == 0, res.err
    return res, parse_result(res.out)


def test_broker_restart_reports_loss_once_retries_and_reconnects(child):
    res, r = run(
        child,
        """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-restart", on_message=rec.on_message)
    broker.kill()
    rec.wait_connection(False, -1)
    offline = sdk.is_connected()
    tap.wait_line(r"Reconnect failed", "err", count=2)
    broker.start()
    up = time.monotonic()
    back = rec.wait_connection(True, 0, count=2)
    online = sdk.is_connected()
    # A round trip through the broker: a notification queued with the reconnect comes before it.
    assert sdk.subscribe("restart/marker", 1)
    sdk.publish("restart/marker", "m", 1)
    rec.wait(lambda ev: rec.messages() == ["m"])
    before_stop = rec.connections()
    sdk.stop()
    port = broker.port
tap.close()
result(offline=offline, online=online, recovery=back - up, before_stop=before_stop,
       after_stop=rec.connections(), port=port)
""",
    )
    assert r["offline"] is False
    assert r["online"] is True
    # Exactly one loss and one reconnect notification, in that order; stop adds the disconnect.
    assert r["before_stop"] == [[True, 0], [False, -1], [True, 0]]
    assert r["after_stop"] == [[True, 0], [False, -1], [True, 0], [False, 0]]
    assert res.err.count("[SDK] Connection lost: unknown\n") == 1
    failures = [line for line in res.err.splitlines() if line.startswith("[SDK] Reconnect failed")]
    assert len(failures) >= 2
    for line in failures:
        m = FAILED_LINE.match(line)
        assert m, line
        assert int(m.group(1)) != 0
        assert m.group(2) == "1"  # the Python default ceiling keeps every wait at one second
    # Each attempt announces itself; all but the last failed.
    assert res.out.count("[SDK] Attempting to reconnect...\n") == len(failures) + 1
    assert res.out.count(f"[SDK] Reconnected successfully to tcp://127.0.0.1:{r['port']}\n") == 1
    # With one-second waits the broker is back in use within about a second.
    assert r["recovery"] < 3.0
    print(f"recovery (broker accepting -> (true, 0)): {r['recovery'] * 1000:.0f} ms")


def test_connection_handler_that_subscribes_works_after_every_reconnect(child):
    _, r = run(
        child,
        """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-resub", subscribing_handler("resub/t"), rec.on_message)
    delivered = []
    for cycle in range(3):
        broker.kill()
        rec.wait_connection(False, -1, count=cycle + 1)
        broker.start()
        rec.wait_connection(True, 0, count=cycle + 2)
        tap.wait_line(r"^\\[SDK\\] Subscribed to: resub/t$", "out", count=cycle + 2)
        # The broker lost every session with its process: only the handler's subscribe can
        # bring this message back.
        sdk.publish("resub/t", f"after-{cycle}", 1)
        rec.wait(lambda ev: f"after-{cycle}" in rec.messages())
        delivered.append(f"after-{cycle}")
    sdk.stop()
tap.close()
result(delivered=delivered, messages=rec.messages())
""",
    )
    assert r["delivered"] == ["after-0", "after-1", "after-2"]
    assert r["messages"] == ["after-0", "after-1", "after-2"]


def test_message_received_before_the_loss_is_delivered_before_the_loss(child):
    _, r = run(
        child,
        """
with Broker() as broker:
    release = threading.Event()
    def on_message(topic, payload):
        rec.on_message(topic, payload)
        release.wait(20)  # holds the dispatch thread: later events queue up behind this one
    sdk = open_session(broker.address, "rc-order", on_message=on_message, autoReconnect=False)
    assert sdk.subscribe("order/t", 1)
    for i in range(20):
        sdk.publish("order/t", f"m{i}", 1)
    # The broker answers this subscribe after the loop-back copies, and the library hands each
    # message over before it reads the next packet: once it returns they all wait in the queue.
    assert sdk.subscribe("order/marker", 1)
    broker.kill()
    # The library writes this line as it takes the loss and queues the notice right after it,
    # behind the held messages.
    tap.wait_line(r"Connection lost", "err")
    release.set()
    rec.wait_connection(False, -1)
    kinds = [e[1] if e[1] == "msg" else (e[2], e[3]) for e in rec.events]
    sdk.stop()
tap.close()
result(kinds=kinds, messages=rec.messages())
""",
    )
    assert r["messages"] == [f"m{i}" for i in range(20)]
    assert r["kinds"] == [[True, 0]] + ["msg"] * 20 + [[False, -1]]


def test_broker_killed_ten_times_while_publishing_and_receiving(child):
    res, r = run(
        child,
        """
CYCLES = 10
with Broker() as broker:
    sdk = open_session(broker.address, "rc-loop", subscribing_handler("loop/t"), rec.on_message)
    done = threading.Event()
    calls = []
    def publisher():
        n = 0
        while not done.is_set():
            t0 = time.monotonic()
            sdk.publish("loop/t", f"p{n}", 1)
            calls.append(time.monotonic() - t0)
            n += 1
            time.sleep(0.01)
    th = threading.Thread(target=publisher)
    th.start()
    reconnects = 0
    for cycle in range(CYCLES):
        time.sleep(0.5)
        broker.kill()
        rec.wait_connection(False, -1, count=cycle + 1)
        time.sleep(0.3)
        broker.start()
        rec.wait_connection(True, 0, count=cycle + 2)
        reconnects += 1
        mark = time.monotonic()
        # Traffic flows again: a message published after this reconnect comes back.
        rec.wait(lambda ev: any(e[0] > mark and e[1] == "msg" for e in ev))
    done.set()
    th.join(30)
    alive = th.is_alive()
    sdk.stop()
tap.close()
result(reconnects=reconnects, alive=alive, calls=len(calls), slowest=max(calls),
       received=len(rec.messages()), connections=rec.connections())
""",
        timeout=110,
    )
    assert r["reconnects"] == 10
    assert not r["alive"]
    assert r["calls"] > 100
    # A publish returns after its completion wait at the latest: no publish hangs.
    assert r["slowest"] < 12
    assert r["received"] > 0
    assert r["connections"] == [[True, 0]] + [[False, -1], [True, 0]] * 10 + [[False, 0]]
    assert res.out.count("[SDK] Subscribed to: loop/t\n") == 11
    # Every line on standard error is a known report: losses, failed attempts, and publishes that
    # met a dropped connection say so.
    known = re.compile(
        r"^\[SDK\] (Connection lost: unknown|Reconnect failed, rc=-?\d+\. Retrying "
        r"in 1s|publish — not connected|publish failed on 'loop/t', rc=-?\d+|"
        r"subscribe — not connected|subscribe failed on 'loop/t', rc=-?\d+)$"
    )
    for line in res.err.splitlines():
        assert known.match(line), line
    assert res.err.count("[SDK] Connection lost: unknown\n") == 10
