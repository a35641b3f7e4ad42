"""The interpreter lock is released while a native call blocks, so other Python threads and the
Python handlers keep running."""

import threading
import time

from conftest import unique_client_id

import movra_sdk


class Ticker:
    """A Python thread that counts as fast as it can; it advances only while it can hold the
    interpreter lock."""

    def __init__(self):
        self.ticks = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.ticks += 1
            time.sleep(0.001)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(10)


def test_other_threads_run_while_connect_waits_for_a_silent_listener(silent_listener, capfd):
    sdk = movra_sdk.SDK()
    sdk.init(unique_client_id(), silent_listener.address, "tcp", "", "", connectTimeout=2)
    with Ticker() as ticker:
        started = time.monotonic()
        assert sdk.connect() is False
        elapsed = time.monotonic() - started
        ticks = ticker.ticks
    sdk.stop()
    assert 1.5 < elapsed < 10
    # About 1 tick a millisecond when the lock is free; none while a call holds it.
    assert ticks > 200
    assert capfd.readouterr().err.startswith("[SDK] connect failed, rc=")


def test_other_threads_run_while_publish_waits_for_its_acknowledgement(stalled_broker):
    sdk = movra_sdk.SDK()
    sdk.init(unique_client_id(), stalled_broker.address, "tcp", "", "")
    assert sdk.connect()
    with Ticker() as ticker:
        started = time.monotonic()
        sdk.publish("g/stalled", "never acknowledged", 1)
        elapsed = time.monotonic() - started
        ticks = ticker.ticks
    # The completion wait runs its full 10 s; the other thread ran throughout.
    assert 9 < elapsed < 20
    assert ticks > 1000
    # Dropping the connection spares the stop a 10 s wait for the message still in flight.
    stalled_broker.close()
    sdk.stop()


def test_handlers_keep_receiving_while_the_main_thread_publishes_qos1(make_sdk, traffic):
    sdk = make_sdk()
    arrivals = []
    sdk.on_message(lambda t, p: arrivals.append((time.monotonic(), p)))
    assert sdk.subscribe("g/loop", 1)
    # An independent client keeps traffic flowing towards the handler as well.
    traffic("g/loop", qos=(1,), pause=0.002, payload="outside")
    count = 300
    started = time.monotonic()
    for i in range(count):
        sdk.publish("g/loop", f"own {i}", 1)
    finished = time.monotonic()
    # No publish stalled for its 10 s completion wait.
    assert finished - started < 10
    during = [p for t, p in arrivals if t <= finished]
    own = sum(1 for p in during if p.startswith("own "))
    # The handler ran while the loop was still publishing, not only after it.
    assert own >= count // 2
    assert "outside" in during
