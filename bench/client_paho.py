"""Benchmark workloads through paho-mqtt 2.x, used as its documentation shows: the network loop on
its own thread (loop_start), wait_for_publish() for QoS 1 and 2 (see common.py for the command
line). A QoS 0 publish only queues the message for the network thread; the timed span of a QoS 0
run therefore ends when the last message has been written."""

from __future__ import annotations

import threading
import time
import weakref

import paho.mqtt.client as mqtt
from common import (
    Args,
    Counter,
    Inbox,
    RoundTrip,
    emit,
    main,
    memory_run,
    mixed_p50,
    paced,
    payload,
    pipelined_publish,
    receive_result,
    run_at_once,
    timed_publish,
)


def client_for(client_id: str, clean: bool = True) -> mqtt.Client:
    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=client_id, clean_session=clean)
    client.username_pw_set("bench", "secret")
    return client


# Clients whose TLS settings are made: paho-mqtt takes them once per client.
_tls_configured: weakref.WeakSet = weakref.WeakSet()


def start(client: mqtt.Client, args: Args) -> None:
    """connect + loop_start, returning once the broker has accepted the session."""
    up = threading.Event()
    client.on_connect = lambda c, userdata, flags, reason, props: up.set()
    if args.scheme == "ssl" and client not in _tls_configured:
        client.tls_set(ca_certs=args.str("ca", ""))  # certificate and host name verified
        _tls_configured.add(client)
    client.connect(args.host, args.port, keepalive=30)
    client.loop_start()
    if not up.wait(10):
        raise RuntimeError("connect failed")


def end(client: mqtt.Client) -> None:
    client.disconnect()
    client.loop_stop()


def subscribe(client: mqtt.Client, topic: str, qos: int) -> None:
    done = threading.Event()
    client.on_subscribe = lambda *a: done.set()
    client.subscribe(topic, qos)
    if not done.wait(10):
        raise RuntimeError("subscribe failed")


def publish(args: Args) -> dict:
    qos, size = args.int("qos", 0), args.int("size", 100)
    topic, body = args.str("topic", "bench/paho"), payload(size).encode()
    client = client_for("bench-paho-pub")
    start(client, args)
    send = client.publish
    last = []
    if qos == 0:

        def one():
            last.append(send(topic, body, 0))
            if len(last) > 1:
                last.pop(0)

        result = timed_publish(
            one, args.float("seconds", 1.0), size, finish=lambda: last[-1].wait_for_publish()
        )
    else:
        result = timed_publish(
            lambda: send(topic, body, qos).wait_for_publish(), args.float("seconds", 1.0), size
        )
    end(client)
    return result


def pipelined(args: Args) -> dict:
    """Publishes `count` messages, then waits for each (its own pipelining: up to `window` in
    flight, the rest in its queue)."""
    qos, size, count = args.int("qos", 1), args.int("size", 100), args.int("count", 10000)
    topic, body = args.str("topic", "bench/paho/pipe"), payload(size).encode()
    client = client_for("bench-paho-pipe")
    client.max_inflight_messages_set(args.int("window", 100))
    start(client, args)
    send = client.publish

    def settle(infos):
        for info in infos:
            info.wait_for_publish()

    result = pipelined_publish(lambda: send(topic, body, qos), settle, count, size)
    end(client)
    return result


def chaos(args: Args) -> dict:
    """Numbered QoS 1 messages, one every `interval` s, each on its own topic (topic/<number>),
    through the broker's restarts (automatic
    reconnection with its default delays); then waits up to `settle` s for every acknowledgement.
    A message published while the connection is down is queued and sent after the reconnect."""
    count, interval = args.int("count", 3000), args.float("interval", 0.002)
    topic = args.str("topic", "bench/chaos")
    acked: dict[int, float] = {}  # message id -> wall-clock time of its acknowledgement
    client = client_for(args.str("id", "bench-paho-chaos"), clean=bool(args.int("clean", 0)))
    client.on_publish = lambda c, userdata, mid, reason, props: acked.setdefault(mid, time.time())
    start(client, args)
    emit("ready")
    began = time.monotonic()
    infos = paced(
        lambda i: client.publish(f"{topic}/{i}", payload(100, i).encode(), 1), count, interval
    )
    published_at = time.monotonic()
    deadline = published_at + args.float("settle", 60)
    while time.monotonic() < deadline and not all(i.mid in acked for i in infos):
        time.sleep(0.05)
    resolved = sum(i.mid in acked for i in infos)
    settled_at = time.monotonic()
    end(client)
    return {
        "published": count,
        "resolved": resolved,
        "failed": 0,
        "unresolved": count - resolved,
        "publishing_s": round(published_at - began, 3),
        "settling_s": round(settled_at - published_at, 3),
        "resolved_at": [acked.get(i.mid) for i in infos],
    }


