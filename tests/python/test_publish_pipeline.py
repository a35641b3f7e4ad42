"""publish(..., wait=False): the futures, the offline queue and its bound, resending after a broker
crash with both session kinds, stop with pending messages, handlers that publish, and a cut link
over WebSockets, secure WebSockets and the Enterprise edition."""

from __future__ import annotations

import asyncio
import concurrent.futures
import queue
import shutil
import tempfile
import threading
import time
from pathlib import Path

import paho.mqtt.client as mqtt
import pytest
from conftest import unique_client_id
from enterprise_support import plugin_lines
from tcp_proxy import TcpProxy

import movra_sdk
from broker.harness import Broker
from broker.save_window import BROKER_VERDICTS, KILL_MARKER, explain, mark, persistent_broker
from broker.tls import Certificates, TlsBroker


class Collector:
    """A paho-mqtt subscriber that records every payload it receives on `topic`, in order. With
    `kept=True` its session survives its own reconnects and a persistent broker's restarts."""

    def __init__(self, broker: Broker, topic: str, qos: int = 1, kept: bool = False):
        self.payloads: list[bytes] = []
        self.lock = threading.Lock()
        self.subscribed = threading.Event()
        self.client = mqtt.Client(
            mqtt.CallbackAPIVersion.VERSION2,
            client_id=unique_client_id("collector"),
            clean_session=not kept,
        )
        self.client.reconnect_delay_set(0.05, 0.5)
        self.client.on_connect = lambda c, *a: c.subscribe(topic, qos)
        self.client.on_subscribe = lambda *a: self.subscribed.set()
        self.client.on_message = self._record
        self.client.connect(broker.host, broker.port)
        self.client.loop_start()
        assert self.subscribed.wait(10)

    def _record(self, client, userdata, message):
        with self.lock:
            self.payloads.append(message.payload)

    def wait_for(self, count: int, timeout: float = 30) -> list[bytes]:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if len(set(self.payloads)) >= count:
                    return list(self.payloads)
            time.sleep(0.02)
        with self.lock:
            return list(self.payloads)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


@pytest.fixture
def collector(broker):
    made = []

    def make(topic: str, **kwargs) -> Collector:
        c = Collector(broker, topic, **kwargs)
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()


def failure_of(future: concurrent.futures.Future) -> BaseException:
    exc = future.exception(timeout=10)
    assert exc is not None
    return exc


class TestFutures:
    def test_each_qos_resolves_in_order_and_each_refusal_fails_its_future_at_once(
        self, make_sdk, collector, capfd
    ):
        sink = collector("pipe/#", qos=2)
        sdk = make_sdk()
        futures = [sdk.publish("pipe/q", f"m{i}".encode(), i % 3, wait=False) for i in range(30)]
        assert all(isinstance(f, concurrent.futures.Future) for f in futures)
        assert [f.result(timeout=10) for f in futures] == [None] * 30
        received = sink.wait_for(30)
        # MQTT orders the messages of each QoS; the broker forwards QoS 2 at PUBREL.
        for qos in range(3):
            sent = [f"m{i}".encode() for i in range(qos, 30, 3)]
            assert [p for p in received if p in sent] == sent
        assert len(received) == 30
        # A queued message cannot be taken back.
        assert not sdk.publish("pipe/q", "x", 1, wait=False).cancel()

        refused = {
            "pipe/#": ValueError,
            "pipe/+/x": ValueError,
            "": ValueError,
            "a\0b": ValueError,
        }
        for topic, kind in refused.items():
            future = sdk.publish(topic, "x", 1, wait=False)
            assert future.done() and isinstance(failure_of(future), kind), topic
        bad_qos = sdk.publish("pipe/q", "x", 3, wait=False)
        assert bad_qos.done() and isinstance(failure_of(bad_qos), ValueError)
        # Nothing on the console for the form without waiting, whatever the outcome.
        out, err = capfd.readouterr()
        assert "publish" not in out + err

    def test_asyncio_awaits_the_futures(self, make_sdk, collector):
        sink = collector("aio")
        sdk = make_sdk()

        async def main():
            await asyncio.gather(
                *(asyncio.wrap_future(sdk.publish("aio", str(i), 1, wait=False)) for i in range(50))
            )
            with pytest.raises(ValueError):
                await asyncio.wrap_future(sdk.publish("aio/#", "x", 1, wait=False))

        asyncio.run(main())
        assert len(sink.wait_for(50)) == 50

    def test_outside_init_and_stop_the_future_fails_with_connection_aborted(self):
        sdk = movra_sdk.SDK()
        exc = failure_of(sdk.publish("t", "x", 1, wait=False))
        assert isinstance(exc, ConnectionAbortedError) and exc.errno == -3


