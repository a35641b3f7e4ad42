"""The benchmark: movra_sdk, paho-mqtt and Paho MQTT C side by side on one mosquitto.

    .venv/bin/python bench/run.py            # make bench: 5 rounds, writes bench/results/latest.*
                                             # and the figures in README.md, docs/benchmarks.md
    .venv/bin/python bench/run.py --quick    # make bench-quick: fewer and smaller runs, written
                                             # to build/bench-quick
    .venv/bin/python bench/run.py --only pipelined,chaos   # some rows alone, written to
                                             # build/bench-only

Every workload runs in a fresh process of the client under test (client_movra.py, client_paho.py,
the native paho_c_client and wire_client), interleaved: each round runs each workload once per
client, in an order that rotates from round to round. Figures are the median over the rounds, with
the lowest and highest. The output is a JSON file with every figure and the machine, a Markdown
table and a PNG chart.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT))

from chaos import run_chaos  # noqa: E402
from machine import describe_machine  # noqa: E402
from report import update_pages, write_reports  # noqa: E402

from broker.harness import Broker  # noqa: E402
from broker.tls import Certificates, TlsBroker  # noqa: E402

CLIENTS = {
    "movra_sdk": [sys.executable, str(HERE / "client_movra.py")],
    "paho-mqtt": [sys.executable, str(HERE / "client_paho.py")],
    "paho-c": [str(ROOT / "build/native/bench/paho_c_client")],
    "wire": [str(ROOT / "build/native/bench/wire_client")],
}
NATIVE = ("paho-c", "wire")
PROCESS_TIMEOUT = 120
# The chaos broker's whole log of each run that lost a message.
CHAOS_LOGS = ROOT / "build" / "chaos-logs"

FULL = dict(
    rounds=5,
    publish_seconds=0.3,
    size_seconds=0.25,
    roundtrip_count=2000,
    connect_seconds=0.8,
    mixed_count=200,
    flood_count=40000,
    backlog_count=10000,
    memory_count={"movra_sdk": 1_000_000, "paho-mqtt": 100_000, "paho-c": 1_000_000},
    memory_mark=10_000,
    recovery_rounds=5,
    pipelined_count=20_000,
    chaos_rounds=1,
    chaos_count=3000,
    chaos_interval=0.002,
    chaos_kills=4,
    chaos_downtime=0.3,
    chaos_logs=str(CHAOS_LOGS),
)
# The same workloads, smaller: a check that every row runs, not a measurement.
QUICK = dict(
    FULL,
    rounds=2,
    publish_seconds=0.1,
    size_seconds=0.05,
    roundtrip_count=300,
    connect_seconds=0.3,
    mixed_count=50,
    flood_count=5000,
    backlog_count=1000,
    memory_count={"movra_sdk": 20_000, "paho-mqtt": 20_000, "paho-c": 20_000},
    memory_mark=2_000,
    recovery_rounds=1,
    pipelined_count=3000,
    chaos_count=600,
    chaos_downtime=0.1,
)
SIZES = {"10 B": 10, "1 KiB": 1024, "64 KiB": 65536, "1 MiB": 1 << 20}


# Messages in flight in the pipelined rows, by QoS. mosquitto ends an MQTT 3.1.1 connection that has
# more unreleased incoming QoS 2 messages than its max_inflight_messages (20 unless configured), so
# the QoS 2 window is the broker's.
PIPELINE_WINDOWS = {1: 100, 2: 20}

# The rows of a run (--only picks some), with the clients each is measured for. The wire program
# takes part only where it is the limit the others are compared with; the clients measured over
# TLS are the Python ones (the C program stays the flood publisher, over TCP).
LIBRARIES = ("movra_sdk", "paho-mqtt", "paho-c")
PYTHON = ("movra_sdk", "paho-mqtt")
ROWS = {
    "publish": LIBRARIES,
    "throughput": LIBRARIES,
    "roundtrip": LIBRARIES,
    "connects": (*LIBRARIES, "wire"),
    "mixed": PYTHON,
    "parallel": PYTHON,
    "pipelined": ("movra_sdk", "paho-mqtt", "wire"),
    "flood": LIBRARIES,
    "backlog": LIBRARIES,
    "tls": PYTHON,
    "recovery": LIBRARIES,
    "memory": LIBRARIES,
    "chaos": PYTHON,
}


def rotated(names: tuple | list, n: int) -> list:
    """The order of round n: the list turned by n places."""
    k = n % len(names)
    return [*names[k:], *names[:k]]


class Bench:
    def __init__(self, config: dict, broker: Broker, log=print, ca: Path | None = None):
        self.config = config
        self.broker = broker
        self.ca = ca
        self.log = log
        self.samples: dict[str, dict[str, list]] = {}
        self.extra: dict[str, dict] = {}

    @property
    def uri(self) -> str:
        return f"tcp://{self.broker.address}"

    # ---- running client processes ----

    def argv(
        self, client: str, mode: str, tls: bool, options: dict, uri: str | None = None
    ) -> list[str]:
        """The command line; `uri` names another broker than the run's."""
        if tls:
            uri = f"ssl://127.0.0.1:{self.broker.ports['tls']}"
            options = {**options, "ca": self.ca}
        elif uri is None:
            uri = self.uri
        return [*CLIENTS[client], mode, uri, *(f"{k}={v}" for k, v in options.items())]

    def run(self, client: str, mode: str, tls: bool = False, **options) -> dict:
        argv = self.argv(client, mode, tls, options)
        proc = subprocess.run(argv, capture_output=True, text=True, timeout=PROCESS_TIMEOUT)
        return self._result(client, mode, proc.returncode, proc.stdout, proc.stderr)

    def start(
        self, client: str, mode: str, tls: bool = False, uri: str | None = None, **options
    ) -> subprocess.Popen:
        """Starts a client that says "ready" before its measured part; returns once it has."""
        argv = self.argv(client, mode, tls, options, uri)
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = proc.stdout.readline().strip()
        if line != "ready":
            proc.kill()
            out, err = proc.communicate()
            raise RuntimeError(f"{client} {mode}: expected 'ready', got {line!r}\n{err}")
        return proc

    def finish(self, client: str, mode: str, proc: subprocess.Popen) -> dict:
        try:
            out, err = proc.communicate(timeout=PROCESS_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
        return self._result(client, mode, proc.returncode, out, err)

    @staticmethod
    def _result(client: str, mode: str, rc: int, out: str, err: str) -> dict:
        lines = [line for line in out.splitlines() if line.startswith("{")]
        if rc != 0 or not lines:
            raise RuntimeError(f"{client} {mode} failed (rc={rc}):\n{out[-2000:]}\n{err[-2000:]}")
        result = json.loads(lines[-1])
        result["stderr"] = err.strip()
        return result

    def record(self, figure: str, client: str, value: float) -> None:
        self.samples.setdefault(figure, {}).setdefault(client, []).append(value)

    # ---- workloads ----

    def publish_rates(self, client: str) -> None:
        for qos in (0, 1, 2):
            r = self.run(
                client, "publish", qos=qos, size=100, seconds=self.config["publish_seconds"]
            )
            self.record(f"publish_qos{qos}", client, r["rate"])
            self.record(f"publish_qos{qos}_cpu_us", client, r["cpu_us_per_msg"])

    def throughput(self, client: str) -> None:
        for label, size in SIZES.items():
            r = self.run(client, "publish", qos=1, size=size, seconds=self.config["size_seconds"])
            self.record(f"throughput_qos1_{label}", client, r["mbps"])

    def roundtrip(self, client: str) -> None:
        r = self.run(client, "roundtrip", count=self.config["roundtrip_count"])
        self.record("roundtrip_p50_us", client, r["p50_us"])
        self.record("roundtrip_p99_us", client, r["p99_us"])

    def connects(self, client: str) -> None:
        r = self.run(client, "connects", seconds=self.config["connect_seconds"])
        self.record("connects_community", client, r["rate"])
        if client == "movra_sdk":
            r = self.run(
                client, "connects", seconds=self.config["connect_seconds"], edition="Enterprise"
            )
            # A wrap that fails says so on standard error and connects with the plain password.
            wrapped = r["stderr"] == ""
            self.extra.setdefault("enterprise_wrap", {})["ok"] = wrapped
            if not wrapped:
                self.extra["enterprise_wrap"]["stderr"] = r["stderr"].splitlines()[0]
            self.record("connects_enterprise", client, r["rate"] if wrapped else None)

    def mixed(self, client: str) -> None:
        r = self.run(client, "mixed", count=self.config["mixed_count"])
        self.record("mixed_qos1_p50_us", client, r["p50_us"])

    def parallel(self, client: str) -> None:
        r = self.run(client, "parallel", clients=20)
        self.record("parallel_connect_s", client, r["seconds"])

    def pipelined(self, client: str) -> None:
        """Publishes without waiting for each message (up to a window in flight), then waits for
        all; timed until the last acknowledgement."""
        for qos, window in PIPELINE_WINDOWS.items():
            r = self.run(
                client,
                "pipelined",
                qos=qos,
                size=100,
                count=self.config["pipelined_count"],
                window=window,
            )
            self.record(f"publish_pipelined_qos{qos}", client, r["rate"])
            self.record(f"publish_pipelined_qos{qos}_cpu_us", client, r["cpu_us_per_msg"])
            if client == "wire":
                calls = {k: r[k] for k in ("writes_per_msg", "reads_per_msg")}
                self.extra.setdefault("wire_calls", {}).setdefault(f"qos{qos}", []).append(calls)

    def parallel_recovery(self, downtime: float) -> None:
        proc = self.start("movra_sdk", "parallel", clients=20, restart=1)
        time.sleep(0.2)
        self.broker.kill()
        time.sleep(downtime)
        accepted = self._restart_broker()
        r = self.finish("movra_sdk", "parallel", proc)
        self.record("parallel_recovery_s", "movra_sdk", r["reconnected_at"] - accepted)

    def flood_receive(
        self, client: str, round_no: int, tls: bool = False, binary: bool = False
    ) -> None:
        """QoS 0: the client subscribes, then a separate publisher process floods the topic as
        fast as it can. The broker queues without limit, so every message it accepted is handed
        on; `lost` counts the messages that did not reach the handler. With tls the client
        receives over TLS; the publisher stays on TCP. binary: the handler takes the payload as
        bytes (movra_sdk's on_message(binary=True))."""
        count = self.config["flood_count"]
        suffix = "_tls" if tls else "_binary" if binary else ""
        topic = f"bench/flood{suffix}/{round_no}/{client}"
        options = dict(live=1, qos=0, count=count, topic=topic)
        if binary:
            options["binary"] = 1
        proc = self.start(client, "receive", tls, **options)
        self.run("paho-c", "flood", qos=0, count=count, topic=topic)
        r = self.finish(client, "receive", proc)
        self.record(f"receive_qos0{suffix}", client, r["rate"])
        self.record(f"receive_qos0{suffix}_cpu_us", client, r["cpu_us_per_msg"])
        self.record(f"receive_qos0{suffix}_lost", client, r["lost"])

    def tls_publish(self, client: str) -> None:
        r = self.run(
            client, "publish", True, qos=1, size=100, seconds=self.config["publish_seconds"]
        )
        self.record("publish_qos1_tls", client, r["rate"])
        self.record("publish_qos1_tls_cpu_us", client, r["cpu_us_per_msg"])

    def backlog_receive(self, clients: list[str], round_no: int) -> None:
        """QoS 1: a separate publisher process fills one kept session per client with the same
        numbered messages; each client then connects and drains its session."""
        count = self.config["backlog_count"]
        topic = f"bench/backlog/{round_no}"
        ids = {c: f"bench-backlog-{round_no}-{c}" for c in clients}
        self.run(
            "paho-c", "flood", qos=1, count=count, topic=topic, sessions=",".join(ids.values())
        )
        for client in clients:
            r = self.run(client, "receive", id=ids[client], count=count)
            self.record("receive_qos1", client, r["rate"])
            self.record("receive_qos1_cpu_us", client, r["cpu_us_per_msg"])
            self.record("receive_qos1_lost", client, r["lost"])

    def recovery(self, client: str, downtime: float) -> None:
        proc = self.start(client, "recovery")
        time.sleep(0.2)
        self.broker.kill()
        time.sleep(downtime)
        accepted = self._restart_broker()
        r = self.finish(client, "recovery", proc)
        self.record("recovery_s", client, r["reconnected_at"] - accepted)

    def _restart_broker(self) -> float:
        """Restarts the broker; returns the monotonic time of the first accepted TCP connection."""
        import socket

        seen: list[float] = []
        stop = threading.Event()

        def probe():
            while not stop.is_set():
                try:
                    with socket.create_connection(
                        (self.broker.host, self.broker.port), timeout=0.5
                    ):
                        seen.append(time.monotonic())
                        return
                except OSError:
                    time.sleep(0.001)

        t = threading.Thread(target=probe)
        t.start()
        self.broker.start()
        t.join(10)
        stop.set()
        if not seen:
            raise RuntimeError("broker did not accept after restart")
        return seen[0]

    def memory(self, client: str) -> None:
        count = self.config["memory_count"][client]
        r = self.run(client, "memory", count=count, mark=self.config["memory_mark"])
        grown = r["rss_end"] - r["rss_mark"]
        per_million = grown / max(1, r["count"] - r["mark"]) * 1e6
        self.extra.setdefault("memory", {})[client] = {
            **r,
            "growth_bytes": grown,
            "growth_per_million": per_million,
        }
        self.record("memory_growth_mib_per_million", client, per_million / (1 << 20))

    def chaos(self, client: str, clean: bool, round_no: int) -> None:
        """Numbered QoS 1 messages through SIGKILL restarts of a persistent broker of its own
        (chaos.py); the publisher's session kept or clean."""
        kind = "clean" if clean else "kept"
        r = run_chaos(
            lambda c, uri, **options: self.start(c, "chaos", uri=uri, **options),
            lambda c, proc: self.finish(c, "chaos", proc),
            client,
            clean,
            self.config,
            f"{round_no}-{client}-{kind}",
        )
        for figure in (
            "lost",
            "lost_unsaved",
            "duplicates",
            "not_completed",
            "resolved_unacknowledged",
        ):
            self.record(f"chaos_{kind}_{figure}", client, r[figure])
        if r["lost"] or r["lost_unsaved"]:
            verdicts = ", ".join(f"{x['number']}: {x['verdict']}" for x in r["losses"])
            self.log(f"chaos {client} {kind}: lost {verdicts} (broker log in {CHAOS_LOGS})")
        self.extra.setdefault("chaos", []).append({"client": client, "session": kind, **r})

    # ---- the whole run ----

    def guarded(self, step, *args) -> None:
        """Runs one step; if the broker died under it (on a shared machine another program may end
        it), restarts the broker and runs the step once more."""
        try:
            step(*args)
        except (RuntimeError, subprocess.TimeoutExpired):
            if self.broker.running():
                raise
            self.log(f"broker ended during {step.__name__}: restarted, step repeated")
            self.extra["broker_restarts"] = self.extra.get("broker_restarts", 0) + 1
            self.broker.start()
            step(*args)

    def run_all(self, rows: set[str]) -> None:
        """Runs the rows named in `rows` (keys of ROWS)."""
        names = list(CLIENTS)
        rounds = self.config["rounds"]

        def serving(row: str, order: list[str]) -> list[str]:
            return [c for c in order if c in ROWS[row]] if row in rows else []

        per_client = (
            ("publish", self.publish_rates),
            ("throughput", self.throughput),
            ("roundtrip", self.roundtrip),
            ("connects", self.connects),
            ("mixed", self.mixed),
            ("parallel", self.parallel),
            ("pipelined", self.pipelined),
        )
        for n in range(rounds if rows - {"recovery", "memory", "chaos"} else 0):
            order = rotated(names, n)
            self.log(f"round {n + 1}/{rounds}: {' '.join(order)}")
            for row, step in per_client:
                for client in serving(row, order):
                    self.guarded(step, client)
            for client in serving("flood", order):
                self.guarded(self.flood_receive, client, n)
                if client == "movra_sdk":
                    self.guarded(self.flood_receive, client, n, False, True)
            if "backlog" in rows:
                self.guarded(self.backlog_receive, serving("backlog", order), n)
            for client in serving("tls", order):
                self.guarded(self.tls_publish, client)
                self.guarded(self.flood_receive, client, n, True)
        for n in range(self.config["recovery_rounds"] if "recovery" in rows else 0):
            downtime = 0.15 + 0.2 * n
            self.log(f"recovery {n + 1}/{self.config['recovery_rounds']} (down {downtime:.2f} s)")
            for client in serving("recovery", rotated(names, n)):
                self.guarded(self.recovery, client, downtime)
            self.guarded(self.parallel_recovery, downtime)
        for client in serving("memory", names):
            self.log(f"memory: {client}")
            self.guarded(self.memory, client)
        for n in range(self.config["chaos_rounds"] if "chaos" in rows else 0):
            for client in serving("chaos", rotated(names, n)):
                for clean in (False, True):
                    self.log(f"chaos {n + 1}: {client}, {'clean' if clean else 'kept'} session")
                    self.chaos(client, clean, n)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and smaller runs (< 1 min)")
    parser.add_argument(
        "--out",
        type=Path,
        help="directory for latest.json, latest.md and latest.png (default: "
        "bench/results, or build/bench-quick with --quick and build/bench-only with "
        "--only, so that a partial run never replaces the published figures)",
    )
    parser.add_argument("--rounds", type=int, help="override the number of rounds")
    parser.add_argument(
        "--only",
        help="comma-separated rows to run (default: all; written to build/bench-only unless "
        f"--out says otherwise): {','.join(ROWS)}",
    )
    args = parser.parse_args()

    rows = set(ROWS)
    if args.only:
        rows = {row.strip() for row in args.only.split(",") if row.strip()}
        if not rows or rows - set(ROWS):
            parser.error(f"--only takes rows from {','.join(ROWS)}")
    config = dict(QUICK if args.quick else FULL)
    if args.out is None:
        if args.only:
            args.out = ROOT / "build" / "bench-only"
        else:
            args.out = ROOT / "build" / "bench-quick" if args.quick else HERE / "results"
    if args.rounds:
        config["rounds"] = args.rounds
        config["chaos_rounds"] = args.rounds
    for native in NATIVE:
        if not Path(CLIENTS[native][0]).exists():
            print(f"bench: {CLIENTS[native][0]} is missing: run 'make native'", file=sys.stderr)
            return 2

    began = time.monotonic()
    load_before = [round(x, 2) for x in os.getloadavg()]
    certs_dir = Path(tempfile.mkdtemp(prefix="movra-bench-tls-"))
    certs = Certificates(certs_dir)
    with TlsBroker(certs, listeners=("tls",), max_queued_messages=100_000_000) as broker:
        bench = Bench(
            config, broker, log=lambda text: print(f"bench: {text}", flush=True), ca=certs.ca
        )
        bench.run_all(rows)
    shutil.rmtree(certs_dir, ignore_errors=True)
    elapsed = time.monotonic() - began
    command = "make bench-quick" if args.quick else "make bench"
    if args.only:
        command = f"bench/run.py {' '.join(sys.argv[1:])}"
    document = {
        "command": command,
        "rows": sorted(rows),
        "mode": "quick" if args.quick else "full",
        "duration_s": round(elapsed, 1),
        "machine": {**describe_machine(ROOT), "load_average_before": load_before},
        "config": config,
        "samples": bench.samples,
        "details": bench.extra,
    }
    paths = write_reports(document, args.out)
    if args.out.resolve() == (HERE / "results").resolve():
        # The published figures: the pages that quote them follow.
        paths += update_pages(document)
    print(f"bench: done in {elapsed:.0f} s: " + ", ".join(str(p) for p in paths))
    return 0


if __name__ == "__main__":
    sys.exit(main())
