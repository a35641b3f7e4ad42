"""A round trip through movra_sdk against a broker that the demo starts itself."""

import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import movra_sdk  # noqa: E402
from broker.harness import Broker  # noqa: E402


def main() -> int:
    with Broker() as broker:
        received = threading.Event()
        sdk = movra_sdk.SDK()

        def on_message(topic: str, payload: str) -> None:
            print(f"demo: message on {topic}: {payload}", flush=True)
            received.set()

        def on_connection(connected: bool, code: int) -> None:
            print(f"demo: connection {'up' if connected else 'down'} (code {code})", flush=True)

        sdk.on_message(on_message)
        sdk.on_connection(on_connection)
        sdk.init("movra-demo", broker.address, "tcp", "", "")
        if not sdk.connect():
            return 1
        sdk.subscribe("demo/greeting", 1)
        sdk.publish("demo/greeting", "hello from movra_sdk", 1)
        ok = received.wait(5)
        sdk.stop()
        print("demo: round trip " + ("complete" if ok else "FAILED"), flush=True)
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
