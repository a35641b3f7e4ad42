"""Handlers run on one dispatch thread whose Python thread state lives as long as the thread: what a
handler keeps in threading.local is still there for the next message, however the messages were
batched."""

from __future__ import annotations

import threading
import time

import movra_sdk


def test_thread_local_values_of_a_handler_survive_from_batch_to_batch(broker):
    local = threading.local()
    seen: list[tuple[int, int]] = []
    done = threading.Event()

    def on_message(topic: str, payload: str) -> None:
        local.count = getattr(local, "count", 0) + 1
        seen.append((threading.get_ident(), local.count))
        if len(seen) == 3:
            done.set()

    sdk = movra_sdk.SDK()
    sdk.init("thread-state", broker.address, "tcp", "", "")
    sdk.on_message(on_message)
    try:
        assert sdk.connect()
        assert sdk.subscribe("state/t", 1)
        for n in range(3):
            sdk.publish("state/t", str(n), 1)
            # Long enough for the dispatch thread to finish its batch and go to sleep.
            time.sleep(0.2)
        assert done.wait(5)
    finally:
        sdk.stop()
    assert len({ident for ident, _ in seen}) == 1
    assert [count for _, count in seen] == [1, 2, 3]
