"""Rates a Python program gets from movra_sdk against a local mosquitto.

    .venv/bin/python bench/measure_rates.py [--messages N]

Publishing: back-to-back publish() calls at QoS 0 and at QoS 1 (each QoS 1 call waits for its
acknowledgement). Receiving: mosquitto_pub sends N QoS 0 messages, counted by a Python handler;
the rate runs from the first to the last arrival.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import movra_sdk  # noqa: E402
from broker.harness import Broker  # noqa: E402


def publish_rate(sdk: movra_sdk.SDK, qos: int, count: int) -> float:
    payload = "x" * 64
    started = time.perf_counter()
    for _ in range(count):
        sdk.publish("rates/out", payload, qos)
    return count / (time.perf_counter() - started)


def receive_rate(sdk: movra_sdk.SDK, broker: Broker, count: int) -> tuple[float, int]:
    arrivals: list[float] = []
    done = threading.Event()

    def handler(topic: str, payload: str) -> None:
        arrivals.append(time.perf_counter())
        if len(arrivals) == count:
            done.set()

    sdk.on_message(handler)
    assert sdk.subscribe("rates/in", 0)
    lines = "".join(f"message {i:08d}\n" for i in range(count)).encode()
    subprocess.run(
        [
            "mosquitto_pub",
            "-h",
            broker.host,
            "-p",
            str(broker.port),
            "-t",
            "rates/in",
            "-q",
            "0",
            "-l",
        ],
        input=lines,
        check=True,
    )
    done.wait(60)
    sdk.on_message(None)
    if len(arrivals) < 2:
        return 0.0, len(arrivals)
    return (len(arrivals) - 1) / (arrivals[-1] - arrivals[0]), len(arrivals)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=50000)
    args = parser.parse_args()
    with Broker() as broker:
        sdk = movra_sdk.SDK()
        sdk.init("movra-rates", broker.address, "tcp", "", "")
        if not sdk.connect():
            return 1
        qos0 = publish_rate(sdk, 0, args.messages)
        qos1 = publish_rate(sdk, 1, max(args.messages // 10, 1))
        received, got = receive_rate(sdk, broker, args.messages)
        sdk.stop()
    print(f"publish QoS 0: {qos0:,.0f} msg/s", flush=True)
    print(f"publish QoS 1: {qos1:,.0f} msg/s", flush=True)
    print(
        f"receive into a Python handler: {received:,.0f} msg/s ({got} of {args.messages})",
        flush=True,
    )
    return 0 if got == args.messages else 1


if __name__ == "__main__":
    sys.exit(main())
