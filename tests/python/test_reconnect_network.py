"""Losses a broker cannot stage by itself: a half-open connection, and a cut that keeps the session."""

from __future__ import annotations

import pytest
from test_reconnect_broker import run

PROXY = """
from tcp_proxy import TcpProxy
"""


@pytest.mark.parametrize("keep_alive", [1, 2])
def test_half_open_connection_is_detected_by_the_keep_alive_and_reconnected(child, keep_alive):
    res, r = run(
        child,
        PROXY
        + f"""
with Broker() as broker, TcpProxy(broker.port) as proxy:
    sdk = open_session(proxy.address, "rc-halfopen", keepAlive={keep_alive})
    time.sleep(0.5)
    proxy.stall()
    stalled = time.monotonic()
    lost = rec.wait_connection(False, -1, timeout=15)
    # Attempts made while the proxy is silent wait out the connect timeout and fail.
    tap.wait_line(r"Reconnect failed", "err", since=lost, timeout=15)
    proxy.resume()
    back = rec.wait_connection(True, 0, count=2, timeout=15)
    online = sdk.is_connected()
    sdk.stop()
tap.close()
result(detect=lost - stalled, back=back - lost, online=online, notes=rec.connections())
""",
    )
    # Paho pings after keepAlive seconds of silence and gives up when the answer is a keepAlive late.
    assert 0.9 * keep_alive <= r["detect"] <= 2.5 * keep_alive + 0.5
    assert r["online"] is True
    assert r["notes"] == [[True, 0], [False, -1], [True, 0], [False, 0]]
    assert res.err.count("[SDK] Connection lost: unknown\n") == 1
    print(f"half-open, keepAlive {keep_alive}: loss reported {r['detect']:.2f} s after the stall")


@pytest.mark.parametrize(
    "clean, resume, expected",
    [
        (False, True, ["before", "after"]),
        (True, True, ["before", "after"]),
        (True, False, ["before"]),
    ],
)
def test_subscription_survives_a_cut_by_the_kept_session_or_its_renewal(
    child, clean, resume, expected
):
    # The proxy cuts the client's connection while the broker lives on. With cleanSession off the
    # broker keeps the session, and the reconnect with the same client identifier takes it over,
    # subscription included: no new subscribe is needed. With cleanSession on the broker starts a
    # new session (session-present 0) and the client subscribes again before reporting the
    # reconnect; with resumeSubs off it does not, and the subscription is gone.
    res, r = run(
        child,
        PROXY
        + f"""
with Broker(max_queued_messages=100) as broker, TcpProxy(broker.port) as proxy:
    sdk = open_session(proxy.address, "rc-session", on_message=rec.on_message,
                       cleanSession={clean}, resumeSubs={resume})
    assert sdk.subscribe("session/t", 1)
    publisher = movra_sdk.SDK()
    publisher.init("rc-session-pub", broker.address, "tcp", "", "")
    assert publisher.connect()
    publisher.publish("session/t", "before", 1)
    rec.wait(lambda ev: "before" in rec.messages())
    proxy.cut()
    rec.wait_connection(True, 0, count=2)
    publisher.publish("session/t", "after", 1)
    try:
        rec.wait(lambda ev: "after" in rec.messages(), timeout=3)
    except TimeoutError:
        pass
    notes = rec.connections()
    publisher.stop()
    sdk.stop()
tap.close()
result(messages=rec.messages(), notes=notes)
""",
    )
    # QoS 1 is at least once: "before" comes again when the cut beat its acknowledgement.
    assert list(dict.fromkeys(r["messages"])) == expected
    assert r["notes"] == [[True, 0], [False, -1], [True, 0]]
    assert res.out.count("[SDK] Subscribed to: session/t\n") == 1


def test_sessions_lost_right_after_their_connect_are_reported_in_order_and_recovered(child):
    # The proxy relays the broker's CONNACK and closes the connection at once, thirty times over:
    # the library reports the loss of a session the moment its connect returns, racing the record
    # of that session, and its receive thread is still ending when the next attempt begins. The
    # handler never hears of two sessions up or two losses in a row, and the worker still ends up
    # reconnected (the library does not get stuck failing every connect).
    _, r = run(
        child,
        PROXY
        + """
with Broker() as broker, TcpProxy(broker.port) as proxy:
    sdk = open_session(proxy.address, "rc-race", on_message=rec.on_message)
    proxy.drop_after_reply = 30
    proxy.cut()
    # The cut and the thirty drops, then the session that stays.
    tap.wait_line(r"Connection lost", "err", count=31, timeout=40)
    rec.wait(lambda ev: sdk.is_connected() and rec.connections()[-1] == [True, 0], timeout=20)
    # A round trip through the broker: the last session carries traffic, and a late notification
    # of an earlier one would reach the handler before this message.
    assert sdk.subscribe("race/marker", 1)
    sdk.publish("race/marker", "m", 1)
    rec.wait(lambda ev: rec.messages() == ["m"])
    online = sdk.is_connected()
    notes = rec.connections()
    sdk.stop()
tap.close()
result(online=online, notes=notes, lost=len(tap.matching(r"Connection lost", "err")))
""",
    )
    assert r["online"] is True
    notes = r["notes"]
    assert notes[0] == [True, 0] and notes[-1] == [True, 0]
    for earlier, later in zip(notes, notes[1:]):
        assert earlier != later, notes
    assert r["lost"] == 31
