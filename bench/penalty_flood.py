"""What the plugin's penalty window buys: how long a legitimate Enterprise CONNECT from 127.0.0.1
waits for its CONNACK while junk CONNECTs flood in from 127.0.0.2 (flooder processes), with the penalty window on (the default) and off
(plugin_opt_penalty_max_ms 0), and without a flood.

    .venv/bin/python bench/penalty_flood.py [connects=30] [flooders=4]

The legitimate CONNECT carries a token movra_sdk made for the development key (the latency measured
is the broker's: send CONNECT, read CONNACK); a movra_sdk client then connects once in each run.
The junk is the most expensive kind: well-formed tokens for the broker's key with a wrong password,
so that each one the plugin checks costs it an RSA-2048 decryption on mosquitto's single thread.
Needs `make native module` (the plugin, the development key, movra_sdk in .venv).
"""

from __future__ import annotations

import multiprocessing
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "tests" / "python")]

import socket  # noqa: E402

from enterprise_support import encode_connect, load_private_key, plugin_broker  # noqa: E402
from jwcrypto import jwe, jwk  # noqa: E402
from jwcrypto.common import json_encode  # noqa: E402

import movra_sdk  # noqa: E402


def junk_token() -> bytes:
    made = jwe.JWE(
        b"a guess", json_encode({"alg": "RSA-OAEP", "enc": "A256GCM"}), algs=["RSA-OAEP", "A256GCM"]
    )
    made.add_recipient(jwk.JWK.from_json(load_private_key().export_public()))
    return made.serialize(compact=True).encode()


def flood(port: int, packet: bytes, stop, counter) -> None:
    while not stop.is_set():
        try:
            with socket.create_connection(
                ("127.0.0.1", port), timeout=5, source_address=("127.0.0.2", 0)
            ) as sock:
                sock.sendall(packet)
                sock.recv(16)
                with counter.get_lock():
                    counter.value += 1
        except OSError:
            pass


def sdk_token() -> bytes:
    """A token exactly as movra_sdk sends it, read off the wire."""
    from enterprise_support import WireTap

    with (
        plugin_broker({"alice": "s3cret"}, log_verbose=False) as broker,
        WireTap(broker.port) as tap,
    ):
        sdk = movra_sdk.SDK()
        sdk.init("movra-bench", tap.address, "tcp", "alice", "s3cret", edition="Enterprise")
        assert sdk.connect(), "the Enterprise client was refused"
        sdk.stop()
        return tap.wait_for(1)[0].password


def connect_latencies(port: int, packet: bytes, count: int) -> list[float]:
    times = []
    for _ in range(count):
        start = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
            sock.sendall(packet)
            answer = sock.recv(4)
        times.append((time.perf_counter() - start) * 1000)
        if answer[:1] != b"\x20" or answer[3:4] != b"\x00":
            raise SystemExit(f"the legitimate CONNECT was refused: {answer!r}")
    return times


def run(
    label: str, penalty_max_ms: int | None, flooders: int, connects: int, junk: bytes, good: bytes
) -> None:
    with plugin_broker(
        {"alice": "s3cret"}, log_verbose=False, penalty_max_ms=penalty_max_ms
    ) as broker:
        stop, counter = multiprocessing.Event(), multiprocessing.Value("l", 0)
        workers = [
            multiprocessing.Process(target=flood, args=(broker.port, junk, stop, counter))
            for _ in range(flooders)
        ]
        for worker in workers:
            worker.start()
        time.sleep(1.0 if flooders else 0)
        begun, flooded = time.perf_counter(), counter.value
        times = connect_latencies(broker.port, good, connects)
        rate = (counter.value - flooded) / (time.perf_counter() - begun)
        sdk = movra_sdk.SDK()
        sdk.init("movra-bench-sdk", broker.address, "tcp", "alice", "s3cret", edition="Enterprise")
        sdk_ok = sdk.connect()
        sdk.stop()
        stop.set()
        for worker in workers:
            worker.join()
        if not sdk_ok:
            raise SystemExit("the movra_sdk Enterprise client was refused")
    times.sort()
    print(
        f"{label:<34} connect ms: median {statistics.median(times):7.1f}  "
        f"p95 {times[int(len(times) * 0.95) - 1]:7.1f}  max {times[-1]:7.1f}   "
        f"junk CONNECTs answered/s: {rate:7.0f}"
    )


def main() -> None:
    options = dict(arg.split("=", 1) for arg in sys.argv[1:])
    connects, flooders = int(options.get("connects", 30)), int(options.get("flooders", 4))
    junk = encode_connect("movra-junk", "alice", junk_token())
    good = encode_connect("movra-good", "alice", sdk_token())
    run("no flood", None, 0, connects, junk, good)
    run(f"flood x{flooders}, penalty window on", None, flooders, connects, junk, good)
    run(f"flood x{flooders}, penalty window off", 0, flooders, connects, junk, good)


if __name__ == "__main__":
    main()
