"""The machine and software a benchmark ran on, for the results file."""

from __future__ import annotations

import os
import platform
import re
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path


def _cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _package(name: str) -> str:
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def _command(argv: list[str], cwd: Path | None = None) -> str:
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=10, cwd=cwd).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""


def _mosquitto_version() -> str:
    binary = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
    match = re.search(r"version ([\d.]+)", _command([binary, "-h"]))
    return match.group(1) if match else "unknown"


def _debian_package(name: str) -> str:
    return _command(["dpkg-query", "-W", "-f=${Version}", name]).strip() or "unknown"


def describe_machine(root: Path) -> dict:
    return {
        "cpu": _cpu_model(),
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "implementation": sys.implementation.name,
        "movra_sdk": _package("movra_sdk"),
        "paho-mqtt": _package("paho-mqtt"),
        "paho-mqtt-c": _debian_package("libpaho-mqtt1.3"),
        "mosquitto": _mosquitto_version(),
        "load_average": [round(x, 2) for x in os.getloadavg()],
        "commit": _command(["git", "rev-parse", "--short", "HEAD"], cwd=root).strip(),
    }
