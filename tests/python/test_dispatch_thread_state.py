"""Handlers run on one dispatch thread whose Python thread state lives as long as the thread: what a
handler keeps in threading.local is still there for the next message, however the messages were
batched."""

from __future__ import annotations

import threading

import movra_sdk


def test_thread_local_values_of_a_handler_survive_from_batch_to_batch(broker):
    local = threading.local()
    seen: list[tuple[int, int]] = []
    handled = threading.Condition()

    def on_message(topic: str, payload: str) -> None:
        local.count = getattr(local, "count", 0) + 1
        with handled:
            seen.append((threading.get_ident(), local.count))
            handled.notify_all()

    sdk = movra_sdk.SDK()
    sdk.init("thread-state", broker.address, "tcp", "", "")
    sdk.on_message(on_message)
    try:
        assert sdk.connect()
        assert sdk.subscribe("state/t", 1)
        for n in range(3):
            sdk.publish("state/t", str(n), 1)
            # The next message is sent only once this one was handled: each is a batch of its own.
            with handled:
                assert handled.wait_for(lambda n=n: len(seen) > n, 10)
    finally:
        sdk.stop()
    assert len({ident for ident, _ in seen}) == 1
    assert [count for _, count in seen] == [1, 2, 3]
