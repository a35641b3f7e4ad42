"""An SDK whose handler refers to the SDK itself is collectable: the collector runs its stop
sequence, also when the collection happens on the dispatch thread inside a handler."""

import gc
import queue

from conftest import unique_client_id

import movra_sdk


def connected_cycle(broker, events):
    """A connected SDK that is reachable only through its own handler once the caller drops it."""
    sdk = movra_sdk.SDK()
    sdk.on_message(lambda topic, payload: sdk.publish("gc/echo", payload))
    sdk.on_connection(lambda connected, code: events.append((connected, code)))
    sdk.init(unique_client_id(), broker.address, "tcp", "", "")
    assert sdk.connect()
    assert sdk.subscribe("gc/in", 1)
    return sdk


def test_collecting_a_self_referring_sdk_runs_the_stop_sequence(broker, capfd):
    events = []
    sdk = connected_cycle(broker, events)
    capfd.readouterr()
    del sdk
    # Nothing but the collector can reach it now.
    assert events == [(True, 0)]
    gc.collect()
    assert events == [(True, 0), (False, 0)]
    out = capfd.readouterr().out
    assert out.startswith("[SDK] Disconnected\n")


def test_collected_sdk_leaves_the_broker(broker, raw_client):
    # The broker sees the session end: a second client with the same id is not refused, and the
    # first one's subscription no longer echoes anything.
    events = []
    sdk = connected_cycle(broker, events)
    echoes = queue.Queue()
    observer = raw_client()
    observer.on_message = lambda c, u, msg: echoes.put(msg.payload)
    observer.subscribe("gc/echo", 1)
    observer.publish("gc/in", b"before", 1).wait_for_publish(10)
    assert echoes.get(timeout=10) == b"before"
    del sdk
    gc.collect()
    observer.publish("gc/in", b"after", 1).wait_for_publish(10)
    try:
        late = echoes.get(timeout=1)
    except queue.Empty:
        late = None
    assert late is None


def test_sdk_released_inside_its_own_handler_does_not_crash(child, broker):
    # The handler drops the last reference to its own SDK, so the instance is deallocated and its
    # stop sequence runs on its own dispatch thread, inside the handler; then a second SDK checks
    # that the process still works.
    result = child(
        """
        import threading, movra_sdk
        address = sys.argv[1]
        done = threading.Event()
        events = []
        holder = {}

        def make(name):
            sdk = movra_sdk.SDK()
            sdk.on_connection(lambda c, k: events.append((name, c, k)))
            sdk.init(name, address, "tcp", "", "")
            assert sdk.connect() and sdk.subscribe("gc/self", 1)
            return sdk

        def on_message(topic, payload):
            sdk = holder.pop("sdk", None)
            if sdk is not None:
                sdk.publish("gc/self", "second", 1)
                del sdk
                done.set()

        holder["sdk"] = make("gc-dispatch")
        holder["sdk"].on_message(on_message)
        holder["sdk"].publish("gc/self", "first", 1)
        assert done.wait(10)
        assert ("gc-dispatch", False, 0) in events, events

        other = make("gc-after")
        got = threading.Event()
        other.on_message(lambda t, p: got.set())
        other.publish("gc/self", "still works", 1)
        assert got.wait(10)
        other.stop()
        print("ok", flush=True)
    """,
        broker.address,
        timeout=60,
    )
    assert result.returncode == 0, result.err
    assert "ok\n" in result.out
    assert "Fatal Python error" not in result.err


def test_collection_of_a_busy_sdk_inside_another_handler(child, broker):
    # A self-referring SDK whose handler is busy with a stream of messages becomes garbage; the
    # collection runs on another SDK's dispatch thread, so the victim's stop sequence joins the
    # victim's dispatch thread from there while that thread still wants the interpreter lock.
    result = child(
        """
        import gc, threading, time, movra_sdk
        gc.disable()
        address = sys.argv[1]
        events = []
        done = threading.Event()
        victim_busy = threading.Event()

        def make(name):
            sdk = movra_sdk.SDK()
            sdk.on_connection(lambda c, k: events.append((name, c, k)))
            sdk.init(name, address, "tcp", "", "")
            return sdk

        def make_victim():
            victim = make("victim")

            def handler(topic, payload):
                victim_busy.set()
                time.sleep(0.001)
                victim.is_connected()

            victim.on_message(handler)
            assert victim.connect() and victim.subscribe("gc/stream", 0)

        make_victim()
        collector = make("collector")
        assert collector.connect() and collector.subscribe("gc/go", 1)

        def on_message(topic, payload):
            # While the victim's handler runs, its frame keeps the cycle reachable: collect until
            # the collector finds it between two calls.
            deadline = time.monotonic() + 15
            while ("victim", False, 0) not in events and time.monotonic() < deadline:
                gc.collect()
                time.sleep(0.002)
            done.set()

        collector.on_message(on_message)
        for i in range(200):
            collector.publish("gc/stream", str(i))
        assert victim_busy.wait(10)
        collector.publish("gc/go", "collect", 1)
        assert done.wait(20)
        assert ("victim", False, 0) in events, events
        collector.stop()
        print("ok", flush=True)
    """,
        broker.address,
        timeout=60,
    )
    assert result.returncode == 0, result.err
    assert "ok\n" in result.out
