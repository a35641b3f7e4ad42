"""The broker plugin under hostile input: malformed tokens never take mosquitto down and never keep
a real Enterprise client out; hashed entries made by mosquitto_passwd admit their users; a reload
(SIGHUP) picks up a changed password file and keeps the old one when the new one is broken."""

from __future__ import annotations

import os
import signal
import socket
import subprocess

from enterprise_support import (
    connack_code,
    encode_connect,
    load_private_key,
    plugin_broker,
    read_packet,
)
from jwcrypto import jwe, jwk
from jwcrypto.common import json_encode

import movra_sdk

NOT_AUTHORISED = 5


def token(plaintext: bytes, alg: str = "RSA-OAEP") -> str:
    made = jwe.JWE(plaintext, json_encode({"alg": alg, "enc": "A256GCM"}), algs=[alg, "A256GCM"])
    made.add_recipient(jwk.JWK.from_json(load_private_key().export_public()))
    return made.serialize(compact=True)


def enterprise_connects(broker, user: str, password: str) -> bool:
    sdk = movra_sdk.SDK()
    sdk.init(f"movra-{user}", broker.address, "tcp", user, password, edition="Enterprise")
    try:
        return sdk.connect()
    finally:
        sdk.stop()


def connack_from(source: str, port: int, user: str, password: bytes) -> int:
    """connack_code, sent from another loopback address (any 127.x address can be a source)."""
    with socket.create_connection(
        ("127.0.0.1", port), timeout=10, source_address=(source, 0)
    ) as sock:
        sock.sendall(encode_connect("movra-junk", user, password))
        kind, body, _ = read_packet(sock)
        assert kind == 0x20
        return body[1]


def malformed() -> dict[str, bytes]:
    head, key, iv, ciphertext, tag = token(b"s3cret").split(".")
    return {
        "padding-inside": b"A===.A.A.A.A",
        "short-iv": ".".join([head, key, "AA", ciphertext, tag]).encode(),
        "long-iv": ".".join([head, key, iv + "AAAA", ciphertext, tag]).encode(),
        "short-tag": ".".join([head, key, iv, ciphertext, tag[:18]]).encode(),
        "rsa1_5-header": token(b"s3cret", alg="RSA1_5").encode(),
        "six-segments": ".".join([head, key, iv, ciphertext, tag, tag]).encode(),
        "bad-alphabet": ".".join([head, key, iv, "+/" + ciphertext[2:], tag]).encode(),
        "60kb-password": b"A" * 60_000,
        "random-bytes": os.urandom(400),
        "empty": b"",
    }


def test_malformed_tokens_leave_the_broker_up_and_a_real_client_admitted():
    with plugin_broker({"alice": "s3cret"}) as broker:
        codes = {
            case: connack_from("127.0.0.2", broker.port, "alice", password)
            for case, password in malformed().items()
        }
        assert codes == {case: NOT_AUTHORISED for case in codes}
        assert broker.running()
        log = broker.log.read_text()
        # The first four refusals were checked (each names its reason); later ones hit the penalty.
        assert (
            "refused client movra-junk: a token segment holds characters outside base64url" in log
        )
        assert "refused client movra-junk: the IV is not 16 characters (96 bits)" in log
        assert "address 127.0.0.2 is in a penalty window" in log
        assert "does not decrypt" not in log
        assert enterprise_connects(broker, "alice", "s3cret")


def test_each_malformed_token_is_refused_for_its_own_reason():
    reasons = {
        "long-iv": "the IV is not 16 characters (96 bits)",
        "short-tag": "the tag is not 22 characters (128 bits)",
        "rsa1_5-header": "the token is not RSA-OAEP with A256GCM",
        "six-segments": "more than five segments",
        "bad-alphabet": "characters outside base64url",
        "60kb-password": "too long for a token",
        "empty": "no user name or password",
    }
    cases = malformed()
    with plugin_broker({"alice": "s3cret"}, penalty_max_ms=0) as broker:
        for case in reasons:
            assert connack_code(broker.port, "alice", cases[case]) == NOT_AUTHORISED
        log = broker.log.read_text()
        assert {case: reason in log for case, reason in reasons.items()} == {
            c: True for c in reasons
        }


def test_hashed_entries_from_mosquitto_passwd_admit_their_users(tmp_path):
    passwords = tmp_path / "passwords"
    subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, "alice", "s3cret ✓"], check=True)
    subprocess.run(["mosquitto_passwd", "-b", passwords, "bob", ""], check=True)
    lines = passwords.read_text().splitlines()
    assert all(line.split(":", 1)[1].startswith("$7$101$") for line in lines)
    # A byte-order mark before the first entry and a plain entry after the hashed ones.
    passwords.write_bytes(b"\xef\xbb\xbf" + "\n".join(lines + ["carol:plain"]).encode() + b"\n")
    # A refused movra_sdk connect makes several CONNECTs; no penalty window must stand in for a verdict.
    with plugin_broker({}, password_file=passwords, penalty_max_ms=0) as broker:
        assert enterprise_connects(broker, "alice", "s3cret ✓")
        assert enterprise_connects(broker, "bob", "")
        assert enterprise_connects(broker, "carol", "plain")
        assert not enterprise_connects(broker, "alice", "s3cret")
        # The stored hash itself is no password.
        assert not enterprise_connects(broker, "alice", lines[0].split(":", 1)[1])


def test_reload_picks_up_a_removed_user_and_keeps_the_old_file_when_the_new_one_is_broken(tmp_path):
    passwords = tmp_path / "passwords"
    passwords.write_text("alice:a\nbob:b\n")
    with plugin_broker({}, password_file=passwords, penalty_max_ms=0) as broker:
        assert enterprise_connects(broker, "bob", "b")
        passwords.write_text("alice:a\n")
        broker.process.send_signal(signal.SIGHUP)
        broker.wait_for_log("reloaded private_key")
        assert not enterprise_connects(broker, "bob", "b")
        passwords.write_text("alice:a\nalice:b\n")
        broker.process.send_signal(signal.SIGHUP)
        broker.wait_for_log("reload failed: still using the previous private key and password file")
        assert "line 2 repeats the user of line 1" in broker.log.read_text()
        assert enterprise_connects(broker, "alice", "a")
        assert broker.running()
