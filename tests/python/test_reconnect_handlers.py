"""stop and init while the object is reconnecting: from inside a connection handler, and by the caller."""

from __future__ import annotations

from test_reconnect_broker import run

# A connection handler that records every notification and runs `action` once, on the first
# notification for which `trigger(connected, code)` holds.
HANDLER = """
acted = []
def acting_on(trigger, action):
    def on_connection(connected, code):
        rec.on_connection(connected, code)
        if not acted and trigger(connected, code):
            t0 = time.monotonic()
            action()
            acted.append((t0, time.monotonic() - t0))
            rec.wake()
    return on_connection
"""


def test_stop_from_the_loss_handler_ends_the_worker(child):
    res, r = run(
        child,
        HANDLER
        + """
with Broker() as broker:
    on_loss = acting_on(lambda c, k: (c, k) == (False, -1), lambda: session["sdk"].stop())
    sdk = open_session(broker.address, "rc-h-stop", on_loss)
    broker.kill()
    rec.wait(lambda ev: acted)
    stopped_at = acted[0][0] + acted[0][1]
    broker.start()
    later = len(tap.watch_for(r"Attempting to reconnect", "out", stopped_at,
                              attempt_due(stopped_at)))
    connect_again = sdk.connect()
tap.close()
result(took=acted[0][1], later=later, connect_again=connect_again, notes=rec.connections())
""",
    )
    assert r["took"] < 2.0
    assert r["later"] == 0
    assert r["notes"] == [[True, 0], [False, -1]]
    assert r["connect_again"] is False
    assert "[SDK] connect — call init() first\n" in res.err
    assert "Reconnected successfully" not in res.out


def test_init_from_the_loss_handler_leaves_the_object_offline_until_connect(child):
    _, r = run(
        child,
        HANDLER
        + """
with Broker() as broker:
    def reinit():
        session["sdk"].init("rc-h-init", broker.address, "tcp", "", "", connectTimeout=2)
    sdk = open_session(broker.address, "rc-h-init",
                       acting_on(lambda c, k: (c, k) == (False, -1), reinit))
    broker.kill()
    rec.wait(lambda ev: acted)
    reinit_at = acted[0][0] + acted[0][1]
    broker.start()
    later = len(tap.watch_for(r"Attempting to reconnect", "out", reinit_at,
                              attempt_due(reinit_at)))
    offline = sdk.is_connected()
    again = sdk.connect()
    online = sdk.is_connected()
    # The new client reconnects by itself after a later loss.
    broker.kill()
    rec.wait_connection(False, -1, count=2)
    broker.start()
    rec.wait_connection(True, 0, count=3)
    sdk.stop()
tap.close()
result(offline=offline, later=later, again=again, online=online, notes=rec.connections())
""",
    )
    assert r["offline"] is False
    assert r["later"] == 0
    assert r["again"] is True and r["online"] is True
    assert r["notes"] == [[True, 0], [False, -1], [True, 0], [False, -1], [True, 0], [False, 0]]


def test_stop_from_the_reconnect_handler_disconnects_cleanly(child):
    res, r = run(
        child,
        HANDLER
        + """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-h-back",
                       acting_on(lambda c, k: c and len(rec.connections()) == 3,
                                 lambda: session["sdk"].stop()))
    broker.kill()
    rec.wait_connection(False, -1)
    broker.start()
    rec.wait(lambda ev: acted)
    stopped_at = acted[0][0] + acted[0][1]
    later = len(tap.watch_for(r"Attempting to reconnect", "out", stopped_at,
                              attempt_due(stopped_at)))
    online = sdk.is_connected()
tap.close()
result(took=acted[0][1], later=later, online=online, notes=rec.connections())
""",
    )
    assert r["took"] < 2.0
    assert r["later"] == 0
    assert r["online"] is False
    # stop, called inside the (true, 0) handler, reports the disconnect of the reconnected session.
    assert r["notes"] == [[True, 0], [False, -1], [True, 0], [False, 0]]
    assert res.out.count("[SDK] Disconnected\n") == 1
    assert res.out.count("[SDK] Reconnected successfully") == 1


def test_init_while_the_worker_retries_ends_it_and_starts_offline(child):
    _, r = run(
        child,
        """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-reinit", maxReconnectInterval=60)
    broker.kill()
    waiting = tap.wait_line(r"Retrying in 2s", "err")
    t0 = time.monotonic()
    sdk.init("rc-reinit", broker.address, "tcp", "", "", connectTimeout=2)
    took = time.monotonic() - t0
    broker.start()
    # The worker's next attempt was due two seconds after its failure line.
    later = len(tap.watch_for(r"Attempting to reconnect", "out", t0,
                              attempt_due(waiting, 2)))
    offline = sdk.is_connected()
    again = sdk.connect()
    sdk.stop()
tap.close()
result(took=took, later=later, offline=offline, again=again, notes=rec.connections())
""",
    )
    assert r["took"] < 2.0
    assert r["later"] == 0
    assert r["offline"] is False
    assert r["again"] is True
    assert r["notes"] == [[True, 0], [False, -1], [True, 0], [False, 0]]
