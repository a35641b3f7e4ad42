"""TLS and WebSockets against a real mosquitto, with certificates made by openssl for the test run:
a round trip on every scheme, each refusal with its reason line, reconnection after a broker
restart, and the Enterprise edition over TLS."""

from __future__ import annotations

import re
import shutil
import tempfile
import threading
from pathlib import Path

import pytest
from conftest import unique_client_id
from enterprise_support import ConnectionLog, plugin_lines

import movra_sdk
from broker.tls import CLIENT_KEY_PASSWORD, Certificates, LegacyTlsServer, TlsBroker


@pytest.fixture(scope="module")
def certs():
    # Not under pytest's temporary directory: mosquitto, which may run as another user, must be
    # able to read the files.
    directory = Path(tempfile.mkdtemp(prefix="movra-tls-"))
    yield Certificates(directory)
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(scope="module")
def tls_broker(certs):
    with TlsBroker(certs) as broker:
        yield broker


class Inbox:
    def __init__(self):
        self.messages: list[tuple[str, str]] = []
        self.arrived = threading.Event()

    def __call__(self, topic: str, payload: str) -> None:
        self.messages.append((topic, payload))
        self.arrived.set()


def round_trip(sdk: movra_sdk.SDK, topic: str) -> None:
    inbox = Inbox()
    sdk.on_message(inbox)
    assert sdk.subscribe(topic, 1)
    sdk.publish(topic, "over " + topic, qos=1)
    assert inbox.arrived.wait(10), "no message came back"
    assert inbox.messages == [(topic, "over " + topic)]


def client_pair(certs):
    cert, key = certs.client
    return {"certFile": cert, "keyFile": str(key), "keyPassword": CLIENT_KEY_PASSWORD}


# (scheme, host, listener, init's TLS arguments); paths are given as str and as Path.
SESSIONS = {
    "tcp": ("tcp", "127.0.0.1", None, lambda c: {}),
    "ws": ("ws", "127.0.0.1", "ws", lambda c: {}),
    "ssl by IP": ("ssl", "127.0.0.1", "tls", lambda c: {"caFile": str(c.ca)}),
    "mqtts by name": ("mqtts", "localhost", "tls", lambda c: {"caFile": c.ca}),
    "wss": ("wss", "127.0.0.1", "wss", lambda c: {"caFile": c.ca}),
    "mutual TLS": ("mqtts", "127.0.0.1", "mutual", lambda c: {"caFile": c.ca, **client_pair(c)}),
    # Without verification a certificate of another name from an unknown CA is accepted.
    "verifyPeer off": ("ssl", "127.0.0.1", "other_name", lambda c: {"verifyPeer": False}),
}


@pytest.mark.parametrize("case", SESSIONS.values(), ids=SESSIONS.keys())
def test_round_trip_on_every_scheme(case, certs, tls_broker, capfd):
    scheme, host, listener, tls = case
    port = tls_broker.ports[listener] if listener else tls_broker.port
    sdk = movra_sdk.SDK()
    try:
        sdk.init(unique_client_id(), f"{host}:{port}", scheme, "", "", **tls(certs))
        assert sdk.connect() is True
        assert sdk.is_connected()
        round_trip(sdk, f"tls/{scheme}")
    finally:
        sdk.stop()
    out, err = capfd.readouterr()
    assert f"[SDK] Connected to {scheme}://{host}:{port}\n" in out
    assert err == ""


# (host, listener, init's TLS arguments, the reason the TLS line must give)
REFUSALS = {
    "CA not in the system store": ("127.0.0.1", "tls", lambda c: {}, "certificate verify failed"),
    "IP address not in the certificate": (
        "127.0.0.1",
        "other_name",
        lambda c: {"caFile": c.ca},
        "IP address mismatch",
    ),
    "host name not in the certificate": (
        "localhost",
        "other_name",
        lambda c: {"caFile": c.ca},
        "hostname mismatch",
    ),
    "expired certificate": (
        "127.0.0.1",
        "expired",
        lambda c: {"caFile": c.ca},
        "certificate has expired",
    ),
    "no client certificate": (
        "127.0.0.1",
        "mutual",
        lambda c: {"caFile": c.ca},
        "certificate required",
    ),
    "client certificate from another CA": (
        "127.0.0.1",
        "mutual",
        lambda c: {"caFile": c.ca, "certFile": c.rogue_client[0], "keyFile": c.rogue_client[1]},
        "unknown ca",
    ),
    "wrong key password": (
        "127.0.0.1",
        "mutual",
        lambda c: {"caFile": c.ca, **client_pair(c), "keyPassword": "not it"},
        "bad decrypt",
    ),
    "missing caFile": (
        "127.0.0.1",
        "tls",
        lambda c: {"caFile": c.dir / "missing.pem"},
        "caFile '{dir}/missing.pem': No such file or directory",
    ),
    "keyFile without a PEM block": (
        "127.0.0.1",
        "mutual",
        lambda c: {"caFile": c.ca, "certFile": c.client[0], "keyFile": c.dir / "ca.cnf"},
        "keyFile '{dir}/ca.cnf': no PEM block in it",
    ),
    "certFile a directory": (
        "127.0.0.1",
        "mutual",
        lambda c: {"caFile": c.ca, "certFile": c.dir},
        "certFile '{dir}': not a regular file",
    ),
}


