# Types of the movra_sdk extension module, shipped as the stub-only package movra_sdk-stubs
# (the aliases are private: they exist for type checkers only).
# The module itself carries no annotations: these declarations must follow module.cpp exactly
# (tests/python/test_types.py holds them against the running module).
from collections.abc import Callable
from concurrent.futures import Future
from os import PathLike
from typing import Literal, final, overload

# A str is sent as its UTF-8 bytes; bytes and bytearray as they are.
type _Text = str | bytes | bytearray

# A file of the TLS settings: a path as str or any os.PathLike.
type _Path = str | PathLike[str]

# Called on the object's dispatch thread with the topic and the payload, both decoded as UTF-8.
type _MessageHandler = Callable[[str, str], object]
# The binary form (on_message(..., binary=True)): the topic as str, the payload as the bytes received.
type _BinaryMessageHandler = Callable[[str, bytes], object]
# The last will: (topic, payload, qos, retained); a str payload is sent as its UTF-8 bytes.
type _Will = tuple[str, str | bytes, int, bool]
# Called with (connected, code): (True, 0), (False, 0) or (False, -1).
type _ConnectionHandler = Callable[[bool, int], object]

@final
class SDK:
    def __init__(self) -> None: ...
    def init(
        self,
        clientId: _Text,
        brokerHost: _Text,
        protocol: _Text,
        username: _Text,
        password: _Text,
        cleanSession: bool = False,
        resumeSubs: bool = True,
        connectRetry: bool = True,
        autoReconnect: bool = True,
        connectRetryInterval: int = 5,
        maxReconnectInterval: int = 1,
        keepAlive: int = 30,
        pingTimeout: int = 10,
        writeTimeout: int = 10,
        orderMatters: bool = False,
        connectTimeout: int = 30,
        edition: _Text = "Community",
        *,
        caFile: _Path | None = None,
        certFile: _Path | None = None,
        keyFile: _Path | None = None,
        keyPassword: str | None = None,
        verifyPeer: bool = True,
        will: _Will | None = None,
        maxInflight: int = 100,
        maxQueued: int = 100000,
        maxQueuedBytes: int = 67108864,
    ) -> None: ...
    def connect(self) -> bool: ...
    def disconnect(self) -> None: ...
    # Waiting (the default): returns None once the message is done, failed or 10 s have passed.
    # Not waiting: returns the message's future at once.
    @overload
    def publish(
        self,
        topic: _Text,
        payload: _Text,
        qos: int = 0,
        retained: bool = False,
        *,
        wait: Literal[True] = True,
    ) -> None: ...
    @overload
    def publish(
        self,
        topic: _Text,
        payload: _Text,
        qos: int = 0,
        retained: bool = False,
        *,
        wait: Literal[False],
    ) -> Future[None]: ...
    @overload
    def publish(
        self,
        topic: _Text,
        payload: _Text,
        qos: int = 0,
        retained: bool = False,
        *,
        wait: bool = True,
    ) -> Future[None] | None: ...
    def subscribe(self, topic: _Text, qos: int = 0) -> bool: ...
    def unsubscribe(self, topic: _Text, /) -> None: ...
    @overload
    def on_message(
        self, handler: _BinaryMessageHandler | None, /, *, binary: Literal[True]
    ) -> None: ...
    @overload
    def on_message(
        self, handler: _MessageHandler | None, /, *, binary: Literal[False] = False
    ) -> None: ...
    # A form chosen at run time needs a handler that takes either payload.
    @overload
    def on_message(
        self, handler: Callable[[str, str | bytes], object] | None, /, *, binary: bool = False
    ) -> None: ...
    def on_connection(self, handler: _ConnectionHandler | None, /) -> None: ...
    def stop(self) -> None: ...
    def is_connected(self) -> bool: ...
