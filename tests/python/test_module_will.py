"""The last will: published by the broker when the client vanishes without a DISCONNECT (here: killed
with SIGKILL), after an explicit connect and after the reconnect worker's; not after disconnect() or
stop(); and init's refusals of wills the broker cannot take."""

import json
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest
from conftest import ROOT, unique_client_id
from enterprise_support import plugin_lines

import movra_sdk
from broker.harness import Broker
from broker.tls import Certificates, TlsBroker

# A client with a will that obeys lines on its standard input: "kill" (SIGKILL to itself),
# "disconnect", "stop". It writes "up" at each connection (the connect's and the reconnect worker's).
# Its arguments: the repository, init's positional arguments as JSON, the will's payload in hex and
# the rest of the will and init's keyword arguments as JSON ("text": the payload given as a str).
CHILD = """\
import json, os, signal, sys
sys.path.insert(0, sys.argv[1])
import movra_sdk

topic, qos, retained, options = json.loads(sys.argv[4])
payload = bytes.fromhex(sys.argv[3])
will = (topic, payload.decode() if options.pop("text", False) else payload, qos, retained)
sdk = movra_sdk.SDK()
sdk.on_connection(lambda connected, code: connected and print("up", flush=True))
sdk.init(*json.loads(sys.argv[2]), maxReconnectInterval=1, will=will, **options)
assert sdk.connect()
for line in sys.stdin:
    if line == "kill\\n":
        os.kill(os.getpid(), signal.SIGKILL)
    getattr(sdk, line.strip())()
    print("done", flush=True)
"""


