"""The reconnect worker's back-off: its waits and lines, and what ends it (stop, connect, a new loss)."""

from __future__ import annotations

import re

import pytest
from test_reconnect_broker import FAILED_LINE, run

ATTEMPT = r"^\[SDK\] Attempting to reconnect\.\.\.$"


@pytest.mark.parametrize("ceiling", [0, -3])
def test_ceiling_below_one_second_waits_once_then_retries_back_to_back(child, ceiling):
    res, r = run(
        child,
        f"""
with Broker() as broker:
    sdk = open_session(broker.address, "rc-ceiling", maxReconnectInterval={ceiling})
    broker.kill()
    tap.wait_line(r"Reconnect failed", "err", count=5)
    sdk.stop()
tap.close()
result(attempts=[t for t, _ in tap.matching(r"{ATTEMPT}", "out")],
       failures=tap.matching(r"Reconnect failed", "err"))
""",
    )
    failures = r["failures"]
    waits = [FAILED_LINE.match(text).group(2) for _, text in failures]
    assert waits[0] == "1"
    assert set(waits[1:]) == {str(ceiling)}
    attempts = r["attempts"]
    # The first failure's wait is a full second; after that each attempt follows the last failure.
    assert attempts[1] - failures[0][0] >= 0.9
    for k in range(1, 4):
        assert attempts[k + 1] - failures[k][0] < 0.5
    assert not any(line.startswith("[SDK] Reconnect failed") for line in res.out.splitlines())


def test_waits_double_up_to_the_ceiling(child):
    _, r = run(
        child,
        """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-double", maxReconnectInterval=3)
    broker.kill()
    tap.wait_line(r"Reconnect failed", "err", count=4, timeout=20)
    sdk.stop()
tap.close()
result(attempts=[t for t, _ in tap.matching(r"Attempting to reconnect", "out")],
       failures=tap.matching(r"Reconnect failed", "err"))
""",
    )
    waits = [int(FAILED_LINE.match(text).group(2)) for _, text in r["failures"]]
    assert waits[:4] == [1, 2, 3, 3]
    for k in range(3):
        gap = r["attempts"][k + 1] - r["failures"][k][0]
        assert waits[k] - 0.1 <= gap < waits[k] + 0.6


@pytest.mark.parametrize(
    "ending", ["sdk.stop()", "session.clear(); del sdk"], ids=["stop", "destruction"]
)
def test_stop_or_destruction_during_a_long_back_off_is_prompt_and_ends_the_attempts(child, ending):
    res, r = run(
        child,
        f"""
with Broker() as broker:
    sdk = open_session(broker.address, "rc-stop", maxReconnectInterval=60)
    broker.kill()
    tap.wait_line(r"Retrying in 8s", "err", timeout=20)
    time.sleep(0.2)
    t0 = time.monotonic()
    {ending}
    took = time.monotonic() - t0
    time.sleep(1.0)
tap.close()
result(took=took, after=len(tap.matching(r"Attempting to reconnect", "out", since=t0)))
""",
    )
    assert r["took"] < 2.0
    assert r["after"] == 0
    assert res.out.count("[SDK] Attempting to reconnect...\n") == 4
    assert res.err.count("[SDK] Reconnect failed") == 4
    print(f"{ending} during an 8 s back-off took {r['took'] * 1000:.1f} ms")


def test_caller_connect_during_a_back_off_ends_the_worker_without_a_second_notification(child):
    res, r = run(
        child,
        """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-caller", maxReconnectInterval=60)
    broker.kill()
    retry_at = tap.wait_line(r"Retrying in 4s", "err", timeout=20)
    broker.start()
    assert sdk.connect()
    connected_at = time.monotonic()
    time.sleep(max(0.0, retry_at + 5.0 - time.monotonic()))  # past the end of that back-off
    late = len(tap.matching(r"Attempting to reconnect", "out", since=connected_at))
    notes = rec.connections()
    t0 = time.monotonic()
    sdk.stop()
    took = time.monotonic() - t0
tap.close()
result(late=late, notes=notes, took=took)
""",
    )
    assert r["late"] == 0
    assert r["notes"] == [[True, 0], [False, -1], [True, 0]]
    assert res.out.count("[SDK] Reconnected successfully") == 0
    assert r["took"] < 2.0


def test_new_loss_after_a_caller_connect_is_retried_at_once_not_after_the_old_back_off(child):
    # The worker of the first loss is still in an 8 s wait when the caller's session drops again:
    # the second loss must be retried from a one-second start, as any fresh loss is.
    _, r = run(
        child,
        """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-again", maxReconnectInterval=60)
    broker.kill()
    tap.wait_line(r"Retrying in 8s", "err", timeout=20)
    broker.start()
    assert sdk.connect()
    broker.kill()
    lost = rec.wait_connection(False, -1, count=2)
    broker.start()
    up = time.monotonic()
    back = rec.wait_connection(True, 0, count=3, timeout=15)
    first_attempt = tap.matching(r"Attempting to reconnect", "out", since=lost)[0][0]
    sdk.stop()
tap.close()
result(recovery=back - up, first_attempt=first_attempt - lost, notes=rec.connections(),
       waits=[text for _, text in tap.matching(r"Reconnect failed", "err", since=lost)])
""",
    )
    assert r["first_attempt"] < 0.5
    assert r["recovery"] < 2.5
    assert r["notes"] == [[True, 0], [False, -1], [True, 0], [False, -1], [True, 0], [False, 0]]
    for line in r["waits"]:
        assert FAILED_LINE.match(line).group(2) in ("1", "2")


def test_disconnect_while_retrying_is_not_connected_and_leaves_the_worker_running(child):
    res, r = run(
        child,
        """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-disc")
    broker.kill()
    tap.wait_line(r"Reconnect failed", "err")
    t0 = time.monotonic()
    sdk.disconnect()
    not_connected = tap.wait_line(r"^\\[SDK\\] Not connected$", "out", since=t0)
    tap.wait_line(r"Reconnect failed", "err", since=t0)
    broker.start()
    rec.wait_connection(True, 0, count=2)
    online = sdk.is_connected()
    notes = rec.connections()
    sdk.stop()
tap.close()
result(online=online, notes=notes)
""",
    )
    assert r["online"] is True
    assert r["notes"] == [[True, 0], [False, -1], [True, 0]]
    assert "[SDK] Not connected\n" in res.out
    assert "[SDK] Disconnected\n" in res.out  # from stop, on the reconnected session


def test_loss_without_auto_reconnect_stays_offline_until_the_caller_connects(child):
    res, r = run(
        child,
        """
with Broker() as broker:
    sdk = open_session(broker.address, "rc-manual", autoReconnect=False)
    broker.kill()
    rec.wait_connection(False, -1)
    broker.start()
    time.sleep(2.0)
    offline = sdk.is_connected()
    notes = rec.connections()
    again = sdk.connect()
    online = sdk.is_connected()
    sdk.stop()
tap.close()
result(offline=offline, notes=notes, again=again, online=online)
""",
    )
    assert r["offline"] is False
    assert r["notes"] == [[True, 0], [False, -1]]
    assert r["again"] is True and r["online"] is True
    assert "Attempting to reconnect" not in res.out
    assert "Reconnect failed" not in res.err
    assert res.err.count("[SDK] Connection lost: unknown\n") == 1
    assert re.search(r"^\[SDK\] Connected to tcp://", res.out, re.M)
