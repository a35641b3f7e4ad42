"""Turns the benchmark's samples into the results: JSON, a Markdown table and a PNG chart, and
writes the figures into the pages that quote them.

    .venv/bin/python bench/report.py    # rewrites those pages from bench/results/latest.json
"""

from __future__ import annotations

import json
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"

CLIENTS = ("movra_sdk", "paho-mqtt", "paho-c", "wire")
CLIENT_TITLES = {
    "movra_sdk": "movra_sdk",
    "paho-mqtt": "paho-mqtt (Python)",
    "paho-c": "Paho C (native)",
    "wire": "Wire limit (raw MQTT, C)",
}

# key, label, unit, format
# The chaos row's counts, each reported for the kept and the clean session.
CHAOS_COUNTS = [
    ("lost", "lost"),
    ("lost_unsaved", "acknowledged by the broker, then lost in a kill before its save"),
    ("duplicates", "duplicates"),
    ("resolved_unacknowledged", "futures resolved without the broker's PUBACK"),
    ("not_completed", "publishes not completed"),
]
FIGURES = [
    ("publish_qos0", "Publish QoS 0, 100 B", "msg/s", "{:,.0f}"),
    ("publish_qos1", "Publish QoS 1, 100 B", "msg/s", "{:,.0f}"),
    ("publish_qos2", "Publish QoS 2, 100 B", "msg/s", "{:,.0f}"),
    ("publish_pipelined_qos1", "Pipelined publish QoS 1, 100 B, 100 in flight", "msg/s", "{:,.0f}"),
    ("publish_pipelined_qos2", "Pipelined publish QoS 2, 100 B, 20 in flight", "msg/s", "{:,.0f}"),
    ("receive_qos0", "Receive, QoS 0 flood", "msg/s", "{:,.0f}"),
    ("receive_qos0_lost", "  lost (QoS 0 flood)", "msgs", "{:,.0f}"),
    ("receive_qos0_binary", "Receive, QoS 0 flood, payload as bytes", "msg/s", "{:,.0f}"),
    ("receive_qos0_binary_lost", "  lost (QoS 0 flood, bytes)", "msgs", "{:,.0f}"),
    ("publish_qos1_tls", "Publish QoS 1, 100 B, over TLS", "msg/s", "{:,.0f}"),
    ("receive_qos0_tls", "Receive, QoS 0 flood, over TLS", "msg/s", "{:,.0f}"),
    ("receive_qos0_tls_lost", "  lost (QoS 0 flood over TLS)", "msgs", "{:,.0f}"),
    ("receive_qos1", "Receive, QoS 1 kept-session backlog", "msg/s", "{:,.0f}"),
    ("receive_qos1_lost", "  lost (QoS 1 backlog)", "msgs", "{:,.0f}"),
    ("publish_qos0_cpu_us", "CPU per message: publish QoS 0", "µs", "{:,.1f}"),
    ("publish_qos1_cpu_us", "CPU per message: publish QoS 1", "µs", "{:,.1f}"),
    ("publish_qos2_cpu_us", "CPU per message: publish QoS 2", "µs", "{:,.1f}"),
    ("publish_pipelined_qos1_cpu_us", "CPU per message: pipelined publish QoS 1", "µs", "{:,.1f}"),
    ("publish_pipelined_qos2_cpu_us", "CPU per message: pipelined publish QoS 2", "µs", "{:,.1f}"),
    ("receive_qos0_cpu_us", "CPU per message: receive QoS 0 flood", "µs", "{:,.1f}"),
    ("receive_qos0_binary_cpu_us", "CPU per message: receive QoS 0 flood, bytes", "µs", "{:,.1f}"),
    ("publish_qos1_tls_cpu_us", "CPU per message: publish QoS 1 over TLS", "µs", "{:,.1f}"),
    ("receive_qos0_tls_cpu_us", "CPU per message: receive QoS 0 flood over TLS", "µs", "{:,.1f}"),
    ("receive_qos1_cpu_us", "CPU per message: receive QoS 1 backlog", "µs", "{:,.1f}"),
    ("roundtrip_p50_us", "Round trip p50", "µs", "{:,.0f}"),
    ("roundtrip_p99_us", "Round trip p99", "µs", "{:,.0f}"),
    ("throughput_qos1_10 B", "QoS 1 throughput, 10 B", "MB/s", "{:,.2f}"),
    ("throughput_qos1_1 KiB", "QoS 1 throughput, 1 KiB", "MB/s", "{:,.1f}"),
    ("throughput_qos1_64 KiB", "QoS 1 throughput, 64 KiB", "MB/s", "{:,.0f}"),
    ("throughput_qos1_1 MiB", "QoS 1 throughput, 1 MiB", "MB/s", "{:,.0f}"),
    ("connects_community", "Connects (connect + disconnect), Community", "/s", "{:,.1f}"),
    ("connects_enterprise", "Connects, Enterprise (password wrap included)", "/s", "{:,.1f}"),
    ("mixed_qos1_p50_us", "QoS 1 publish after a QoS 0 one, p50", "µs", "{:,.0f}"),
    ("parallel_connect_s", "20 clients connecting from 20 threads", "s", "{:.3f}"),
    ("recovery_s", "Recovery after broker restart", "s", "{:.3f}"),
    ("parallel_recovery_s", "20 clients back after broker restart (last one)", "s", "{:.3f}"),
    ("memory_growth_mib_per_million", "RSS growth per million messages", "MiB", "{:.2f}"),
    *(
        (f"chaos_{kind}_{key}", f"Chaos, {kind} session: {name}", "msgs", "{:,.0f}")
        for kind in ("kept", "clean")
        for key, name in CHAOS_COUNTS
    ),
]

