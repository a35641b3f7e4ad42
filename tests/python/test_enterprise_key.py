"""The deployment key: the pair movra_keygen makes, and the build's check of the public JWK that is
compiled in (a bad key stops the configure step with a message naming what is wrong)."""

from __future__ import annotations

import base64
import hashlib
import json
import os
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from enterprise_support import KEYGEN, ROOT, require
from jwcrypto import jwk

VENV_BIN = Path(sys.executable).parent
CMAKE = shutil.which("cmake", path=f"{VENV_BIN}{os.pathsep}{os.environ.get('PATH', '')}")


def keygen(*args: Path | str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [require(KEYGEN, "movra_keygen"), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=60,
    )


def flat(text: str) -> str:
    """CMake wraps its messages; compare them with the white space folded."""
    return " ".join(text.split())


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    directory = tmp_path_factory.mktemp("pair")
    public, private = directory / "server_public.jwk", directory / "server_private.jwk"
    assert keygen(public, private).returncode == 0
    return public, private


def test_keygen_writes_a_425_character_public_line_whose_kid_is_the_rfc7638_thumbprint(pair):
    public, private = pair
    text = public.read_text()
    assert text.endswith("\n") and text.count("\n") == 1
    line = text[:-1]
    assert len(line) == 425
    members = json.loads(line)
    assert list(members) == ["kty", "kid", "n", "e"]
    assert line == json.dumps(members, separators=(",", ":"))
    assert members["kty"] == "RSA" and members["e"] == "AQAB"
    assert len(members["n"]) == 342
    canonical = json.dumps(
        {"e": members["e"], "kty": "RSA", "n": members["n"]}, separators=(",", ":"), sort_keys=True
    )
    digest = hashlib.sha256(canonical.encode()).digest()
    assert members["kid"] == base64.urlsafe_b64encode(digest).rstrip(b"=").decode()

    key = jwk.JWK.from_json(private.read_text())
    assert key.has_private
    assert key["kid"] == members["kid"] == key.thumbprint()
    assert json.loads(key.export_public())["n"] == members["n"]
    assert private.stat().st_mode & 0o777 == 0o600


def test_keygen_keep_leaves_a_pair_alone_a_plain_run_refuses_and_force_replaces_it(tmp_path):
    public, private = tmp_path / "pub.jwk", tmp_path / "priv.jwk"
    assert keygen(public, private).returncode == 0
    first = public.read_text(), private.read_text()
    assert keygen("--keep", public, private).returncode == 0
    assert (public.read_text(), private.read_text()) == first
    refused = keygen(public, private)
    assert refused.returncode == 1
    assert f"movra_keygen: {public} exists; give --force to replace the key pair" in refused.stderr
    assert (public.read_text(), private.read_text()) == first
    assert keygen("--force", public, private).returncode == 0
    assert public.read_text() != first[0]
    assert not list(tmp_path.glob("*.tmp"))


def test_keygen_never_writes_through_a_planted_symlink(tmp_path):
    public, private = tmp_path / "pub.jwk", tmp_path / "priv.jwk"
    target = tmp_path / "attacker-readable"
    target.write_text("")
    private.symlink_to(target)
    refused = keygen(public, private)
    assert refused.returncode == 1 and "exists; give --force" in refused.stderr
    assert not public.exists()
    assert keygen("--force", public, private).returncode == 0
    assert target.read_text() == ""
    assert not private.is_symlink() and private.stat().st_mode & 0o777 == 0o600
    assert jwk.JWK.from_json(private.read_text()).has_private


def test_builds_making_the_development_pair_at_once_agree_on_one_pair(tmp_path):
    public, private = tmp_path / "dev" / "pub.jwk", tmp_path / "dev" / "priv.jwk"
    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(lambda _: keygen("--keep", public, private), range(6)))
    assert [r.returncode for r in results] == [0] * 6
    assert sum("movra_keygen: public key" in r.stdout for r in results) == 1
    key = jwk.JWK.from_json(private.read_text())
    assert json.loads(public.read_text())["kid"] == key.thumbprint()


def test_keygen_without_two_paths_prints_its_usage():
    result = keygen("only-one.jwk")
    assert result.returncode == 2
    assert "usage: movra_keygen [--keep | --force] <public.jwk> <private.jwk>" in result.stderr


