"""A TCP relay on 127.0.0.1 that can fail the way networks do, for tests a real broker cannot stage.

    with TcpProxy(broker.port) as proxy:
        sdk.init("id", proxy.address, "tcp", "", "")
        proxy.stall()    # half-open: sockets stay open, nothing is relayed any more, nothing closes
        proxy.resume()   # relaying again; new connections are accepted and relayed
        proxy.cut()      # every relayed connection is closed on both sides at once
        proxy.drop_after_reply = 3   # the next 3 connections end right after the broker's first reply

While stalled, new connections are accepted and held open silently (a peer that never answers).
Usable from the test process and from a child process (`python tcp_proxy.py` is not needed).
"""

from __future__ import annotations

import selectors
import socket
import threading


class TcpProxy:
    def __init__(self, target_port: int, target_host: str = "127.0.0.1"):
        self.target = (target_host, target_port)
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self._listener.setblocking(False)
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._pairs: list[tuple[socket.socket, socket.socket | None]] = []
        self._stalled = False
        self._closed = False
        self._wake_r, self._wake_w = socket.socketpair()
        self.accepted = 0
        # How many of the next connections are closed right after their first reply is relayed.
        self.drop_after_reply = 0
        self._doomed: set[socket.socket] = set()
        self._thread = threading.Thread(target=self._run, name="tcp-proxy", daemon=True)
        self._thread.start()

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def stall(self) -> None:
        """Stops relaying in both directions without closing anything."""
        with self._lock:
            self._stalled = True
        self._wake()

    def resume(self) -> None:
        """Relays again; connections held while stalled stay silent, new ones are relayed."""
        with self._lock:
            self._stalled = False
        self._wake()

    def unrelayed(self) -> int:
        """Bytes the clients have sent that wait unread at the proxy (while it is stalled)."""
        with self._lock:
            clients = [client for client, _ in self._pairs]
        waiting = 0
        for client in clients:
            try:
                waiting += len(client.recv(65536, socket.MSG_PEEK | socket.MSG_DONTWAIT))
            except OSError:
                pass  # nothing waiting, or closed by cut() meanwhile
        return waiting

    def cut(self) -> None:
        """Closes every current connection on both sides (the peers see the connection end)."""
        with self._lock:
            pairs, self._pairs = self._pairs, []
        for client, upstream in pairs:
            for s in (client, upstream):
                if s is not None:
                    _close(s)
        self._wake()

    def close(self) -> None:
        with self._lock:
            self._closed = True
        self._wake()
        self._thread.join(timeout=5)
        self.cut()
        _close(self._listener)
        _close(self._wake_r)
        _close(self._wake_w)

    def __enter__(self) -> TcpProxy:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _wake(self) -> None:
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    def _accept(self) -> None:
        try:
            client, _ = self._listener.accept()
        except BlockingIOError:
            return
        self.accepted += 1
        with self._lock:
            stalled = self._stalled
        upstream = None
        if not stalled:
            try:
                upstream = socket.create_connection(self.target, timeout=2)
            except OSError:
                # Nothing listens behind the proxy: the client sees its connection refused-like end.
                _close(client)
                return
        client.setblocking(False)
        if upstream is not None:
            upstream.setblocking(False)
        with self._lock:
            self._pairs.append((client, upstream))
            if upstream is not None and self.drop_after_reply > 0:
                self.drop_after_reply -= 1
                self._doomed.add(upstream)

    def _run(self) -> None:
        while True:
            with self._lock:
                if self._closed:
                    return
                stalled = self._stalled
                pairs = list(self._pairs)
            sel = selectors.DefaultSelector()
            sel.register(self._listener, selectors.EVENT_READ, None)
            sel.register(self._wake_r, selectors.EVENT_READ, None)
            if not stalled:
                for client, upstream in pairs:
                    if upstream is None:
                        continue  # held silently since it was accepted while stalled
                    try:
                        sel.register(client, selectors.EVENT_READ, (client, upstream))
                        sel.register(upstream, selectors.EVENT_READ, (upstream, client))
                    except (OSError, ValueError):
                        pass  # closed by cut() meanwhile
            try:
                events = sel.select(timeout=0.5)
            except (OSError, ValueError):
                events = []  # a socket was closed by cut() meanwhile
            for key, _ in events:
                if key.fileobj is self._listener:
                    self._accept()
                elif key.fileobj is self._wake_r:
                    try:
                        self._wake_r.recv(4096)
                    except OSError:
                        pass
                else:
                    self._relay(*key.data)
            sel.close()

    def _relay(self, source: socket.socket, sink: socket.socket) -> None:
        with self._lock:
            if self._stalled:
                return
        try:
            data = source.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if data:
            try:
                sink.setblocking(True)
                sink.sendall(data)
                sink.setblocking(False)
                if source not in self._doomed:
                    return
            except OSError:
                pass
        self._drop(source)

    def _drop(self, sock: socket.socket) -> None:
        with self._lock:
            self._doomed.discard(sock)
            for pair in self._pairs:
                if sock in pair:
                    self._pairs.remove(pair)
                    break
            else:
                return
        for s in pair:
            if s is not None:
                _close(s)


def _close(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass
