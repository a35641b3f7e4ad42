"""The reconnect worker's back-off as the binding passes it on: the ceiling as given, the lines, and
what a stop or the object's destruction does to a worker in its wait. The timing of the waits, the
doubling and what a caller's connect or disconnect does to the worker are proven natively with a
short back-off unit (tests/native/reconnect_test.cpp, tests/native/unit/backoff_unit_test.cpp)."""

from __future__ import annotations

import re

import pytest
from test_reconnect_broker import FAILED_LINE, run

ATTEMPT = r"^\[SDK\] Attempting to reconnect\.\.\.$"


@pytest.mark.parametrize("ceiling", [0, -3])
def test_ceiling_below_one_second_waits_once_then_names_the_ceiling(child, ceiling):
    res, r = run(
        child,
        f"""
with Broker() as broker:
    sdk = open_session(broker.address, "rc-ceiling", maxReconnectInterval={ceiling})
    broker.kill()
    tap.wait_line(r"Reconnect failed", "err", count=5)
    sdk.stop()
tap.close()
result(failures=tap.matching(r"Reconnect failed", "err"))
""",
    )
    waits = [FAILED_LINE.match(text).group(2) for _, text in r["failures"]]
    assert waits[0] == "1"
    assert set(waits[1:]) == {str(ceiling)}
    assert not any(line.startswith("[SDK] Reconnect failed") for line in res.out.splitlines())


@pytest.mark.parametrize(
    "ending", ["sdk.stop()", "session.clear(); del sdk"], ids=["stop", "destruction"]
)
def test_stop_or_destruction_during_a_back_off_ends_the_attempts(child, ending):
    res, r = run(
        child,
        f"""
with Broker() as broker:
    sdk = open_session(broker.address, "rc-stop", maxReconnectInterval=60)
    broker.kill()
    tap.wait_line(r"Retrying in 1s", "err")
    t0 = time.monotonic()
    {ending}
    time.sleep(1.2)  # past the end of that back-off
tap.close()
result(after=len(tap.matching(r"{ATTEMPT}", "out", since=t0)))
""",
    )
    assert r["after"] == 0
    assert res.out.count("[SDK] Attempting to reconnect...\n") == 1
    assert res.err.count("[SDK] Reconnect failed") == 1


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