CHART = [
    ("publish_qos0", "publish QoS 0"),
    ("publish_qos1", "publish QoS 1"),
    ("publish_qos2", "publish QoS 2"),
    ("publish_pipelined_qos1", "pipelined QoS 1"),
    ("receive_qos0", "receive QoS 0"),
    ("receive_qos1", "receive QoS 1"),
]


def summarise(values: list) -> dict | None:
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {
        "median": statistics.median(values),
        "min": min(values),
        "max": max(values),
        "n": len(values),
    }


def _ratio(summary: dict, figure: str, over: str) -> float | None:
    a = summary.get(figure, {}).get("movra_sdk")
    b = summary.get(figure, {}).get(over)
    if not a or not b or not b["median"]:
        return None
    return a["median"] / b["median"]


def evaluate_targets(summary: dict) -> list[dict]:
    """Each target of movra_sdk against the run's own figures; a run of some rows only (--only)
    has the targets of those rows."""
    targets = []

    def ratio_target(name: str, figure: str, over: str, at_least: float) -> None:
        if figure not in summary:
            return
        value = _ratio(summary, figure, over)
        targets.append(
            {
                "target": f"{name} ≥ {at_least}× {CLIENT_TITLES[over]}",
                "measured": None if value is None else round(value, 2),
                "unit": "×",
                "met": value is not None and value >= at_least,
            }
        )

    def limit_target(name: str, figure: str, stat: str, below: float, unit: str) -> None:
        if figure not in summary:
            return
        s = summary.get(figure, {}).get("movra_sdk")
        value = None if s is None else round(s[stat], 3)
        targets.append(
            {
                "target": f"{name} < {below} {unit}",
                "measured": value,
                "unit": unit,
                "met": value is not None and value < below,
            }
        )

    def zero_target(name: str, figure: str) -> None:
        if figure not in summary:
            return
        s = summary[figure].get("movra_sdk")
        targets.append(
            {
                "target": f"{name} = 0 in every round",
                "measured": None if s is None else s["max"],
                "unit": "msgs",
                "met": s is not None and s["max"] == 0,
            }
        )

    ratio_target("Publish QoS 0", "publish_qos0", "paho-c", 0.8)
    ratio_target("Publish QoS 0", "publish_qos0", "paho-mqtt", 2.5)
    ratio_target("Publish QoS 1", "publish_qos1", "paho-c", 0.8)
    ratio_target("Publish QoS 1", "publish_qos1", "paho-mqtt", 2.0)
    ratio_target("Pipelined publish QoS 1", "publish_pipelined_qos1", "paho-mqtt", 2.5)
    ratio_target("Pipelined publish QoS 1 (stretch)", "publish_pipelined_qos1", "paho-mqtt", 4.0)
    ratio_target("Pipelined publish QoS 1 (stretch)", "publish_pipelined_qos1", "wire", 0.3)
    # The QoS 0 flood is to go beyond the C program on the stock library: the client links Paho
    # through its transport layer, the C program does not.
    for figure, name, over_c in (
        ("receive_qos0", "Receive (QoS 0 flood)", 1.0),
        ("receive_qos1", "Receive (QoS 1 backlog)", 0.8),
    ):
        ratio_target(name, figure, "paho-c", over_c)
        ratio_target(name, figure, "paho-mqtt", 3.0)
        zero_target(f"{name}: lost", f"{figure}_lost")
    zero_target("Receive (QoS 0 flood, payload as bytes): lost", "receive_qos0_binary_lost")
    limit_target("Round trip p99 (median of rounds)", "roundtrip_p99_us", "median", 1000, "µs")
    ratio_target("Connects (Community)", "connects_community", "paho-mqtt", 1.0)
    limit_target(
        "QoS 1 publish after QoS 0, p50 (median of rounds)",
        "mixed_qos1_p50_us",
        "median",
        1000,
        "µs",
    )
    limit_target(
        "20 clients from 20 threads connected (worst round)", "parallel_connect_s", "max", 0.5, "s"
    )
    limit_target("Recovery (worst round)", "recovery_s", "max", 1.0, "s")
    limit_target(
        "20 clients back after a restart (worst round)", "parallel_recovery_s", "max", 1.5, "s"
    )
    limit_target(
        "Memory growth per million messages", "memory_growth_mib_per_million", "median", 1.0, "MiB"
    )
    for kind in ("kept", "clean"):
        zero_target(f"Chaos, {kind} session: lost", f"chaos_{kind}_lost")
        zero_target(
            f"Chaos, {kind} session: publishes not completed", f"chaos_{kind}_not_completed"
        )
        zero_target(
            f"Chaos, {kind} session: futures resolved without the broker's PUBACK",
            f"chaos_{kind}_resolved_unacknowledged",
        )
    return targets