def assert_refused(sdk: movra_sdk.SDK, err: str, reason: str) -> None:
    assert not sdk.is_connected()
    lines = err.splitlines()
    assert len(lines) == 2, err
    assert lines[0].startswith("[SDK] TLS: ") and reason in lines[0], err
    assert re.fullmatch(r"\[SDK\] connect failed, rc=-\d+", lines[1]), err


@pytest.mark.parametrize("case", REFUSALS.values(), ids=REFUSALS.keys())
def test_each_refusal_is_a_connect_failure_with_its_reason(case, certs, tls_broker, capfd):
    host, listener, tls, reason = case
    sdk = movra_sdk.SDK()
    try:
        sdk.init(
            unique_client_id(), f"{host}:{tls_broker.ports[listener]}", "ssl", "", "", **tls(certs)
        )
        capfd.readouterr()
        assert sdk.connect() is False
        assert_refused(sdk, capfd.readouterr().err, reason.format(dir=certs.dir))
    finally:
        sdk.stop()


def test_a_server_that_offers_only_tls_1_1_is_refused(certs, capfd):
    server = LegacyTlsServer(certs)
    try:
        # The server really completes TLS 1.1 handshakes with a client that allows them.
        assert server.negotiated_version(certs.ca) == "TLSv1.1"
        sdk = movra_sdk.SDK()
        sdk.init(unique_client_id(), server.address, "ssl", "", "", caFile=certs.ca)
        capfd.readouterr()
        assert sdk.connect() is False
        assert_refused(sdk, capfd.readouterr().err, "")
        sdk.stop()
    finally:
        server.close()


def test_tls_arguments_are_keyword_only_and_checked_before_anything_changes(certs):
    sdk = movra_sdk.SDK()
    positional = [
        "id",
        "127.0.0.1:1",
        "ssl",
        "",
        "",
        False,
        True,
        True,
        True,
        5,
        1,
        30,
        10,
        10,
        False,
        30,
        "Community",
    ]
    with pytest.raises(TypeError):
        sdk.init(*positional, str(certs.ca))
    # A file for a connection without TLS would be ignored, a key without its certificate too.
    with pytest.raises(ValueError, match="need a TLS protocol"):
        sdk.init("id", "127.0.0.1:1", "tcp", "", "", caFile=certs.ca)
    with pytest.raises(ValueError, match="need certFile"):
        sdk.init("id", "127.0.0.1:1", "ssl", "", "", keyFile=certs.client[1])
    assert sdk.connect() is False  # still uninitialised


def test_reconnects_over_tls_after_a_broker_restart(certs):
    with TlsBroker(certs, listeners=("tls",)) as broker:
        log = ConnectionLog()
        sdk = movra_sdk.SDK()
        sdk.on_connection(log)
        try:
            sdk.init(
                unique_client_id(),
                f"127.0.0.1:{broker.ports['tls']}",
                "mqtts",
                "",
                "",
                caFile=certs.ca,
            )
            assert sdk.connect()
            broker.kill()
            log.wait_for((False, -1))
            broker.start()
            log.wait_for((True, 0), count=2)
            round_trip(sdk, "tls/after-restart")
        finally:
            sdk.stop()
        assert log.events == [(True, 0), (False, -1), (True, 0), (False, 0)]


def test_enterprise_edition_over_tls(certs, capfd):
    credentials = {"alice": "s3cret"}
    with TlsBroker(
        certs, listeners=("tls",), allow_anonymous=False, extra=plugin_lines(credentials)
    ) as broker:
        address = f"localhost:{broker.ports['tls']}"
        enterprise, community = movra_sdk.SDK(), movra_sdk.SDK()
        try:
            enterprise.init(
                unique_client_id(),
                address,
                "ssl",
                "alice",
                "s3cret",
                edition="Enterprise",
                caFile=certs.ca,
            )
            assert enterprise.connect() is True
            round_trip(enterprise, "tls/enterprise")
            # The broker's refusal of a plain password comes through TLS: no TLS reason line.
            community.init(unique_client_id(), address, "ssl", "alice", "s3cret", caFile=certs.ca)
            capfd.readouterr()
            assert community.connect() is False
            assert capfd.readouterr().err == "[SDK] connect failed, rc=5\n"
        finally:
            enterprise.stop()
            community.stop()
