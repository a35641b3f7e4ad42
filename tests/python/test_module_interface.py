"""The module as Python sees it: what it exports, the class members and their signatures."""

import re

import pytest

import movra_sdk

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


def parameters(method) -> list[tuple[str, str, str | None]]:
    """(name, type, default) of each parameter after self, read from the signature pybind11 writes
    into the docstring."""
    doc = method.__doc__
    match = re.match(rf"{method.__name__}\(self: movra_sdk\.SDK(?:, (.*))?\) -> (\w+)\n", doc)
    assert match, doc
    params = []
    if not match.group(1):
        return params
    for part in re.split(r", (?![^\[]*\])", match.group(1)):
        if part in ("/", "*"):
            params.append((part, "", None))
            continue
        name, rest = part.split(": ", 1)
        kind, _, default = rest.partition(" = ")
        params.append((name, kind, default or None))
    return params


def result(method) -> str:
    return re.search(r"-> (\w+)\n", method.__doc__).group(1)


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

    def test_init_parameters_and_python_defaults(self):
        path = "os.PathLike | str | bytes | None"
        assert parameters(movra_sdk.SDK.init) == [
            ("clientId", "str", None),
            ("brokerHost", "str", None),
            ("protocol", "str", None),
            ("username", "str", None),
            ("password", "str", None),
            ("cleanSession", "bool", "False"),
            ("resumeSubs", "bool", "True"),
            ("connectRetry", "bool", "True"),
            ("autoReconnect", "bool", "True"),
            ("connectRetryInterval", "typing.SupportsInt | typing.SupportsIndex", "5"),
            ("maxReconnectInterval", "typing.SupportsInt | typing.SupportsIndex", "1"),
            ("keepAlive", "typing.SupportsInt | typing.SupportsIndex", "30"),
            ("pingTimeout", "typing.SupportsInt | typing.SupportsIndex", "10"),
            ("writeTimeout", "typing.SupportsInt | typing.SupportsIndex", "10"),
            ("orderMatters", "bool", "False"),
            ("connectTimeout", "typing.SupportsInt | typing.SupportsIndex", "30"),
            ("edition", "str", "'Community'"),
            # The TLS settings, keyword-only after the seventeen positional parameters.
            ("*", "", None),
            ("caFile", path, "None"),
            ("certFile", path, "None"),
            ("keyFile", path, "None"),
            ("keyPassword", "str | None", "None"),
            ("verifyPeer", "bool", "True"),
        ]
        assert result(movra_sdk.SDK.init) == "None"

    def test_messaging_parameters(self):
        int_type = "typing.SupportsInt | typing.SupportsIndex"
        assert parameters(movra_sdk.SDK.publish) == [
            ("topic", "str", None),
            ("payload", "str", None),
            ("qos", int_type, "0"),
            ("retained", "bool", "False"),
        ]
        assert parameters(movra_sdk.SDK.subscribe) == [
            ("topic", "str", None),
            ("qos", int_type, "0"),
        ]
        assert result(movra_sdk.SDK.publish) == "None"
        assert result(movra_sdk.SDK.subscribe) == "bool"

    @pytest.mark.parametrize("name", ["unsubscribe", "on_message", "on_connection"])
    def test_single_parameter_is_positional_only(self, name):
        params = parameters(getattr(movra_sdk.SDK, name))
        assert len(params) == 2 and params[1][0] == "/"
        assert result(getattr(movra_sdk.SDK, name)) == "None"

    def test_handler_setters_take_callables_or_none(self):
        (_, message_type, _), _ = parameters(movra_sdk.SDK.on_message)
        (_, connection_type, _), _ = parameters(movra_sdk.SDK.on_connection)
        assert message_type == "collections.abc.Callable[[str, str], None] | None"
        assert connection_type == "collections.abc.Callable[[bool, int], None] | None"

    @pytest.mark.parametrize(
        "name, returns",
        [("connect", "bool"), ("disconnect", "None"), ("stop", "None"), ("is_connected", "bool")],
    )
    def test_argumentless_members(self, name, returns):
        method = getattr(movra_sdk.SDK, name)
        assert parameters(method) == []
        assert result(method) == returns

    def test_fresh_object_is_not_connected(self):
        sdk = movra_sdk.SDK()
        assert sdk.is_connected() is False
