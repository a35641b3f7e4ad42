"""The benchmark harness, run once in its quickest form: it must measure every workload through each
client it is meant for and write its three result files. No speed is checked here. And the figures
the pages quote are the published results' own."""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys

from conftest import ROOT

_spec = importlib.util.spec_from_file_location("bench_report", ROOT / "bench" / "report.py")
report = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(report)

LIBRARIES = ("movra_sdk", "paho-mqtt", "paho-c")
PIPELINED = ("movra_sdk", "paho-mqtt", "wire")
# Each figure with the clients it is measured for. The wire program's rows can only be measured if
# mosquitto accepted its hand-made CONNECT, PUBLISH and PUBREL packets and it accepted the answers.
FIGURES = {
    **{
        figure: LIBRARIES
        for figure in (
            "publish_qos0",
            "publish_qos1",
            "publish_qos2",
            "receive_qos0",
            "receive_qos0_lost",
            "receive_qos1",
            "receive_qos1_lost",
            "roundtrip_p50_us",
            "roundtrip_p99_us",
            "throughput_qos1_10 B",
            "throughput_qos1_1 KiB",
            "throughput_qos1_64 KiB",
            "throughput_qos1_1 MiB",
            "recovery_s",
            "memory_growth_mib_per_million",
        )
    },
    "connects_community": (*LIBRARIES, "wire"),
    "publish_pipelined_qos1": PIPELINED,
    "publish_pipelined_qos2": PIPELINED,
    "publish_pipelined_qos1_cpu_us": PIPELINED,
    "receive_qos0_binary": ("movra_sdk",),
    "receive_qos0_binary_lost": ("movra_sdk",),
}


def test_quick_benchmark_measures_every_workload_for_all_clients_and_writes_results(tmp_path):
    proc = subprocess.run(
        [
            sys.executable,
            str(ROOT / "bench" / "run.py"),
            "--quick",
            "--rounds",
            "1",
            "--out",
            str(tmp_path),
        ],
        capture_output=True,
        text=True,
        timeout=110,
        cwd=ROOT,
    )
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]

    document = json.loads((tmp_path / "latest.json").read_text())
    for figure, clients in FIGURES.items():
        for client in clients:
            stats = document["summary"][figure][client]
            assert stats is not None and stats["n"] >= 1, (figure, client)
            if figure.endswith("_lost"):
                assert stats["max"] == 0, f"{client} lost messages in {figure}"
            elif not figure.startswith("memory"):
                assert stats["median"] > 0, (figure, client)
    # The chaos row: both publishers, both session kinds, through every restart of the broker.
    chaos = document["details"]["chaos"]
    assert sorted((r["client"], r["session"]) for r in chaos) == [
        ("movra_sdk", "clean"),
        ("movra_sdk", "kept"),
        ("paho-mqtt", "clean"),
        ("paho-mqtt", "kept"),
    ]
    for run in chaos:
        assert run["publisher"]["published"] == document["config"]["chaos_count"], run
        # Every loss is judged from the broker's log; only the broker's own may remain.
        assert run["lost"] == 0, run["losses"]
        assert run["resolved_unacknowledged"] == 0, run["resolved_unacknowledged_numbers"]
    # Enterprise connects are measured for movra_sdk; a build whose key cannot wrap says so.
    assert "connects_enterprise" in document["summary"]
    assert isinstance(document["details"]["enterprise_wrap"]["ok"], bool)
    for key in ("cpu", "cores", "kernel", "python", "movra_sdk", "paho-mqtt", "paho-mqtt-c"):
        assert document["machine"][key], key
    assert len(document["targets"]) >= 10
    assert all(isinstance(t["met"], bool) for t in document["targets"])

    table = (tmp_path / "latest.md").read_text()
    assert "| Workload | Unit | movra_sdk | paho-mqtt (Python) | Paho C (native) |" in table
    assert "| Publish QoS 0, 100 B | msg/s |" in table
    assert (tmp_path / "latest.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_pages_quote_the_published_results_and_a_run_rewrites_them():
    document = json.loads((report.RESULTS / "latest.json").read_text())
    assert report.markdown(document) == (report.RESULTS / "latest.md").read_text()
    for page, (name, render) in report.PAGES.items():
        text = (ROOT / page).read_text()
        figures = render(document)
        assert report.block(text, name) == figures, f"{page}: run .venv/bin/python bench/report.py"
        # What a run writes: the block alone, in the form the page already has.
        emptied = report.with_block(text, name, "")
        assert figures not in emptied
        assert report.with_block(emptied, name, figures) == text, page
