"""The module as Python sees it: what it exports, its members, and the calls each one accepts."""

import queue

import pytest

import movra_sdk
from broker.harness import Broker

MEMBERS = [
    "init",
    "connect",
    "disconnect",
    "publish",
    "subscribe",
    "unsubscribe",
    "on_message",
    "on_connection",
    "stop",
    "is_connected",
]


# init's seventeen settings, in order, with the values of its defaults.
INIT_SETTINGS = {
    "clientId": "id",
    "brokerHost": "127.0.0.1:1",
    "protocol": "tcp",
    "username": "",
    "password": "",
    "cleanSession": False,
    "resumeSubs": True,
    "connectRetry": True,
    "autoReconnect": True,
    "connectRetryInterval": 5,
    "maxReconnectInterval": 1,
    "keepAlive": 30,
    "pingTimeout": 10,
    "writeTimeout": 10,
    "orderMatters": False,
    "connectTimeout": 30,
    "edition": "Community",
}
TLS_SETTINGS = {"caFile": None, "certFile": None, "keyFile": None, "keyPassword": None}


class TestModuleObject:
    def test_the_class_is_the_only_public_attribute(self):
        public = [name for name in vars(movra_sdk) if not name.startswith("__")]
        assert public == ["SDK"]

    def test_module_has_no_docstring(self):
        assert movra_sdk.__doc__ is None

    def test_import_is_refused_in_a_sub_interpreter(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create()
        try:
            # The sub-interpreter can import ordinary modules; only this one declines.
            interpreters.run_string(interp, "import json")
            with pytest.raises(
                interpreters.RunFailedError,
                match="ImportError.*: module movra_sdk does not support loading in subinterpreters",
            ):
                interpreters.run_string(interp, "import movra_sdk")
        finally:
            interpreters.destroy(interp)


class TestClassMembers:
    def test_members_in_registration_order(self):
        names = [name for name in vars(movra_sdk.SDK) if not name.startswith("_")]
        assert names == MEMBERS

    def test_init_takes_its_settings_by_position_or_name_and_the_tls_ones_by_name_only(self, capfd):
        values = list(INIT_SETTINGS.values())
        sdk = movra_sdk.SDK()
        assert sdk.init(*values) is None
        sdk.init(**INIT_SETTINGS, **TLS_SETTINGS, verifyPeer=True)
        with pytest.raises(TypeError):
            sdk.init(*values, None)  # caFile is keyword-only
        with pytest.raises(TypeError):
            sdk.init(*values[:4])  # the password is required
        with pytest.raises(TypeError):
            sdk.init(*values[:5], clientID="x")
        sdk.stop()
        # The second init stopped the first client; the refused calls changed nothing.
        assert capfd.readouterr().out == "[SDK] Not connected\n" * 2
        assert not sdk.is_connected()

    @pytest.mark.parametrize(
        "name, value",
        [
            ("clientId", 5),
            ("cleanSession", "yes"),
            ("keepAlive", "30"),
            ("keepAlive", 1.5),
            ("edition", None),
            ("caFile", 5),
            ("verifyPeer", None),
            ("verifyPeer", 0),
        ],
    )
    def test_init_refuses_arguments_of_the_wrong_type(self, name, value):
        with pytest.raises(TypeError, match=r"init\(\): incompatible function arguments"):
            movra_sdk.SDK().init(**{**INIT_SETTINGS, name: value})

    def test_init_defaults_reach_the_broker(self, capfd):
        with Broker(log_verbose=True) as broker:
            sdk = movra_sdk.SDK()
            sdk.init("defaults", broker.address, "tcp", "alice", "")
            assert sdk.connect()
            # Clean session off and a keep-alive of 30 s; the user name as given.
            broker.wait_for_log("as defaults (p2, c0, k30, u'alice')")
            sdk.stop()
        assert capfd.readouterr().out.endswith("[SDK] Disconnected\n")

    def test_messaging_members_take_their_arguments_by_name_with_defaults(self, make_sdk, capfd):
        sdk = make_sdk()
        received: queue.Queue = queue.Queue()
        sdk.on_message(lambda topic, payload: received.put((topic, payload)))
        assert sdk.subscribe(topic="t/named") is True
        assert sdk.publish(topic="t/named", payload="default qos") is None
        sdk.publish("t/named", "qos 1", qos=1, retained=False)
        assert received.get(timeout=10) == ("t/named", "default qos")
        assert received.get(timeout=10) == ("t/named", "qos 1")
        with pytest.raises(TypeError):
            sdk.publish("t/named", "p", 0, False, None)
        assert capfd.readouterr().err == ""

    def test_argumentless_members_refuse_arguments(self, capfd):
        sdk = movra_sdk.SDK()
        for name in ("connect", "disconnect", "stop", "is_connected"):
            with pytest.raises(TypeError):
                getattr(sdk, name)(None)
        assert sdk.is_connected() is False
        assert sdk.connect() is False
        assert sdk.disconnect() is None
        captured = capfd.readouterr()
        assert captured.err == "[SDK] connect \u2014 call init() first\n"
        assert captured.out == "[SDK] Not connected\n"
