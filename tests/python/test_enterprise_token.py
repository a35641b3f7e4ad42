"""The Enterprise password on the wire: a fresh JWE per explicit connect, the last one on a reconnect,
the plain password in every other edition. A relay in front of a real mosquitto reads the CONNECT."""

from __future__ import annotations

import pytest
from enterprise_support import (
    ConnectionLog,
    WireTap,
    decrypt,
    decrypt_by_hand,
    plugin_broker,
    protected_header,
)

import movra_sdk

# Run in a child process so that the console lines are read at the descriptor level.
# Arguments: broker address, password, edition.
CONNECT_IN_CHILD = """
    import movra_sdk
    sdk = movra_sdk.SDK()
    sdk.init("movra-child", sys.argv[1], "tcp", "alice", sys.argv[2], edition=sys.argv[3])
    print("connect:", sdk.connect(), flush=True)
    sdk.stop()
"""


@pytest.fixture
def tap(broker):
    with WireTap(broker.port) as relay:
        yield relay


def connect_once(address: str, username: str, password: str, edition: str) -> bool:
    sdk = movra_sdk.SDK()
    sdk.init("movra-enterprise", address, "tcp", username, password, edition=edition)
    try:
        return sdk.connect()
    finally:
        sdk.stop()


@pytest.mark.parametrize(
    "password",
    ["s3cret", "pässwörd ✓ 密码 🔑", "long " * 400],
    ids=["ascii", "non-ascii", "2000-bytes"],
)
def test_enterprise_password_is_a_jwe_that_the_private_key_opens_to_the_same_bytes(tap, password):
    assert connect_once(tap.address, "alice", password, "Enterprise")
    (sent,) = tap.wait_for(1)
    assert sent.username == b"alice"  # the user name is never wrapped
    segments = sent.token.split(".")
    assert len(segments) == 5
    assert all(segments[i] for i in (0, 1, 2, 4))
    assert protected_header(sent.token) == {"alg": "RSA-OAEP", "enc": "A256GCM"}
    assert decrypt(sent.token) == password.encode("utf-8")
    assert decrypt_by_hand(sent.token) == password.encode("utf-8")


def test_empty_enterprise_password_is_wrapped_as_an_empty_plaintext(tap, child):
    # cjose encrypts a zero-length plaintext, so no failure line is written and a token is sent.
    result = child(CONNECT_IN_CHILD, tap.address, "", "Enterprise")
    assert result.returncode == 0, result.err
    assert result.err == ""
    assert "connect: True\n" in result.out
    (sent,) = tap.wait_for(1)
    assert len(sent.token.split(".")) == 5
    assert decrypt_by_hand(sent.token) == b""


def test_each_explicit_connect_makes_a_new_token_and_a_live_session_makes_none(tap):
    sdk = movra_sdk.SDK()
    sdk.init("movra-twice", tap.address, "tcp", "alice", "s3cret", edition="Enterprise")
    try:
        assert sdk.connect()
        assert sdk.connect()  # "Already connected": no new token, no new CONNECT
        sdk.disconnect()
        assert sdk.connect()
    finally:
        sdk.stop()
    first, second = tap.wait_for(2)
    assert len(tap.connects) == 2
    assert first.token != second.token
    assert decrypt(first.token) == decrypt(second.token) == b"s3cret"


def test_init_points_the_options_back_at_the_new_plain_password(tap):
    sdk = movra_sdk.SDK()
    try:
        sdk.init("movra-reinit", tap.address, "tcp", "alice", "first", edition="Enterprise")
        assert sdk.connect()
        sdk.init("movra-reinit", tap.address, "tcp", "alice", "second", edition="Community")
        assert sdk.connect()
    finally:
        sdk.stop()
    wrapped, plain = tap.wait_for(2)
    assert decrypt(wrapped.token) == b"first"
    assert plain.password == b"second"


@pytest.mark.parametrize(
    "edition", ["enterprise", "Enterprise ", " Enterprise", "ENTERPRISE", "Community"]
)
def test_other_editions_send_the_plain_password_and_write_no_line(tap, child, edition):
    result = child(CONNECT_IN_CHILD, tap.address, "pässwörd", edition)
    assert result.returncode == 0, result.err
    assert result.err == ""
    assert "connect: True\n" in result.out
    (sent,) = tap.wait_for(1)
    assert sent.password == "pässwörd".encode()


def test_worker_reconnect_resends_the_token_of_the_last_explicit_connect():
    with plugin_broker({"alice": "s3cret"}) as broker, WireTap(broker.port) as tap:
        log = ConnectionLog()
        sdk = movra_sdk.SDK()
        sdk.on_connection(log)
        sdk.init("movra-resend", tap.address, "tcp", "alice", "s3cret", edition="Enterprise")
        try:
            assert sdk.connect()
            sdk.disconnect()
            assert sdk.connect()
            last_explicit = tap.wait_for(2)[1].token
            broker.kill()
            log.wait_for((False, -1))
            broker.start()
            log.wait_for((True, 0), count=3)  # two connects, then the worker's reconnect
            assert sdk.is_connected()
        finally:
            sdk.stop()
        reconnects = tap.connects[2:]
        assert reconnects, "the worker sent no CONNECT"
        # The broker admitted the resent token, and every attempt of the worker carried it unchanged.
        assert {sent.token for sent in reconnects} == {last_explicit}
        assert tap.connects[0].token != last_explicit