def _cell(s: dict | None, fmt: str) -> str:
    if s is None:
        return "n/a"
    if s["n"] == 1 or s["min"] == s["max"]:
        return fmt.format(s["median"])
    return f"{fmt.format(s['median'])} ({fmt.format(s['min'])}–{fmt.format(s['max'])})"


def _wire_calls_note(calls: dict) -> str:
    """The wire program's system calls per message, median over the rounds, by QoS."""

    def median(runs: list, key: str) -> float:
        return statistics.median(run[key] for run in runs)

    per_qos = [
        f"QoS {qos.removeprefix('qos')}: {median(runs, 'writes_per_msg'):.3f} writes and "
        f"{median(runs, 'reads_per_msg'):.3f} reads"
        for qos, runs in calls.items()
    ]
    return f"Wire program, system calls per message in the pipelined rows: {'; '.join(per_qos)}."


def lost_numbers(run: dict) -> str:
    """The numbers a chaos run lost, each with what the broker's log says of it, and where the
    broker was killed, when it lost any."""
    if not run["lost_numbers"]:
        return ""
    verdicts = ", ".join(f"{x['number']} ({x['verdict']})" for x in run["losses"])
    return f" (lost {verdicts}; kills at {run['kill_numbers']})"


def markdown(document: dict) -> str:
    summary, machine = document["summary"], document["machine"]
    lines = [
        f"Command: `{document['command']}` ({document['duration_s']:.0f} s). "
        f"Median over {document['config']['rounds']} rounds (lowest–highest).",
        "",
        f"Machine: {machine['cpu']}, {machine['cores']} cores, Linux {machine['kernel']}, "
        f"Python {machine['python']}; movra_sdk {machine['movra_sdk']}, paho-mqtt "
        f"{machine['paho-mqtt']}, Paho MQTT C {machine['paho-mqtt-c']}, mosquitto "
        f"{machine['mosquitto']}, commit {machine['commit']}. Load average (1, 5, 15 min) before "
        f"{machine['load_average_before']}, after {machine['load_average']}.",
        "",
        "| Workload | Unit | " + " | ".join(CLIENT_TITLES[c] for c in CLIENTS) + " |",
        "|---|---|" + "---:|" * len(CLIENTS),
    ]
    for key, label, unit, fmt in FIGURES:
        if key not in summary:  # a row left out of this run (--only)
            continue
        row = summary.get(key, {})
        lines.append(
            f"| {label} | {unit} | " + " | ".join(_cell(row.get(c), fmt) for c in CLIENTS) + " |"
        )
    memory = document["details"].get("memory", {})
    if memory:
        counts = ", ".join(
            f"{CLIENT_TITLES[c]} {m['count']:,} sent and received (RSS "
            f"{m['rss_mark'] / 2**20:.1f} → {m['rss_end'] / 2**20:.1f} MiB after "
            f"{m['mark']:,})"
            for c, m in memory.items()
        )
        lines += ["", f"Memory runs: {counts}."]
    calls = document["details"].get("wire_calls", {})
    if calls:
        lines += ["", _wire_calls_note(calls)]
    chaos = document["details"].get("chaos", [])
    if chaos:
        config = document["config"]
        runs = "; ".join(
            f"{CLIENT_TITLES[r['client']]}, {r['session']} session: {r['lost']} lost, "
            f"{r['lost_unsaved']} lost unsaved by the broker, "
            f"{r['duplicates']} duplicates{lost_numbers(r)}, "
            f"{r['publisher']['resolved']} completed, "
            f"{r['publisher']['failed']} failed, {r['publisher']['unresolved']} pending, the last "
            f"completed {r['publisher']['settling_s']:.1f} s after the last publish"
            for r in chaos
        )
        lines += [
            "",
            f"Chaos runs ({config['chaos_count']:,} numbered QoS 1 messages, one every "
            f"{config['chaos_interval'] * 1000:g} ms, {config['chaos_kills']} SIGKILL restarts of "
            f"the broker, {config['chaos_downtime']:g} s down each): {runs}.",
        ]
    wrap = document["details"].get("enterprise_wrap")
    if wrap and not wrap["ok"]:
        lines += [
            "",
            "Enterprise connects not reported: the compiled-in key could not wrap the "
            f'password in this build ("{wrap["stderr"]}").',
        ]
    lines += ["", "| movra_sdk target | Measured | Met |", "|---|---:|:---:|"]
    for t in document["targets"]:
        measured = "n/a" if t["measured"] is None else f"{t['measured']:,} {t['unit']}"
        lines.append(f"| {t['target']} | {measured} | {'yes' if t['met'] else '**no**'} |")
    return "\n".join(lines) + "\n"


