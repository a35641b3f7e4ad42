"""Errors that no caller can take are reported through sys.unraisablehook, and delivery goes on."""

import queue
import sys
import threading

import pytest
from conftest import unique_client_id

import movra_sdk


class HandlerError(Exception):
    pass


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen: queue.Queue[BaseException] = queue.Queue()
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.put(report.exc_value))
    return seen


def test_raising_message_handler_is_reported_and_delivery_goes_on(make_sdk, unraisable):
    sdk = make_sdk()
    delivered = queue.Queue()

    def handler(topic, payload):
        if payload.startswith("bad"):
            raise HandlerError(payload)
        delivered.put(payload)

    sdk.on_message(handler)
    assert sdk.subscribe("e/raise", 1)
    for payload in ["bad 1", "good 1", "bad 2", "good 2"]:
        sdk.publish("e/raise", payload, 1)
    assert [delivered.get(timeout=10), delivered.get(timeout=10)] == ["good 1", "good 2"]
    errors = [unraisable.get(timeout=10), unraisable.get(timeout=10)]
    assert [type(e) for e in errors] == [HandlerError, HandlerError]
    assert [str(e) for e in errors] == ["bad 1", "bad 2"]


def test_invalid_utf8_payload_is_reported_and_delivery_goes_on(make_sdk, raw_client, unraisable):
    sdk = make_sdk()
    delivered = queue.Queue()
    sdk.on_message(lambda t, p: delivered.put(p))
    assert sdk.subscribe("e/bytes", 1)
    raw = raw_client()
    raw.publish("e/bytes", b"\xff\xfe not text", 1).wait_for_publish(10)
    raw.publish("e/bytes", b"text", 1).wait_for_publish(10)
    assert delivered.get(timeout=10) == "text"
    error = unraisable.get(timeout=10)
    assert isinstance(error, UnicodeDecodeError)
    assert delivered.empty()


def test_raising_connection_handler_during_deallocation_is_reported(broker, unraisable, capfd):
    sdk = movra_sdk.SDK()
    sdk.init(unique_client_id(), broker.address, "tcp", "", "")
    assert sdk.connect()
    error = HandlerError("while deallocating")

    def handler(connected, code):
        raise error

    sdk.on_connection(handler)
    del sdk
    assert unraisable.get(timeout=10) is error
    assert capfd.readouterr().out.endswith("[SDK] Disconnected\n")


def test_unraisable_reports_come_from_the_dispatch_thread(make_sdk, unraisable):
    sdk = make_sdk()
    main = threading.get_ident()
    threads = queue.Queue()

    def handler(topic, payload):
        threads.put(threading.get_ident())
        raise HandlerError(payload)

    sdk.on_message(handler)
    assert sdk.subscribe("e/thread", 1)
    sdk.publish("e/thread", "x", 1)
    assert threads.get(timeout=10) != main
    assert isinstance(unraisable.get(timeout=10), HandlerError)
    assert sdk.is_connected()
