"""The distributions of `make wheel` (read from dist/, which `make test` fills first): the wheel
installs into a fresh virtual environment, brings its own Paho, cjose and jansson, and runs a
publish/subscribe round trip against a real broker; the sdist holds sources only."""

import os
import re
import subprocess
import sys
import tarfile
import textwrap
import tomllib
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DIST = ROOT / "dist"
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]


def one(pattern: str) -> Path:
    found = sorted(DIST.glob(pattern))
    assert len(found) == 1, f"expected one {pattern} in {DIST}, found {found}: run 'make wheel'"
    return found[0]


@pytest.fixture(scope="module")
def installed(tmp_path_factory) -> Path:
    """A fresh virtual environment with the wheel installed and nothing else."""
    venv = tmp_path_factory.mktemp("wheel") / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "--python",
            str(venv / "bin" / "python"),
            "install",
            "-q",
            "--no-index",
            "--no-deps",
            "--disable-pip-version-check",
            str(one("movra_sdk-*.whl")),
        ],
        check=True,
        stdin=subprocess.DEVNULL,
    )
    return venv


def isolated_env() -> dict[str, str]:
    return {
        k: v
        for k, v in os.environ.items()
        if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD", "VIRTUAL_ENV")
    }


def test_the_distributions_hold_what_they_should():
    wheel = one("movra_sdk-*.whl")
    assert re.fullmatch(
        rf"movra_sdk-{re.escape(VERSION)}-cp312-cp312-manylinux_2_\d+_x86_64\.whl", wheel.name
    )
    assert f"## {VERSION} " in (ROOT / "CHANGELOG.md").read_text()
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        stub = archive.read("movra_sdk-stubs/__init__.pyi").decode()
    assert stub == (ROOT / "python" / "movra_sdk-stubs" / "__init__.pyi").read_text()
    licenses = f"movra_sdk-{VERSION}.dist-info/licenses/"
    assert {licenses + "LICENSE", licenses + "THIRD_PARTY_NOTICES.md"} <= set(names)
    # Paho is carried as a shared library, or linked in statically (then the module needs none).
    carried = {
        Path(n).name.rsplit("-", 1)[0]
        for n in names
        if n.startswith("movra_sdk.libs/") and not n.endswith("/")
    }
    assert {"libcjose", "libjansson", "libcrypto"} <= carried, carried

    with tarfile.open(one(f"movra_sdk-{VERSION}.tar.gz")) as sdist:
        members = [
            Path(m.name).relative_to(f"movra_sdk-{VERSION}").as_posix()
            for m in sdist.getmembers()
            if m.isfile()
        ]
    assert {"pyproject.toml", "CMakeLists.txt", "python/module.cpp", "LICENSE"} <= set(members)
    unwanted = [
        m
        for m in members
        if m.split("/")[0] in ("build", "dist", ".venv", "deploy")
        or "private" in m
        or m.endswith((".jwk", ".so", ".whl", ".o"))
    ]
    assert unwanted == []


def test_the_installed_module_resolves_no_library_of_its_own_from_the_system(installed):
    (module,) = installed.glob("lib/python3.12/site-packages/movra_sdk.cpython-312-*.so")
    ldd = subprocess.run(
        ["ldd", str(module)], capture_output=True, text=True, check=True, env=isolated_env()
    ).stdout
    assert "not found" not in ldd, ldd
    libs = str(module.parent / "movra_sdk.libs") + "/"
    ours = [line for line in ldd.splitlines() if re.search(r"paho|cjose|jansson|libcrypto", line)]
    assert any("cjose" in line for line in ours) and any("jansson" in line for line in ours), ldd
    for line in ours:
        assert f"=> {libs}" in line, line


def test_a_round_trip_through_the_installed_wheel(installed, broker):
    script = textwrap.dedent("""
        import sys, threading
        import movra_sdk
        assert movra_sdk.__file__.startswith(sys.prefix + "/"), movra_sdk.__file__
        got = []
        arrived = threading.Event()
        sdk = movra_sdk.SDK()
        sdk.on_message(lambda topic, payload: (got.append((topic, payload)), arrived.set()))
        sdk.init("movra-wheel-test", sys.argv[1], "tcp", "", "")
        assert sdk.connect()
        assert sdk.subscribe("wheel/t", 1)
        sdk.publish("wheel/t", "grüße", qos=1)
        assert arrived.wait(10)
        sdk.stop()
        print(got)
    """)
    proc = subprocess.run(
        [str(installed / "bin" / "python"), "-I", "-c", script, broker.address],
        cwd=installed,
        capture_output=True,
        text=True,
        timeout=60,
        stdin=subprocess.DEVNULL,
        env=isolated_env(),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "[('wheel/t', 'grüße')]" in proc.stdout