def receive(args: Args) -> dict:
    """As client_movra.receive: a kept session's backlog, or live=1 behind a fresh subscription."""
    count, live = args.int("count", 10000), args.int("live", 0)
    inbox = Inbox(count)
    client = client_for(args.str("id", "bench-paho-recv"), clean=bool(live))
    add = inbox.add
    client.on_message = lambda c, userdata, message: add(message.payload)
    cpu = time.process_time()
    start(client, args)
    if live:
        subscribe(client, args.str("topic", "bench/c"), args.int("qos", 0))
        emit("ready")
    finish = inbox.wait(idle=1.0)
    cpu = time.process_time() - cpu
    end(client)
    return receive_result(
        inbox, count, inbox.first_at, finish, cpu, lambda body: int(body.split(b" ", 1)[0])
    )


def self_subscribed(args: Args, client_id: str, topic: str, handler) -> mqtt.Client:
    """A connected client subscribed (QoS 0) to the topic it will publish to."""
    client = client_for(client_id)
    client.on_message = handler
    start(client, args)
    subscribe(client, topic, 0)
    return client


def roundtrip(args: Args) -> dict:
    topic, body = args.str("topic", "bench/paho/rt"), payload(100).encode()
    rt = RoundTrip()
    client = self_subscribed(args, "bench-paho-rt", topic, rt.arrive)
    send = client.publish
    result = rt.run(lambda: send(topic, body, 0), args.int("count", 1000))
    end(client)
    return result


def connects(args: Args) -> dict:
    seconds = args.float("seconds", 1.0)
    client = client_for("bench-paho-conn")
    count = 0
    begin = time.perf_counter()
    while True:
        start(client, args)
        end(client)
        count += 1
        elapsed = time.perf_counter() - begin
        if elapsed >= seconds:
            break
    return {"count": count, "seconds": round(elapsed, 6), "rate": round(count / elapsed, 2)}


def mixed(args: Args) -> dict:
    """A QoS 1 publish right after a QoS 0 one on the same connection: the QoS 1 call's time."""
    topic, body = args.str("topic", "bench/paho/mixed"), payload(100)
    client = client_for("bench-paho-mixed")
    start(client, args)
    result = mixed_p50(
        lambda: client.publish(topic, body, 0),
        lambda: client.publish(topic, body, 1).wait_for_publish(),
        args.int("count", 200),
    )
    end(client)
    return result


def parallel(args: Args) -> dict:
    """`clients` clients connect from as many threads at once; seconds until all are connected."""
    n = args.int("clients", 20)
    clients = [client_for(f"bench-paho-par-{i}") for i in range(n)]
    elapsed = run_at_once([lambda c=c: start(c, args) for c in clients])
    if not all(c.is_connected() for c in clients):
        raise RuntimeError("not all connected")
    for c in clients:
        end(c)
    return {"seconds": round(elapsed, 6)}


def recovery(args: Args) -> dict:
    lost, back = threading.Event(), threading.Event()
    stamp = {}

    def on_connect(c, userdata, flags, reason, props):
        if lost.is_set() and not reason.is_failure:
            stamp["at"] = time.monotonic()
            back.set()

    client = client_for("bench-paho-recovery")
    # The same ceiling as the module's default maxReconnectInterval (1 s).
    client.reconnect_delay_set(min_delay=1, max_delay=1)
    start(client, args)
    client.on_connect = on_connect
    client.on_disconnect = lambda *a: lost.set()
    emit("ready")
    if not back.wait(60):
        raise RuntimeError("no reconnect within 60 s")
    end(client)
    return {"reconnected_at": stamp["at"]}


def memory(args: Args) -> dict:
    topic, body = args.str("topic", "bench/paho/mem"), payload(100).encode()
    counter = Counter()
    client = self_subscribed(args, "bench-paho-mem", topic, counter.add)
    send = client.publish
    result = memory_run(lambda: send(topic, body, 0), counter, args)
    end(client)
    return result


if __name__ == "__main__":
    main(
        {
            "publish": publish,
            "receive": receive,
            "roundtrip": roundtrip,
            "connects": connects,
            "recovery": recovery,
            "memory": memory,
            "mixed": mixed,
            "parallel": parallel,
            "pipelined": pipelined,
            "chaos": chaos,
        }
    )
