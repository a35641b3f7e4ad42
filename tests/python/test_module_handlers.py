"""Python handlers: the values they get, their exceptions in the caller's thread, and their
replacement while messages flow."""

import queue
import threading
import time

import pytest


class HandlerError(Exception):
    pass


class TestHandlerValues:
    def test_connection_handler_gets_bool_and_int(self, make_sdk):
        calls = []
        sdk = make_sdk(connect=False)
        sdk.on_connection(lambda connected, code: calls.append((connected, code)))
        assert sdk.connect()
        sdk.disconnect()
        assert calls == [(True, 0), (False, 0)]
        assert [(type(c), type(k)) for c, k in calls] == [(bool, int)] * 2

    def test_message_handler_gets_str(self, make_sdk):
        sdk = make_sdk()
        received = queue.Queue()
        sdk.on_message(lambda t, p: received.put((type(t), type(p))))
        assert sdk.subscribe("h/str", 1)
        sdk.publish("h/str", b"bytes in", 1)
        assert received.get(timeout=10) == (str, str)


class TestHandlerExceptionsInCallerThread:
    @pytest.fixture
    def raising(self, make_sdk):
        error = HandlerError("from the connection handler")
        sdk = make_sdk(connect=False)
        seen = []

        def handler(connected, code):
            seen.append((connected, code))
            raise error

        sdk.on_connection(handler)
        return sdk, error, seen

    def test_connect_raises_the_handlers_exception(self, raising):
        sdk, error, seen = raising
        with pytest.raises(HandlerError) as info:
            sdk.connect()
        assert info.value is error
        assert seen == [(True, 0)]
        assert sdk.is_connected()

    def test_disconnect_raises_the_handlers_exception(self, raising):
        sdk, error, seen = raising
        sdk.on_connection(None)
        assert sdk.connect()
        sdk.on_connection(lambda c, k: (seen.append((c, k)), (_ for _ in ()).throw(error)))
        with pytest.raises(HandlerError) as info:
            sdk.disconnect()
        assert info.value is error
        assert seen == [(False, 0)]
        assert not sdk.is_connected()

    def test_stop_raises_the_handlers_exception_and_a_later_stop_completes(self, raising, capfd):
        sdk, error, seen = raising
        with pytest.raises(HandlerError):
            sdk.connect()
        with pytest.raises(HandlerError) as info:
            sdk.stop()
        assert info.value is error
        assert seen == [(True, 0), (False, 0)]
        sdk.on_connection(None)
        sdk.stop()
        assert sdk.connect() is False
        assert capfd.readouterr().err.endswith("[SDK] connect — call init() first\n")


class TestHandlerReplacement:
    def test_replaced_handler_is_never_called_after_the_setter_returns(self, make_sdk, traffic):
        sdk = make_sdk()
        assert sdk.subscribe("h/flood", 0)
        retired = set()
        late = []
        counts = [0] * 200

        def handler_for(n):
            def handler(topic, payload):
                if n in retired:
                    late.append(n)
                counts[n] += 1

            return handler

        sdk.on_message(handler_for(0))
        traffic("h/flood")
        for n in range(1, len(counts)):
            time.sleep(0.002)
            sdk.on_message(handler_for(n))
            retired.add(n - 1)
        sdk.on_message(None)
        retired.add(len(counts) - 1)
        witnessed = threading.Event()
        sdk.on_message(lambda topic, payload: witnessed.set())
        # One dispatch thread calls the handlers in turn: once this one ran, no earlier one can.
        assert witnessed.wait(10)
        assert late == []
        assert sum(1 for c in counts if c) > len(counts) // 4, "too few handlers saw messages"

    def test_handler_cleared_while_messages_flow_is_never_called_again(self, make_sdk, traffic):
        sdk = make_sdk()
        assert sdk.subscribe("h/clear", 0)
        traffic("h/clear")
        for _ in range(20):
            cleared = threading.Event()
            calls = []
            late = []

            def handler(topic, payload, cleared=cleared, calls=calls, late=late):
                if cleared.is_set():
                    late.append(payload)
                calls.append(payload)

            sdk.on_message(handler)
            deadline = time.monotonic() + 10
            while not calls and time.monotonic() < deadline:
                time.sleep(0.001)
            sdk.on_message(None)
            cleared.set()
            witnessed = threading.Event()
            sdk.on_message(lambda topic, payload, witnessed=witnessed: witnessed.set())
            assert witnessed.wait(10)
            assert calls and late == []