def headline(document: dict) -> str:
    """The run's main ratios in one sentence, for the README."""
    summary, machine = document["summary"], document["machine"]
    parts = []
    for figure, label in (
        ("publish_qos0", "publish QoS 0"),
        ("publish_qos1", "publish QoS 1"),
        ("publish_pipelined_qos1", "pipelined publish QoS 1"),
        ("receive_qos0", "receive QoS 0 flood"),
    ):
        python, native = _ratio(summary, figure, "paho-mqtt"), _ratio(summary, figure, "paho-c")
        if python is not None:
            parts.append(f"{label} {python:.2f} ×" + (f" ({native:.2f} ×)" if native else ""))
    return (
        f"Latest `{document['command']}` ({machine['cores']} cores, commit {machine['commit']}): "
        "movra_sdk's rate against paho-mqtt's and, in brackets, against Paho C's (a C program on "
        "the same library): " + ", ".join(parts) + ".\n"
    )


# The pages that quote the latest figures, each between `<!-- name:begin -->` and
# `<!-- name:end -->`, and what goes there. A full `make bench` rewrites them.
PAGES = {
    "README.md": ("bench-summary", headline),
    "docs/benchmarks.md": ("bench", markdown),
}


def _span(text: str, name: str) -> tuple[int, int]:
    """Where the block `name` lies in text: from after its begin marker to its end marker."""
    begin, end = f"<!-- {name}:begin -->\n", f"<!-- {name}:end -->"
    start, stop = text.find(begin), text.find(end)
    if start < 0 or stop < start:
        raise ValueError(f"no {begin.strip()} ... {end} block")
    return start + len(begin), stop


