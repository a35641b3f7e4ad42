"""Argument conversion at the Python boundary, against a real broker."""

import queue

import pytest
from conftest import unique_client_id

import movra_sdk
from broker.harness import Broker


def collect(sdk) -> "queue.Queue[tuple[str, str]]":
    received: queue.Queue = queue.Queue()
    sdk.on_message(lambda topic, payload: received.put((topic, payload)))
    return received


def raw_subscriber(raw_client, topic: str) -> queue.Queue:
    received: queue.Queue = queue.Queue()
    client = raw_client()
    subscribed = queue.Queue()
    client.on_subscribe = lambda *a: subscribed.put(True)
    client.on_message = lambda c, u, msg: received.put((msg.topic, msg.payload))
    client.subscribe(topic, 1)
    subscribed.get(timeout=10)
    return received


class TestIntegerArguments:
    @pytest.mark.parametrize("qos", [1.0, 0.0, type("F", (float,), {})(1.0)])
    def test_float_qos_is_refused(self, make_sdk, qos):
        sdk = make_sdk()
        with pytest.raises(TypeError, match=r"subscribe\(\): incompatible function arguments"):
            sdk.subscribe("t/float", qos)
        with pytest.raises(TypeError, match=r"publish\(\): incompatible function arguments"):
            sdk.publish("t/float", "x", qos)

    def test_bool_qos_is_accepted_as_zero_or_one(self, make_sdk, capfd):
        sdk = make_sdk()
        received = collect(sdk)
        assert sdk.subscribe("t/bool", True) is True
        sdk.publish("t/bool", "one", True)
        sdk.publish("t/bool", "zero", False)
        assert received.get(timeout=10) == ("t/bool", "one")
        assert received.get(timeout=10) == ("t/bool", "zero")
        assert "[SDK] Subscribed to: t/bool\n" in capfd.readouterr().out

    def test_index_objects_are_accepted(self, make_sdk):
        class Level:
            def __index__(self):
                return 1

        sdk = make_sdk()
        assert sdk.subscribe("t/index", Level()) is True

    @pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**64])
    def test_values_outside_32_bits_are_refused(self, value):
        sdk = movra_sdk.SDK()
        with pytest.raises(TypeError, match=r"init\(\): incompatible function arguments"):
            sdk.init("id", "127.0.0.1:1", "tcp", "", "", maxReconnectInterval=value)
        with pytest.raises(TypeError):
            sdk.subscribe("t", value)

    @pytest.mark.parametrize("value", [2**31 - 1, -(2**31)])
    def test_32_bit_extremes_are_accepted(self, value, capfd):
        sdk = movra_sdk.SDK()
        sdk.init("id", "127.0.0.1:1", "tcp", "", "", maxReconnectInterval=value)
        # Initialised: the connect reaches the library (nothing listens there) instead of being
        # refused for want of init.
        assert sdk.connect() is False
        sdk.stop()
        assert capfd.readouterr().err.startswith("[SDK] connect failed, rc=")


class TestPositionalOnly:
    def test_unsubscribe_by_keyword_is_refused_and_by_position_accepted(self, make_sdk, capfd):
        sdk = make_sdk()
        assert sdk.subscribe("t/unsub")
        with pytest.raises(TypeError, match=r"unsubscribe\(\): incompatible function arguments"):
            sdk.unsubscribe(topic="t/unsub")
        sdk.unsubscribe("t/unsub")
        assert capfd.readouterr().out.endswith("[SDK] Unsubscribed from: t/unsub\n")

    @pytest.mark.parametrize("setter", ["on_message", "on_connection"])
    def test_handler_setters_refuse_keywords_and_non_callables(self, setter):
        sdk = movra_sdk.SDK()
        method = getattr(sdk, setter)
        with pytest.raises(TypeError):
            method(handler=lambda *a: None)
        with pytest.raises(TypeError):
            method(42)
        method(lambda *a: None)
        method(None)


