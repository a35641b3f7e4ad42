"""Benchmark workloads through movra_sdk (see common.py for the command line)."""

from __future__ import annotations

import collections
import concurrent.futures
import threading
import time

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

import movra_sdk


def init(
    sdk: movra_sdk.SDK, args: Args, client_id: str, username: str, password: str, **options
) -> None:
    """init over the scheme of the command line; for ssl:// with the CA file of ca=."""
    if args.scheme == "ssl":
        options["caFile"] = args.str("ca", "")
    sdk.init(client_id, f"{args.host}:{args.port}", args.scheme, username, password, **options)


def connected(
    args: Args, client_id: str, clean: bool = True, edition: str = "Community", handler=None
) -> movra_sdk.SDK:
    sdk = movra_sdk.SDK()
    init(sdk, args, client_id, "bench", "secret", cleanSession=clean, edition=edition)
    if handler is not None:
        sdk.on_message(handler)
    if not sdk.connect():
        raise RuntimeError("connect failed")
    return sdk


def self_subscribed(args: Args, client_id: str, topic: str, handler) -> movra_sdk.SDK:
    """A connected client subscribed (QoS 0) to the topic it will publish to."""
    sdk = connected(args, client_id, handler=handler)
    if not sdk.subscribe(topic, 0):
        raise RuntimeError("subscribe failed")
    return sdk


def publish(args: Args) -> dict:
    qos, size = args.int("qos", 0), args.int("size", 100)
    topic, body = args.str("topic", "bench/movra"), payload(size)
    sdk = connected(args, "bench-movra-pub")
    send = sdk.publish
    result = timed_publish(lambda: send(topic, body, qos), args.float("seconds", 1.0), size)
    sdk.stop()
    return result


def pipelined(args: Args) -> dict:
    """publish(wait=False) `count` times, then waits for every future (a failed one fails the
    run); up to `window` messages in flight, the queue sized to hold them all."""
    qos, size, count = args.int("qos", 1), args.int("size", 100), args.int("count", 10000)
    topic, body = args.str("topic", "bench/movra/pipe"), payload(size)
    sdk = movra_sdk.SDK()
    init(
        sdk,
        args,
        "bench-movra-pipe",
        "bench",
        "secret",
        cleanSession=True,
        maxInflight=args.int("window", 100),
        maxQueued=count,
    )
    if not sdk.connect():
        raise RuntimeError("connect failed")
    send = sdk.publish

    def settle(futures):
        for future in futures:
            future.result()

    result = pipelined_publish(lambda: send(topic, body, qos, wait=False), settle, count, size)
    sdk.stop()
    return result


def chaos(args: Args) -> dict:
    """Numbered QoS 1 messages with wait=False, one every `interval` s, each on its own topic
    (topic/<number>), through the broker's restarts (default reconnect and queue settings); then
    waits up to `settle` s for the futures."""
    count, interval = args.int("count", 3000), args.float("interval", 0.002)
    topic = args.str("topic", "bench/chaos")
    sdk = movra_sdk.SDK()
    clean = bool(args.int("clean", 0))
    init(sdk, args, args.str("id", "bench-movra-chaos"), "", "", cleanSession=clean)
    if not sdk.connect():
        raise RuntimeError("connect failed")
    emit("ready")
    send = sdk.publish
    # The wall-clock time each message's future resolved at, to set beside the broker's log.
    resolved_at: list[float | None] = [None] * count

    def numbered(i: int) -> concurrent.futures.Future:
        future = send(f"{topic}/{i}", payload(100, i), 1, wait=False)
        future.add_done_callback(lambda _, i=i: resolved_at.__setitem__(i, time.time()))
        return future

    began = time.monotonic()
    futures = paced(numbered, count, interval)
    published_at = time.monotonic()
    done, pending = concurrent.futures.wait(futures, timeout=args.float("settle", 60))
    settled_at = time.monotonic()
    errors = collections.Counter(
        type(f.exception()).__name__ for f in done if f.exception() is not None
    )
    sdk.stop()
    failed = sum(errors.values())
    return {
        "published": count,
        "resolved": len(done) - failed,
        "failed": failed,
        "unresolved": len(pending),
        "errors": dict(errors),
        "publishing_s": round(published_at - began, 3),
        "settling_s": round(settled_at - published_at, 3),
        "resolved_at": resolved_at,
    }