class TestOfflineQueue:
    def test_queued_offline_in_order_bounded_and_kept_across_disconnect(
        self, make_sdk, collector, capfd
    ):
        sink = collector("queued")
        sdk = make_sdk(connect=False, maxQueued=5)
        early = [sdk.publish("queued", f"a{i}", 1, wait=False) for i in range(5)]
        overflow = sdk.publish("queued", "over", 1, wait=False)
        assert overflow.done() and isinstance(failure_of(overflow), queue.Full)
        assert not any(f.done() for f in early)
        assert sdk.connect()
        assert [f.result(timeout=10) for f in early] == [None] * 5

        sdk.disconnect()
        late = [sdk.publish("queued", f"b{i}", 0, wait=False) for i in range(3)]
        assert not any(f.done() for f in late)
        assert sdk.connect()
        assert [f.result(timeout=10) for f in late] == [None] * 3
        assert sink.wait_for(8) == [f"a{i}".encode() for i in range(5)] + [
            f"b{i}".encode() for i in range(3)
        ]
        capfd.readouterr()

    def test_the_byte_bound_refuses_what_does_not_fit_but_admits_a_lone_large_message(
        self, make_sdk
    ):
        sdk = make_sdk(connect=False, maxQueuedBytes=1000)
        lone = sdk.publish("big", b"x" * 5000, 1, wait=False)
        assert not lone.done()
        over = sdk.publish("big", b"y", 1, wait=False)
        assert isinstance(failure_of(over), queue.Full)
        assert sdk.connect()
        assert lone.result(timeout=10) is None
        # Nine of topic and payload 103 bytes fit beside each other, the tenth does not.
        fits = [sdk.publish("big", b"z" * 100, 0, wait=False) for _ in range(10)]
        assert sum(f.done() and f.exception() is not None for f in fits) <= 1
        assert [f.result(timeout=10) for f in fits[:9]] == [None] * 9

    def test_init_refuses_settings_out_of_range(self, broker):
        sdk = movra_sdk.SDK()
        for bad in ({"maxInflight": 0}, {"maxInflight": 65536}, {"maxQueued": 0}):
            with pytest.raises(ValueError):
                sdk.init("id", broker.address, "tcp", "", "", **bad)
        sdk.stop()


class TestStop:
    def test_stop_and_deallocation_fail_every_pending_future_promptly(self, stalled_broker, capfd):
        # The listener accepts the session and never acknowledges: the window fills and stays full.
        sdk = movra_sdk.SDK()
        sdk.init(unique_client_id(), stalled_broker.address, "tcp", "", "", maxInflight=2)
        assert sdk.connect()
        futures = [sdk.publish("stuck", str(i), 1, wait=False) for i in range(10)]
        futures.append(sdk.publish("stuck", "zero", 0, wait=False))
        started = time.monotonic()
        # A waiting publish behind a full window still returns by its limit.
        assert sdk.publish("stuck", "blocking", 1) is None
        assert time.monotonic() - started < 15
        assert not any(f.done() for f in futures[:10])
        sdk.stop()
        for f in futures[:10]:
            exc = failure_of(f)
            assert isinstance(exc, ConnectionAbortedError) and exc.errno == -3

        other = movra_sdk.SDK()
        other.init(unique_client_id(), "127.0.0.1:1", "tcp", "", "")
        pending = [other.publish("gone", str(i), 1, wait=False) for i in range(100)]
        del other
        assert all(isinstance(failure_of(f), ConnectionAbortedError) for f in pending)
        capfd.readouterr()


class TestHandlers:
    def test_a_handler_publishes_without_waiting_through_a_window_of_one(
        self, make_sdk, collector, raw_client
    ):
        sink = collector("echo/out")
        sdk = make_sdk(maxInflight=1)
        futures: list[concurrent.futures.Future] = []
        callback_threads: set[int] = set()
        handler_threads: set[int] = set()

        def on_message(topic, payload):
            handler_threads.add(threading.get_ident())
            f = sdk.publish("echo/out", payload, 1, wait=False)
            f.add_done_callback(lambda _: callback_threads.add(threading.get_ident()))
            futures.append(f)

        sdk.on_message(on_message)
        assert sdk.subscribe("echo/in", 1)
        peer = raw_client()
        for i in range(300):
            peer.publish("echo/in", str(i), qos=1)
        received = sink.wait_for(300)
        assert sorted(received, key=int) == [str(i).encode() for i in range(300)]
        assert len(futures) == 300
        assert all(f.result(timeout=10) is None for f in futures)
        # Settled on the dispatch thread, the handlers' own.
        assert callback_threads == handler_threads and len(handler_threads) == 1


