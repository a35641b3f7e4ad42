"""A deployment's whole key flow: movra_keygen makes a pair, the wheel built from the sdist with
`-C cmake.define.MOVRA_SERVER_JWK=...` compiles the public half into the module, and a broker whose
plugin holds the private half admits that module's Enterprise client, while a broker with another
key (the checkout's development pair) does not.

`make test-deployment` makes the pair and the wheel in build/deployment and runs this file with
MOVRA_DEPLOYMENT_DIR naming that directory; the plain pytest run leaves it out (conftest.py).
"""

from __future__ import annotations

import os
import zipfile
from pathlib import Path

import pytest
from enterprise_support import plugin_broker, private_key_path, require

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


def deployment() -> Path:
    if "MOVRA_DEPLOYMENT_DIR" not in os.environ:
        pytest.fail("MOVRA_DEPLOYMENT_DIR is not set: run 'make test-deployment'")
    return Path(os.environ["MOVRA_DEPLOYMENT_DIR"])


def test_module_built_with_a_keygen_pair_is_admitted_by_the_broker_holding_its_private_half(
    tmp_path, child
):
    built = deployment()
    private = require(built / "server_private.jwk", "the deployment's private key")
    (wheel,) = (built / "dist").glob("movra_sdk-*.whl")
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