def receive(args: Args) -> dict:
    """Kept session (id=): connects and drains what was queued for it. live=1: subscribes on a
    clean session and says "ready". Timed from the first arrival to the last."""
    count, live = args.int("count", 10000), args.int("live", 0)
    inbox = Inbox(count)
    sdk = movra_sdk.SDK()
    init(sdk, args, args.str("id", "bench-movra-recv"), "", "", cleanSession=bool(live))
    add = inbox.add
    # binary=1: the handler is given the payload as bytes, without the decode to str.
    binary = bool(args.int("binary", 0))
    if binary:
        sdk.on_message(lambda topic, body: add(body), binary=True)
    else:
        sdk.on_message(lambda topic, body: add(body))
    cpu = time.process_time()
    sdk.connect()
    if live:
        sdk.subscribe(args.str("topic", "bench/c"), args.int("qos", 0))
        emit("ready")
    end = inbox.wait(idle=1.0)
    cpu = time.process_time() - cpu
    sdk.stop()
    sep = b" " if binary else " "
    return receive_result(
        inbox, count, inbox.first_at, end, cpu, lambda body: int(body.split(sep, 1)[0])
    )


def roundtrip(args: Args) -> dict:
    topic, body = args.str("topic", "bench/movra/rt"), payload(100)
    rt = RoundTrip()
    sdk = self_subscribed(args, "bench-movra-rt", topic, rt.arrive)
    send = sdk.publish
    result = rt.run(lambda: send(topic, body, 0), args.int("count", 1000))
    sdk.stop()
    return result


def connects(args: Args) -> dict:
    seconds = args.float("seconds", 1.0)
    sdk = movra_sdk.SDK()
    sdk.init(
        "bench-movra-conn",
        f"{args.host}:{args.port}",
        "tcp",
        "bench",
        "secret",
        cleanSession=True,
        edition=args.str("edition", "Community"),
    )
    count = 0
    start = time.perf_counter()
    while True:
        if not sdk.connect():
            raise RuntimeError("connect failed")
        sdk.disconnect()
        count += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            break
    sdk.stop()
    return {"count": count, "seconds": round(elapsed, 6), "rate": round(count / elapsed, 2)}


def mixed(args: Args) -> dict:
    """A QoS 1 publish right after a QoS 0 one on the same connection: the QoS 1 call's time."""
    topic, body = args.str("topic", "bench/movra/mixed"), payload(100)
    sdk = connected(args, "bench-movra-mixed")
    result = mixed_p50(
        lambda: sdk.publish(topic, body, 0),
        lambda: sdk.publish(topic, body, 1),
        args.int("count", 200),
    )
    sdk.stop()
    return result


def parallel(args: Args) -> dict:
    """`clients` objects connect from as many threads at once; seconds until all are connected.
    restart=1: then says "ready" and reports when all are back after the broker's restart."""
    n, restart = args.int("clients", 20), args.int("restart", 0)
    sdks, lost, back, lock = [], [0], [0], threading.Lock()
    stamp = {}

    def on_connection(is_up: bool, code: int) -> None:
        with lock:
            if not is_up and code == -1:
                lost[0] += 1
            elif is_up and code == 0 and lost[0] >= n:
                back[0] += 1
                if back[0] == n:
                    stamp["at"] = time.monotonic()

    for i in range(n):
        sdk = movra_sdk.SDK()
        init(sdk, args, f"bench-movra-par-{i}", "", "", cleanSession=True)
        sdk.on_connection(on_connection)
        sdks.append(sdk)
    ok = []
    elapsed = run_at_once([lambda s=s: ok.append(s.connect()) for s in sdks])
    if ok.count(True) != n:
        raise RuntimeError("not all connected")
    result = {"seconds": round(elapsed, 6)}
    if restart:
        emit("ready")
        deadline = time.monotonic() + 60
        while "at" not in stamp and time.monotonic() < deadline:
            time.sleep(0.01)
        if "at" not in stamp:
            raise RuntimeError("not all back within 60 s")
        result["reconnected_at"] = stamp["at"]
    for sdk in sdks:
        sdk.stop()
    return result


def recovery(args: Args) -> dict:
    lost, back = threading.Event(), threading.Event()
    stamp = {}

    def on_connection(is_up: bool, code: int) -> None:
        if not is_up and code == -1:
            lost.set()
        elif is_up and code == 0 and lost.is_set():
            stamp["at"] = time.monotonic()
            back.set()

    sdk = movra_sdk.SDK()
    sdk.init("bench-movra-recovery", f"{args.host}:{args.port}", "tcp", "", "", cleanSession=True)
    sdk.on_connection(on_connection)
    sdk.connect()
    emit("ready")
    if not back.wait(60):
        raise RuntimeError("no reconnect within 60 s")
    sdk.stop()
    return {"reconnected_at": stamp["at"]}


def memory(args: Args) -> dict:
    topic, body = args.str("topic", "bench/movra/mem"), payload(100)
    counter = Counter()
    sdk = self_subscribed(args, "bench-movra-mem", topic, counter.add)
    send = sdk.publish
    result = memory_run(lambda: send(topic, body, 0), counter, args)
    sdk.stop()
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