def malformed_keys(public: dict, private_text: str) -> dict[str, tuple[str, str]]:
    """Each case: the file's text and the message the build gives."""

    def line(members: dict) -> str:
        return json.dumps(members, separators=(",", ":"))

    good = line(public)
    kty, kid, n, e = public["kty"], public["kid"], public["n"], public["e"]
    return {
        "private-jwk": (private_text, 'holds the private member "d"'),
        "pretty-printed": (json.dumps(public, indent=1), "the key must be one line of JSON"),
        "second-line": (
            good + "\n\n",
            "the key must be one line of JSON, the file has more than one line",
        ),
        "reordered": (
            line({"kid": kid, "kty": kty, "n": n, "e": e}),
            "has its members in the order [kid, kty, n, e]",
        ),
        "extra-member": (
            line({**public, "alg": "RSA-OAEP"}),
            'has the members [kty, kid, n, e, alg], it must have exactly "kty", '
            '"kid", "n", "e" in that order',
        ),
        "missing-member": (line({"kty": kty, "kid": kid, "n": n}), "has the members [kty, kid, n]"),
        "ec-key": (line({**public, "kty": "EC"}), '"kty" is "EC", it must be "RSA"'),
        "number-kid": (line({**public, "kid": 43}), '"kid" is not a string'),
        "short-kid": (
            line({**public, "kid": kid[:42]}),
            '"kid" has 42 characters, it must have 43 base64url characters',
        ),
        "base64-not-url": (
            line({**public, "n": "+" + n[1:]}),
            '"n" holds characters outside the base64url alphabet',
        ),
        "1024-bit-modulus": (
            line({**public, "n": n[:171]}),
            '"n" has 171 characters, it must have 342',
        ),
        "long-exponent": (line({**public, "e": e + "AA"}), '"e" has 6 characters, it must have 4'),
        "exponent-one": (line({**public, "e": "AAAB"}), '"e" is "AAAB", it must be "AQAB" (65537)'),
        "foreign-kid": (
            line({**public, "kid": kid[::-1]}),
            '"kid" is not the RFC 7638 thumbprint of "n" and "e"',
        ),
        "white-space": (
            json.dumps(public),
            "the JSON must be written without white space or escapes",
        ),
        "not-json": ("kty=RSA", "not valid JSON"),
        "array": ("[" + good + "]", "not a JSON object"),
        "empty": ("", "the file is empty"),
    }


CASES = list(malformed_keys({"kty": "RSA", "kid": "k", "n": "n", "e": "e"}, "{}"))


def embed(key: Path, output: Path) -> subprocess.CompletedProcess:
    """The build step that checks the key and writes the source that compiles it in."""
    return subprocess.run(
        [
            CMAKE,
            f"-DMOVRA_JWK={key}",
            "-DMOVRA_KEY_ORIGIN=MOVRA_SERVER_JWK",
            f"-DMOVRA_TEMPLATE={ROOT / 'crypto' / 'server_key.cpp.in'}",
            f"-DMOVRA_OUTPUT={output}",
            "-P",
            str(ROOT / "cmake" / "EmbedServerKey.cmake"),
        ],
        capture_output=True,
        text=True,
        timeout=60,
    )


@pytest.mark.parametrize("case", CASES)
def test_build_refuses_a_malformed_key_naming_what_is_wrong(pair, tmp_path, case):
    public, private = pair
    text, message = malformed_keys(json.loads(public.read_text()), private.read_text())[case]
    key = tmp_path / "server.jwk"
    key.write_text(text)
    result = embed(key, tmp_path / "server_key.cpp")
    assert result.returncode != 0
    assert f"MOVRA_SERVER_JWK {key}: {message}" in flat(result.stderr)
    assert not (tmp_path / "server_key.cpp").exists()


def test_build_refuses_a_key_file_that_does_not_exist(tmp_path):
    result = embed(tmp_path / "absent.jwk", tmp_path / "server_key.cpp")
    assert result.returncode != 0
    assert f"MOVRA_SERVER_JWK {tmp_path / 'absent.jwk'}: no such file" in flat(result.stderr)


def test_build_compiles_in_the_keygen_public_line_exactly(pair, tmp_path):
    public, _ = pair
    result = embed(public, tmp_path / "server_key.cpp")
    assert result.returncode == 0, result.stderr
    source = (tmp_path / "server_key.cpp").read_text()
    assert f'serverPublicKey[] = R"jwk({public.read_text().strip()})jwk";' in source
    assert "serverPublicKeyLength = 425;" in source


def configure(tmp_path: Path, key: Path) -> subprocess.CompletedProcess:
    env = {**os.environ, "PATH": f"{VENV_BIN}{os.pathsep}{os.environ.get('PATH', '')}"}
    return subprocess.run(
        [
            CMAKE,
            "-S",
            str(ROOT),
            "-B",
            str(tmp_path / "build"),
            "-G",
            "Ninja",
            "-DMOVRA_BUILD_PYTHON=OFF",
            f"-DMOVRA_SERVER_JWK={key}",
        ],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )


def test_configure_stops_on_a_malformed_key_and_accepts_a_keygen_key(pair, tmp_path):
    public, private = pair
    refused = configure(tmp_path / "refused", private)
    assert refused.returncode != 0
    assert (
        f'MOVRA_SERVER_JWK {private}: holds the private member "d": the module takes the public '
        "half only, the private half belongs to the broker"
    ) in flat(refused.stderr)
    accepted = configure(tmp_path / "accepted", public)
    assert accepted.returncode == 0, accepted.stderr
    assert f"Server key: {public}" in accepted.stdout