@pytest.fixture(scope="module")
def certs():
    # Outside pytest's temporary directory: mosquitto, which may run as another user, reads them.
    directory = Path(tempfile.mkdtemp(prefix="movra-pipeline-tls-"))
    yield Certificates(directory)
    shutil.rmtree(directory, ignore_errors=True)


# (scheme, listener, edition, init's TLS arguments)
TRANSPORTS = {
    "WebSockets": ("ws", "ws", "Community", lambda c: {}),
    "secure WebSockets": ("wss", "wss", "Community", lambda c: {"caFile": c.ca}),
    "Enterprise over TLS": ("ssl", "tls", "Enterprise", lambda c: {"caFile": c.ca}),
}


@pytest.mark.parametrize("case", TRANSPORTS.values(), ids=TRANSPORTS.keys())
def test_the_pipeline_keeps_every_message_through_a_cut_on_each_transport(case, certs, capfd):
    """Numbered QoS 1 messages published without waiting, the publisher's link cut in the middle:
    every future resolves and every number reaches a subscriber on a link of its own."""
    scheme, listener, edition, tls = case
    count, cut_at = 400, 200
    enterprise = edition == "Enterprise"
    user, password = ("alice", "s3cret") if enterprise else ("", "")
    extra = plugin_lines({user: password}) if enterprise else []
    arrived: list[int] = []
    all_arrived = threading.Event()

    def on_message(topic: str, payload: str) -> None:
        arrived.append(int(payload))
        if len(set(arrived)) == count:
            all_arrived.set()

    with (
        TlsBroker(certs, listeners=(listener,), allow_anonymous=not enterprise, extra=extra) as b,
        TcpProxy(b.ports[listener]) as proxy,
    ):
        publisher, subscriber = movra_sdk.SDK(), movra_sdk.SDK()
        try:
            subscriber.init(unique_client_id(), b.address, "tcp", user, password, edition=edition)
            assert subscriber.connect()
            subscriber.on_message(on_message)
            assert subscriber.subscribe("pipe/transport", 1)
            publisher.init(
                unique_client_id(),
                proxy.address,
                scheme,
                user,
                password,
                edition=edition,
                **tls(certs),
            )
            assert publisher.connect()
            futures = []
            for i in range(count):
                futures.append(publisher.publish("pipe/transport", str(i), 1, wait=False))
                if i == cut_at:
                    proxy.cut()
            assert [f.result(timeout=30) for f in futures] == [None] * count
            assert all_arrived.wait(30), f"lost: {sorted(set(range(count)) - set(arrived))}"
            assert proxy.accepted >= 2, "the cut did not end the publisher's link"
        finally:
            publisher.stop()
            subscriber.stop()
    capfd.readouterr()


@pytest.mark.parametrize("clean", [False, True], ids=["kept-session", "clean-session"])
def test_nothing_is_lost_through_broker_crashes(tmp_path, clean, capfd):
    """Numbered QoS 1 messages published without waiting while a persistent broker is killed
    (SIGKILL) and restarted: every future resolves and every one arrives, except one the broker's
    log shows it acknowledged and then lost in the kill before saving it; duplicates are counted."""
    count = 600
    publisher = unique_client_id()
    with persistent_broker(tmp_path) as broker:
        sink = Collector(broker, "chaos/#", kept=True)
        sdk = movra_sdk.SDK()
        sdk.init(publisher, broker.address, "tcp", "", "", cleanSession=clean)
        assert sdk.connect()
        futures = []
        for i in range(count):
            futures.append(sdk.publish(f"chaos/{i}", str(i), 1, wait=False))
            if i % 200 == 100:
                broker.kill()
                mark(broker, KILL_MARKER)
                time.sleep(0.2)
                broker.start()
            time.sleep(0.002)
        assert [f.result(timeout=60) for f in futures] == [None] * count
        received = sink.wait_for(count, timeout=60)
        sdk.stop()
        sink.close()
        log = broker.log.read_text(errors="replace")
    numbers = [int(p) for p in received]
    missing = sorted(set(range(count)) - set(numbers))
    verdicts = {n: explain(log, "chaos", publisher, n) for n in missing}
    assert all(v["verdict"] in BROKER_VERDICTS for v in verdicts.values()), verdicts
    capfd.readouterr()
    print(
        f"duplicates ({'clean' if clean else 'kept'} session): {len(numbers) - count + len(missing)}"
        f", lost by the broker: {missing}"
    )