class TestStringArguments:
    def test_bytes_and_bytearray_are_accepted_for_every_string(self, broker, raw_client):
        received = raw_subscriber(raw_client, "t/raw")
        sdk = movra_sdk.SDK()
        try:
            sdk.init(
                unique_client_id().encode(),
                bytearray(broker.address.encode()),
                b"tcp",
                b"",
                bytearray(),
                edition=b"Community",
            )
            assert sdk.connect()
            # Raw bytes go out unchanged, even when they are not UTF-8.
            sdk.publish(b"t/raw", b"\xff\x00\xfe", 1)
            sdk.publish(bytearray(b"t/raw"), bytearray(b"\x80abc"), 1)
            assert received.get(timeout=10) == ("t/raw", b"\xff\x00\xfe")
            assert received.get(timeout=10) == ("t/raw", b"\x80abc")
        finally:
            sdk.stop()

    def test_non_ascii_text_round_trips_as_utf8(self, make_sdk, raw_client):
        text = "grüße — ✓ 日本 😀"
        wire = raw_subscriber(raw_client, "t/utf8/#")
        sdk = make_sdk()
        received = collect(sdk)
        assert sdk.subscribe("t/utf8/#", 1)
        sdk.publish("t/utf8/ß", text, 1)
        assert wire.get(timeout=10) == ("t/utf8/ß", text.encode("utf-8"))
        topic, payload = received.get(timeout=10)
        assert (topic, payload) == ("t/utf8/ß", text)
        assert type(topic) is str and type(payload) is str

    def test_empty_payload_and_zero_bytes_arrive_unchanged(self, make_sdk):
        sdk = make_sdk()
        received = collect(sdk)
        assert sdk.subscribe("t/zero", 1)
        sdk.publish("t/zero", "", 1)
        sdk.publish("t/zero", "a\0b\0", 1)
        assert received.get(timeout=10) == ("t/zero", "")
        assert received.get(timeout=10) == ("t/zero", "a\0b\0")

    def test_a_stream_on_alternating_topics_keeps_every_topic_and_payload(self, make_sdk):
        # Topics that share a prefix or a length, and payload sizes that rise and fall, in one stream.
        topics = ["t/mix/a", "t/mix/b", "t/mix/ab", "t/mix/ä", "t/mix/a"]
        sizes = [0, 1500, 2, 900, 4000, 31]
        sent = [
            (topics[i % len(topics)], f"{i}:" + "x" * sizes[i % len(sizes)]) for i in range(300)
        ]
        sdk = make_sdk()
        received = collect(sdk)
        assert sdk.subscribe("t/mix/#", 0)
        for topic, payload in sent:
            sdk.publish(topic, payload, 0)
        assert [received.get(timeout=10) for _ in sent] == sent


class TestInit:
    def test_library_refusal_raises_runtime_error_with_its_code(self):
        sdk = movra_sdk.SDK()
        with pytest.raises(RuntimeError) as info:
            sdk.init("id", "", "", "", "")
        assert str(info.value) == "SDK::init — MQTTClient_create failed: -14"
        # The object stayed uninitialised.
        assert sdk.connect() is False

    def test_five_strings_use_the_python_defaults(self, password_file):
        # Password authentication proves the password went out as given (no wrapping in the
        # Community edition); the broker's log shows clean session off and a 30 s keep-alive.
        passwords = password_file(alice="s3cret")
        with Broker(
            allow_anonymous=False, log_verbose=True, extra=[f"password_file {passwords}"]
        ) as broker:
            client_id = unique_client_id()
            sdk = movra_sdk.SDK()
            sdk.init(client_id, broker.address, "tcp", "alice", "s3cret")
            try:
                assert sdk.connect()
            finally:
                sdk.stop()
            log = broker.log.read_text()
        assert f"as {client_id} (p2, c0, k30, u'alice')" in log