def block(text: str, name: str) -> str:
    """What text holds in the block `name`, without the blank line on either side."""
    start, stop = _span(text, name)
    return text[start:stop].removeprefix("\n").removesuffix("\n")


def with_block(text: str, name: str, body: str) -> str:
    """text with the block `name` holding body, between a blank line on either side."""
    start, stop = _span(text, name)
    return text[:start] + "\n" + body + "\n" + text[stop:]


def update_pages(document: dict, root: Path = ROOT) -> list[Path]:
    """Writes the run's figures into every page of PAGES; returns the pages it changed."""
    changed = []
    for page, (name, render) in PAGES.items():
        path = root / page
        text = path.read_text()
        new = with_block(text, name, render(document))
        if new != text:
            path.write_text(new)
            changed.append(path)
    return changed


def chart(document: dict, path: Path) -> bool:
    """Draws the rates of CHART; False (and no file) when the run measured none of them."""
    summary = document["summary"]
    if not any(summary.get(key) for key, _ in CHART):
        return False
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(9, 4.5), dpi=110)
    width = 0.2
    for i, client in enumerate(CLIENTS):
        xs, heights, errors = [], [], [[], []]
        for j, (key, _) in enumerate(CHART):
            s = summary.get(key, {}).get(client)
            if s is None:
                continue
            xs.append(j + (i - (len(CLIENTS) - 1) / 2) * width)
            heights.append(s["median"])
            errors[0].append(s["median"] - s["min"])
            errors[1].append(s["max"] - s["median"])
        ax.bar(xs, heights, width, yerr=errors, capsize=3, label=CLIENT_TITLES[client])
    ax.set_xticks(range(len(CHART)), [label for _, label in CHART])
    ax.set_yscale("log")
    ax.set_ylabel("messages per second (log scale)")
    ax.set_title(f"MQTT client rates on one loopback mosquitto ({document['command']})")
    ax.legend()
    ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def write_reports(document: dict, out: Path) -> list[Path]:
    out.mkdir(parents=True, exist_ok=True)
    document["summary"] = {
        figure: {c: summarise(v) for c, v in per_client.items()}
        for figure, per_client in document["samples"].items()
    }
    document["targets"] = evaluate_targets(document["summary"])
    paths = [out / "latest.json", out / "latest.md", out / "latest.png"]
    paths[0].write_text(json.dumps(document, indent=1, ensure_ascii=False) + "\n")
    paths[1].write_text(markdown(document))
    if not chart(document, paths[2]):
        paths[2].unlink(missing_ok=True)  # an earlier run's chart would not belong to these figures
        paths.pop()
    return paths


if __name__ == "__main__":
    pages = update_pages(json.loads((RESULTS / "latest.json").read_text()))
    print("report: " + (", ".join(str(p) for p in pages) or "every page is up to date"))
    sys.exit(0)
