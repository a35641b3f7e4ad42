"""End to end through the broker plugin: a real mosquitto that decrypts the JWE password with the
private key lets the right Enterprise client in and keeps everyone else out."""

from __future__ import annotations

import subprocess

import pytest
from enterprise_support import (
    KEYGEN,
    ConnectionLog,
    connack_code,
    load_private_key,
    plugin_broker,
    require,
)
from jwcrypto import jwe, jwk
from jwcrypto.common import json_encode

import movra_sdk

CREDENTIALS = {"alice": "s3cret ✓", "bob": ""}
NOT_AUTHORISED = 5


@pytest.fixture
def jwe_broker():
    with plugin_broker(CREDENTIALS) as broker:
        yield broker


def make_token(key: jwk.JWK, plaintext: bytes, alg: str = "RSA-OAEP", enc: str = "A256GCM") -> str:
    token = jwe.JWE(plaintext, json_encode({"alg": alg, "enc": enc}), algs=[alg, enc])
    token.add_recipient(jwk.JWK.from_json(key.export_public()))
    return token.serialize(compact=True)


def test_right_enterprise_password_connects_and_the_handler_hears_it(jwe_broker):
    log = ConnectionLog()
    sdk = movra_sdk.SDK()
    sdk.on_connection(log)
    sdk.init(
        "movra-alice",
        jwe_broker.address,
        "tcp",
        "alice",
        CREDENTIALS["alice"],
        edition="Enterprise",
    )
    try:
        assert sdk.connect() is True
        log.wait_for((True, 0))
        assert sdk.is_connected()
    finally:
        sdk.stop()
    assert log.events == [(True, 0), (False, 0)]


def test_empty_enterprise_password_is_admitted_when_the_entry_is_empty(jwe_broker):
    sdk = movra_sdk.SDK()
    sdk.init("movra-bob", jwe_broker.address, "tcp", "bob", "", edition="Enterprise")
    try:
        assert sdk.connect() is True
    finally:
        sdk.stop()


@pytest.mark.parametrize(
    "username, password, edition, reason",
    [
        ("alice", "wrong", "Enterprise", "unknown user name or wrong password"),
        ("mallory", CREDENTIALS["alice"], "Enterprise", "unknown user name or wrong password"),
        ("alice", CREDENTIALS["alice"], "Community", "the password is not a JWE compact token"),
        ("alice", CREDENTIALS["alice"], "enterprise", "the password is not a JWE compact token"),
    ],
    ids=["wrong-password", "unknown-user", "community-plain-password", "lower-case-edition"],
)
def test_broker_refuses_clients_without_the_right_wrapped_password(
    jwe_broker, child, username, password, edition, reason
):
    result = child(
        """
        import movra_sdk
        sdk = movra_sdk.SDK()
        sdk.init(sys.argv[5], sys.argv[1], "tcp", sys.argv[2], sys.argv[3], edition=sys.argv[4])
        print("connect:", sdk.connect(), "connected:", sdk.is_connected(), flush=True)
        sdk.stop()
    """,
        jwe_broker.address,
        username,
        password,
        edition,
        client_id := f"movra-{username}-{edition}",
    )
    assert result.returncode == 0, result.err
    assert "connect: False connected: False\n" in result.out
    assert result.err == f"[SDK] connect failed, rc={NOT_AUTHORISED}\n"
    assert f"movra_jwe_auth: refused client {client_id}: {reason}" in jwe_broker.log.read_text()


def test_token_from_an_independent_jose_library_is_admitted(jwe_broker):
    token = make_token(load_private_key(), CREDENTIALS["alice"].encode("utf-8"))
    assert connack_code(jwe_broker.port, "alice", token.encode()) == 0


def test_tokens_that_are_not_valid_for_the_key_are_refused(jwe_broker, tmp_path):
    key = load_private_key()
    password = CREDENTIALS["alice"].encode("utf-8")
    subprocess.run(
        [require(KEYGEN, "movra_keygen"), tmp_path / "other.jwk", tmp_path / "other.key"],
        check=True,
        capture_output=True,
    )
    other_key = jwk.JWK.from_json((tmp_path / "other.key").read_text())
    good = make_token(key, password)
    head, wrapped, iv, ciphertext, tag = good.split(".")
    flipped = ("A" if ciphertext[0] != "A" else "B") + ciphertext[1:]
    refused = {
        "another key pair": make_token(other_key, password),
        "RSA1_5 key management": make_token(key, password, alg="RSA1_5"),
        "A128GCM content encryption": make_token(key, password, enc="A128GCM"),
        "altered ciphertext": ".".join([head, wrapped, iv, flipped, tag]),
        "four segments": ".".join([head, wrapped, iv, ciphertext]),
    }
    codes = {
        case: connack_code(jwe_broker.port, "alice", token.encode())
        for case, token in refused.items()
    }
    assert codes == {case: NOT_AUTHORISED for case in refused}


@pytest.mark.parametrize(
    "key_file, mode, password_lines, message",
    [
        ("public", 0o600, "alice:x\n", 'holds no private member "d"'),
        ("missing", 0o600, "alice:x\n", "cannot read private_key"),
        ("private", 0o600, "alice:x\nno separator here\n", "line 2 is not user:password"),
        (
            "private",
            0o640,
            "alice:x\n",
            "has mode 0640: it must be readable by its owner only; fix it with: chmod 600 ",
        ),
        ("private", 0o600, "alice:x\nbob:y\nalice:z\n", "line 3 repeats the user of line 1"),
        ("private", 0o600, "alice:$6$c2FsdA==$aGFzaA==\n", "line 1 has a hash other than $7$"),
        (
            "private",
            0o600,
            "alice:$7$101$c2FsdA==$aGFzaA==\n",
            "line 1 is not a well-formed $7$ hash",
        ),
    ],
    ids=[
        "public-key",
        "missing-key",
        "bad-password-line",
        "group-readable-key",
        "duplicate-user",
        "sha512-hash",
        "short-pbkdf2-hash",
    ],
)
def test_plugin_stops_the_broker_on_unusable_configuration(
    tmp_path, key_file, mode, password_lines, message
):
    paths = {
        "public": tmp_path / "public.jwk",
        "missing": tmp_path / "absent.jwk",
        "private": tmp_path / "private.jwk",
    }
    key = load_private_key()
    paths["public"].write_text(key.export_public())
    paths["private"].write_text(key.export_private())
    for path in (paths["public"], paths["private"]):
        path.chmod(mode)
    broker = plugin_broker({}, key=paths[key_file])
    passwords = next(
        line.split(" ", 1)[1]
        for line in broker.config.read_text().splitlines()
        if line.startswith("plugin_opt_password_file ")
    )
    with open(passwords, "w", encoding="utf-8") as file:
        file.write(password_lines)
    try:
        with pytest.raises(RuntimeError, match="mosquitto exited"):
            broker.start()
        assert message in broker.log.read_text()
    finally:
        broker.close()
