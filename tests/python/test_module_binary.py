"""The binary form of the message handler: payloads as the bytes the broker sent, beside the text
form, and the form switched while messages flow."""

import os
import queue
import threading
import time


def subscribed(sdk, topic, *, binary):
    """Subscribes sdk to topic with a handler of the given form; returns the queue it fills."""
    received = queue.Queue()
    sdk.on_message(lambda t, p: received.put((t, p)), binary=binary)
    assert sdk.subscribe(topic, 1)
    return received


class TestBinaryPayloads:
    def test_every_byte_value_empty_and_a_mebibyte_arrive_exactly_beside_the_text_form(
        self, make_sdk, raw_client
    ):
        binary = subscribed(make_sdk(), "bin/#", binary=True)
        text = subscribed(make_sdk(), "bin/text/#", binary=False)
        frames = [
            ("bin/all", bytes(range(256)) * 3),
            ("bin/empty", b""),
            ("bin/large", os.urandom(1 << 20)),
            ("bin/text/utf8", "grüße ✓".encode()),
            ("bin/text/empty", b""),
        ]
        peer = raw_client()
        for topic, payload in frames:
            peer.publish(topic, payload, 1).wait_for_publish(10)
        for topic, payload in frames:
            got_topic, got = binary.get(timeout=20)
            assert (got_topic, type(got), len(got)) == (topic, bytes, len(payload))
            assert got == payload
        assert text.get(timeout=10) == ("bin/text/utf8", "grüße ✓")
        assert text.get(timeout=10) == ("bin/text/empty", "")

    def test_switching_the_form_while_messages_flow_never_mixes_callable_and_form(
        self, make_sdk, traffic
    ):
        sdk = make_sdk()
        assert sdk.subscribe("bin/flood", 0)
        wrong = []
        calls = {bytes: 0, str: 0}

        def handler_for(form, current):
            def handler(topic, payload):
                if type(payload) is not form or not current.is_set():
                    wrong.append((form, type(payload), current.is_set()))
                calls[form] += 1

            return handler

        traffic("bin/flood")
        current = threading.Event()
        for n in range(200):
            form = bytes if n % 2 else str
            previous, current = current, threading.Event()
            current.set()
            sdk.on_message(handler_for(form, current), binary=form is bytes)
            # Once the setter returns, the previous callable and its form are never used again.
            previous.clear()
            time.sleep(0.002)
        sdk.on_message(None)
        # The same topic decoded both ways: every handler that ran got the form it asked for.
        assert wrong == []
        assert calls[bytes] > 10 and calls[str] > 10, calls
