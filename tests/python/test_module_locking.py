"""No lock-order inversion between the interpreter lock and the handler lock: setters, handlers
and blocking calls from many threads at once finish."""

import threading
import time

import pytest

JOIN_TIMEOUT = 30


def run_threads(targets, seconds: float):
    stop = threading.Event()
    errors = []

    def wrap(target):
        def run():
            try:
                while not stop.is_set():
                    target()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        return run

    threads = [threading.Thread(target=wrap(t), daemon=True) for t in targets]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    stuck = [t for t in threads if t.is_alive()]
    assert not stuck, f"{len(stuck)} thread(s) deadlocked"
    assert errors == []


@pytest.fixture
def busy_sdk(make_sdk, traffic):
    """A connected SDK whose subscription receives a steady stream from another client."""
    sdk = make_sdk()
    assert sdk.subscribe("l/#", 1)
    traffic("l/in", qos=(0, 1), pause=0.0002)
    return sdk


def test_setters_from_many_threads_while_messages_flow(busy_sdk):
    received = []
    busy_sdk.on_message(lambda t, p: received.append(p))
    run_threads(
        [
            lambda: busy_sdk.on_message(lambda t, p: received.append(p)),
            lambda: busy_sdk.on_message(None),
            lambda: busy_sdk.on_connection(lambda c, k: None),
            lambda: busy_sdk.on_connection(None),
            lambda: busy_sdk.publish("l/out", "x", 1),
            lambda: busy_sdk.is_connected(),
        ],
        seconds=2,
    )
    assert received, "no message reached a handler"
    assert busy_sdk.is_connected()


def test_handlers_that_call_back_into_their_object(busy_sdk):
    calls = []

    def handler(topic, payload):
        calls.append(payload)
        # Re-entry from the dispatch thread: a setter and a blocking publish.
        busy_sdk.on_connection(lambda c, k: None)
        if len(calls) % 10 == 0:
            busy_sdk.publish("l/echo", payload, 1)
        busy_sdk.on_message(handler)

    busy_sdk.on_message(handler)
    run_threads(
        [
            lambda: busy_sdk.on_message(handler),
            lambda: busy_sdk.subscribe("l/extra", 0),
            lambda: busy_sdk.publish("l/out", "y", 1),
        ],
        seconds=2,
    )
    assert len(calls) > 10


def test_stop_from_another_thread_while_a_handler_runs(busy_sdk):
    entered = threading.Event()

    def handler(topic, payload):
        entered.set()
        time.sleep(0.01)

    busy_sdk.on_message(handler)
    assert entered.wait(10)
    stopper = threading.Thread(target=busy_sdk.stop, daemon=True)
    stopper.start()
    # Meanwhile this thread replaces the handler again and again.
    deadline = time.monotonic() + 1
    while time.monotonic() < deadline:
        busy_sdk.on_message(handler)
    stopper.join(JOIN_TIMEOUT)
    assert not stopper.is_alive(), "stop deadlocked"
    assert not busy_sdk.is_connected()


def test_stop_while_other_threads_use_the_client_never_crashes(child, broker):
    # Other threads are inside subscribe and publish when stop destroys the library client; the
    # client must outlive every library call that is still using it. A subscribe caught by the
    # disconnect waits out the library's 10 s command timeout, so the threads get 15 s to end.
    result = child(
        """
        import threading, time, movra_sdk
        address = sys.argv[1]
        for n in range(2):
            sdk = movra_sdk.SDK()
            sdk.init(f"stop-race-{n}", address, "tcp", "", "")
            assert sdk.connect()
            done = threading.Event()

            def use(qos):
                while not done.is_set():
                    sdk.publish("race/x", "payload", qos)
                    sdk.subscribe("race/y", 0)

            threads = [threading.Thread(target=use, args=(q,)) for q in (0, 1)]
            for t in threads:
                t.start()
            time.sleep(0.02)
            started = time.monotonic()
            sdk.stop()
            # The library's disconnect waits for messages in flight, never for the callers.
            assert time.monotonic() - started < 12, "stop waited for the other threads"
            done.set()
            for t in threads:
                t.join(15)
                assert not t.is_alive()
        print("ok", flush=True)
    """,
        broker.address,
        timeout=120,
    )
    assert result.returncode == 0, result.err[-2000:]
    assert "ok\n" in result.out
