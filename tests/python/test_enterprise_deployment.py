"""A deployment's whole key flow: movra_keygen makes a pair, `pip wheel . -C
cmake.define.MOVRA_SERVER_JWK=...` compiles the public half into the module, and a broker whose plugin
holds the private half admits that module's Enterprise client, while a broker with another key
(the checkout's development pair) does not."""

from __future__ import annotations

import subprocess
import sys
import zipfile

import pytest
from enterprise_support import KEYGEN, ROOT, plugin_broker, private_key_path, require

CONNECT = """
    sys.path.insert(0, sys.argv[1])
    import movra_sdk
    assert movra_sdk.__file__.startswith(sys.argv[1]), movra_sdk.__file__
    for address in sys.argv[2:]:
        sdk = movra_sdk.SDK()
        sdk.init("movra-deployed", address, "tcp", "alice", "deploy-pässword", edition="Enterprise")
        print("connect:", sdk.connect(), flush=True)
        sdk.stop()
"""


@pytest.mark.timeout(900)
def test_module_built_with_a_keygen_pair_is_admitted_by_the_broker_holding_its_private_half(
    tmp_path, child
):
    public, private = tmp_path / "server_public.jwk", tmp_path / "server_private.jwk"
    subprocess.run(
        [require(KEYGEN, "movra_keygen"), public, private], check=True, capture_output=True
    )
    build = subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            str(ROOT),
            "--no-build-isolation",
            "--no-deps",
            "-q",
            "--disable-pip-version-check",
            "-C",
            f"cmake.define.MOVRA_SERVER_JWK={public}",
            "-C",
            f"build-dir={tmp_path / 'build'}",
            "-w",
            str(tmp_path / "wheel"),
        ],
        capture_output=True,
        text=True,
        timeout=850,
    )
    assert build.returncode == 0, build.stderr[-3000:]
    (wheel,) = (tmp_path / "wheel").glob("movra_sdk-*.whl")
    site = tmp_path / "site"
    zipfile.ZipFile(wheel).extractall(site)

    credentials = {"alice": "deploy-pässword"}
    with (
        plugin_broker(credentials, key=private) as deployed,
        plugin_broker(credentials, key=require(private_key_path(), "the development key")) as other,
    ):
        result = child(CONNECT, str(site), deployed.address, other.address)
    assert result.returncode == 0, result.err
    outcomes = [line for line in result.out.splitlines() if line.startswith("connect: ")]
    assert outcomes == ["connect: True", "connect: False"]
    assert result.err == "[SDK] connect failed, rc=5\n"