class WillClient:
    """A child process connected with a will to `address` (host:port) over `protocol`."""

    def __init__(
        self,
        address,
        topic,
        payload,
        qos=1,
        retained=False,
        *,
        protocol="tcp",
        username="",
        password="",
        **options,
    ):
        self.client_id = unique_client_id("will")
        init = [self.client_id, address, protocol, username, password]
        self.process = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(ROOT), json.dumps(init), payload.hex()]
            + [json.dumps([topic, qos, retained, options])],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def expect(self, marker):
        """Waits for the child's next line equal to marker (other lines are console lines)."""
        while self.lines.get(timeout=20) != marker:
            pass

    def order(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def kill(self):
        self.order("kill")
        assert self.process.wait(20) == -signal.SIGKILL

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(20)
        # The reader ends at the end of the pipe; the pipe is closed after it.
        self.reader.join(20)
        self.process.stdin.close()
        self.process.stdout.close()


@pytest.fixture
def broker():
    """The broker logs each client's ending: an orderly one shows as "Client <id> disconnected."."""
    with Broker(log_verbose=True) as b:
        yield b


@pytest.fixture
def will_client():
    made = []

    def make(*args, **kwargs):
        made.append(WillClient(*args, **kwargs))
        return made[-1]

    yield make
    for client in made:
        client.close()


def listener(raw_client, topic):
    """A raw client subscribed to topic (SUBACK received); returns the queue of its messages."""
    received = queue.Queue()
    subscribed = threading.Event()
    client = raw_client()
    client.on_message = lambda c, u, message: received.put(message)
    client.on_subscribe = lambda *a: subscribed.set()
    client.subscribe(topic, 1)
    assert subscribed.wait(10)
    return received


class TestWillDelivery:
    def test_a_killed_client_leaves_its_binary_will_intact_and_retained(
        self, broker, raw_client, will_client
    ):
        payload = bytes(range(256)) + b"\x00\x00end"
        live = listener(raw_client, "will/dev1")
        client = will_client(broker.address, "will/dev1", payload, qos=1, retained=True)
        client.expect("up")
        client.kill()
        message = live.get(timeout=20)
        assert (message.topic, message.payload, message.qos) == ("will/dev1", payload, 1)
        # Kept by the broker for those who subscribe later.
        later = listener(raw_client, "will/dev1").get(timeout=10)
        assert (later.payload, later.retain) == (payload, True)

    def test_the_reconnect_workers_connect_carries_the_will(self, broker, raw_client, will_client):
        client = will_client(broker.address, "will/dev2", b"gone", qos=0, text=True)
        client.expect("up")
        # The restarted broker knows only the will of the worker's connect.
        broker.restart()
        client.expect("up")
        live = listener(raw_client, "will/dev2")
        client.kill()
        message = live.get(timeout=20)
        assert (message.payload, message.retain) == (b"gone", False)

    def test_over_tls_in_the_enterprise_edition(self, will_client):
        # Not under pytest's temporary directory: mosquitto must be able to read the files.
        directory = Path(tempfile.mkdtemp(prefix="movra-will-tls-"))
        credentials = {"alice": "s3cret", "bob": "hunter2"}
        try:
            certs = Certificates(directory)
            with TlsBroker(
                certs,
                listeners=("tls",),
                allow_anonymous=False,
                extra=plugin_lines(credentials),
            ) as broker:
                tls = {"edition": "Enterprise", "caFile": str(certs.ca)}
                address = f"127.0.0.1:{broker.ports['tls']}"
                watcher = movra_sdk.SDK()
                received = queue.Queue()
                watcher.on_message(lambda t, p: received.put((t, p)), binary=True)
                watcher.init(unique_client_id(), address, "ssl", "bob", "hunter2", **tls)
                try:
                    assert watcher.connect() and watcher.subscribe("will/dev4", 1)
                    client = will_client(
                        address,
                        "will/dev4",
                        b"\x00tls",
                        protocol="ssl",
                        username="alice",
                        password="s3cret",
                        **tls,
                    )
                    client.expect("up")
                    client.kill()
                    assert received.get(timeout=20) == ("will/dev4", b"\x00tls")
                finally:
                    watcher.stop()
        finally:
            shutil.rmtree(directory, ignore_errors=True)

    @pytest.mark.parametrize("ending", ["disconnect", "stop"])
    def test_no_will_after_an_orderly_ending(self, broker, raw_client, will_client, ending):
        live = listener(raw_client, "will/dev3")
        client = will_client(broker.address, "will/dev3", b"gone", retained=True)
        client.expect("up")
        client.order(ending)
        client.expect("done")
        client.kill()
        broker.wait_for_log(f"Client {client.client_id} disconnected.")
        # Published after the broker ended the session: it arrives first, as no will came before it.
        raw_client().publish("will/dev3", b"marker", 1).wait_for_publish(10)
        assert live.get(timeout=10).payload == b"marker"


class TestWillRefusals:
    BAD = [
        (("will/t", "p", 3, False), ValueError, "qos"),
        (("will/t", "p", -1, False), ValueError, "qos"),
        (("will/t", "p", 2**80, False), ValueError, "qos"),
        (("", "p", 0, False), ValueError, "empty"),
        (("will/+/t", "p", 0, False), ValueError, "wildcard"),
        (("will/#", "p", 0, False), ValueError, "wildcard"),
        (("will\0t", "p", 0, False), ValueError, "zero byte"),
        (("t" * 65536, "p", 0, False), ValueError, "topic is longer"),
        (("will/t", b"p" * 65536, 0, False), ValueError, "payload is longer"),
        (("will/\ud800", "p", 0, False), UnicodeEncodeError, "surrogate"),
        (("will/t", "p", 1), TypeError, "tuple"),
        (("will/t", "p", 1, False, None), TypeError, "tuple"),
        (["will/t", "p", 1, False], TypeError, "tuple"),
        ("will/t", TypeError, "tuple"),
        ((b"will/t", "p", 1, False), TypeError, "topic"),
        (("will/t", bytearray(b"p"), 1, False), TypeError, "payload"),
        (("will/t", None, 1, False), TypeError, "payload"),
        (("will/t", "p", "1", False), TypeError, "qos"),
        (("will/t", "p", True, False), TypeError, "qos"),
        (("will/t", "p", 1.0, False), TypeError, "qos"),
        (("will/t", "p", 1, 1), TypeError, "retained"),
    ]

    def test_each_bad_will_raises_before_the_initialised_object_changes(self, make_sdk, capfd):
        sdk = make_sdk(will=("will/ok", b"\0", 1, True))
        received = queue.Queue()
        sdk.on_message(lambda topic, payload: received.put(payload))
        assert sdk.subscribe("will/echo", 1)
        capfd.readouterr()
        for will, error, words in self.BAD:
            with pytest.raises(error, match=words):
                sdk.init(unique_client_id(), "127.0.0.1:1", "tcp", "", "", will=will)
            # Still the same connected client: init did not tear it down.
            assert sdk.is_connected(), will
        assert capfd.readouterr() == ("", "")
        sdk.publish("will/echo", "still here", 1)
        assert received.get(timeout=10) == "still here"

    def test_the_longest_topic_and_payload_are_taken(self):
        import movra_sdk

        sdk = movra_sdk.SDK()
        sdk.init("id", "127.0.0.1:1", "tcp", "", "", will=("t" * 65535, b"\xff" * 65535, 2, False))
        sdk.init("id", "127.0.0.1:1", "tcp", "", "", will=("t", "", 0, False))
        sdk.stop()
