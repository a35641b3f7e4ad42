"""The Enterprise edition end to end: a mosquitto that runs the movra_jwe_auth plugin with the private
half of the key compiled into movra_sdk lets the Enterprise client in (its password goes out as a JWE
token) and keeps out a Community client that sends the same password in plain text.

    python examples/demo_enterprise.py [--private-key PATH] [--plugin PATH]

Defaults: the private key named by MOVRA_SERVER_PRIVATE_JWK, else the development pair of the
checkout (build/dev-key/server_private.jwk), and the plugin of the native build
(build/native/broker/movra_jwe_auth.so), as `make demo` builds them.
"""

import argparse
import os
import sys
import tempfile
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

import movra_sdk  # noqa: E402
from broker.harness import Broker  # noqa: E402

USER, PASSWORD = "demo-user", "demo-pässword"


def enterprise_broker(plugin: Path, private_key: Path, passwords: Path) -> Broker:
    passwords.write_text(f"{USER}:{PASSWORD}\n", encoding="utf-8")
    # Started as root, mosquitto would drop to the "mosquitto" user, who cannot read our key.
    run_as = ["user root"] if os.geteuid() == 0 else []
    return Broker(
        allow_anonymous=False,
        extra=[
            *run_as,
            f"plugin {plugin}",
            f"plugin_opt_private_key {private_key}",
            f"plugin_opt_password_file {passwords}",
        ],
    )


def round_trip(broker: Broker) -> bool:
    received = threading.Event()
    sdk = movra_sdk.SDK()

    def on_message(topic: str, payload: str) -> None:
        print(f"demo: message on {topic}: {payload}", flush=True)
        received.set()

    sdk.on_message(on_message)
    sdk.on_connection(
        lambda connected, code: print(
            f"demo: connection {'up' if connected else 'down'} (code {code})", flush=True
        )
    )
    sdk.init("movra-demo-enterprise", broker.address, "tcp", USER, PASSWORD, edition="Enterprise")
    if not sdk.connect():
        return False
    sdk.subscribe("demo/enterprise", 1)
    sdk.publish("demo/enterprise", "hello through a JWE-checking broker", 1)
    ok = received.wait(5)
    sdk.stop()
    return ok


def community_refused(broker: Broker) -> bool:
    sdk = movra_sdk.SDK()
    sdk.init("movra-demo-community", broker.address, "tcp", USER, PASSWORD, edition="Community")
    connected = sdk.connect()
    sdk.stop()
    return not connected


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--private-key",
        type=Path,
        default=Path(
            os.environ.get(
                "MOVRA_SERVER_PRIVATE_JWK", ROOT / "build" / "dev-key" / "server_private.jwk"
            )
        ),
    )
    parser.add_argument(
        "--plugin", type=Path, default=ROOT / "build" / "native" / "broker" / "movra_jwe_auth.so"
    )
    args = parser.parse_args()
    for path in (args.private_key, args.plugin):
        if not path.is_file():
            print(f"demo: {path} not found: run 'make native' first", file=sys.stderr)
            return 1

    with (
        tempfile.TemporaryDirectory(prefix="movra-demo-") as directory,
        enterprise_broker(args.plugin, args.private_key, Path(directory) / "passwords") as broker,
    ):
        print("demo: Enterprise client, password wrapped as a JWE token", flush=True)
        ok = round_trip(broker)
        print("demo: Enterprise round trip " + ("complete" if ok else "FAILED"), flush=True)
        print("demo: Community client, same password in plain text", flush=True)
        refused = community_refused(broker)
        print(
            "demo: Community client " + ("refused, as it should be" if refused else "ADMITTED"),
            flush=True,
        )
        return 0 if ok and refused else 1


if __name__ == "__main__":
    sys.exit(main())
