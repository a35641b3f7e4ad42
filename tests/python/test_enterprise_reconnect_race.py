"""Callers' connects wrap new tokens while the reconnect worker retries with the options: every
password that reaches the wire is a whole token of the right password, and nothing crashes."""

from __future__ import annotations

import json
from pathlib import Path

from enterprise_support import decrypt

PASSWORD = "räce-pässword"

RACE = """
    import json, threading, time
    sys.path.insert(0, sys.argv[1])
    import movra_sdk
    from enterprise_support import ConnectionLog, WireTap, plugin_broker
    from reconnect_child import ConsoleTap

    console = ConsoleTap()

    password = sys.argv[2]
    with plugin_broker({"alice": password}, log_verbose=False) as broker, WireTap(broker.port) as tap:
        log = ConnectionLog()
        sdk = movra_sdk.SDK()
        sdk.on_connection(log)
        sdk.init("movra-race", tap.address, "tcp", "alice", password, edition="Enterprise",
                 maxReconnectInterval=1)
        assert sdk.connect()
        broker.kill()
        log.wait_for((False, -1))
        stop = threading.Event()
        results = []

        def caller():
            while not stop.is_set():
                results.append(sdk.connect())
                time.sleep(0.02)

        callers = [threading.Thread(target=caller) for _ in range(3)]
        started = time.monotonic()
        for thread in callers:
            thread.start()
        # The broker refuses meanwhile: three of the worker's attempts, a second apart, race the
        # callers' connects.
        console.wait_line(r"Reconnect failed", "err", count=3, since=started)
        broker.start()
        deadline = time.monotonic() + 20
        while not sdk.is_connected() and time.monotonic() < deadline:
            time.sleep(0.05)
        stop.set()
        for thread in callers:
            thread.join()
        connected = sdk.is_connected()
        sdk.stop()
        console.close()
        print(json.dumps({"connected": connected, "results": results,
                          "tokens": [sent.token for sent in tap.connects]}), flush=True)
"""


def test_connects_wrapping_during_worker_retries_send_only_whole_tokens(child):
    result = child(RACE, str(Path(__file__).parent), PASSWORD, timeout=90)
    assert result.returncode == 0, result.err
    report = json.loads(next(line for line in result.out.splitlines() if line.startswith("{")))
    assert report["connected"]
    assert False in report["results"] and report["results"][-1] is True
    # Both kinds of attempt really ran against the refusing broker.
    assert result.out.count("[SDK] Attempting to reconnect...\n") >= 2
    assert "[SDK] Reconnect failed, rc=" in result.err
    assert "[SDK] connect failed, rc=" in result.err
    tokens = report["tokens"]
    assert len(set(tokens)) > 3
    assert all(decrypt(token) == PASSWORD.encode("utf-8") for token in set(tokens))
