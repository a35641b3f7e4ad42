"""Console lines as a Python program sees them on its file descriptors: exact bytes and stream."""


def test_deleting_an_uninitialised_object_writes_not_connected(child):
    result = child("""
        import movra_sdk
        sdk = movra_sdk.SDK()
        del sdk
    """)
    assert result.returncode == 0
    assert result.stdout == b"[SDK] Not connected\n"
    assert result.stderr == b""


def test_connect_before_init_writes_to_stderr_and_returns_false(child):
    result = child("""
        import movra_sdk
        sdk = movra_sdk.SDK()
        assert sdk.connect() is False
        del sdk
    """)
    assert result.returncode == 0
    assert result.stderr == "[SDK] connect — call init() first\n".encode()
    assert result.stdout == b"[SDK] Not connected\n"


def test_a_session_from_python_writes_each_line_once(child, broker):
    result = child(
        """
        import movra_sdk
        sdk = movra_sdk.SDK()
        sdk.init("console-session", sys.argv[1], "tcp", "", "")
        assert sdk.connect()
        assert sdk.connect()
        assert sdk.subscribe("a/b", 1)
        sdk.publish("a/b", "quiet", 1)
        sdk.unsubscribe("a/b")
        sdk.stop()
        sdk.publish("a/b", "late")
    """,
        broker.address,
    )
    assert result.returncode == 0, result.err
    assert result.out == (
        f"[SDK] Connected to tcp://{broker.address}\n"
        "[SDK] Already connected\n"
        "[SDK] Subscribed to: a/b\n"
        "[SDK] Unsubscribed from: a/b\n"
        "[SDK] Disconnected\n"
        # deallocation at exit runs the stop sequence once more
        "[SDK] Not connected\n"
    )
    assert result.err == "[SDK] publish — not connected\n"


def test_inbound_messages_write_nothing_without_a_handler(child, broker):
    result = child(
        """
        import movra_sdk, threading
        sdk = movra_sdk.SDK()
        sdk.init("console-silent", sys.argv[1], "tcp", "", "")
        assert sdk.connect() and sdk.subscribe("s/#", 1)
        got = threading.Event()
        sdk.on_message(lambda t, p: None)
        sdk.on_message(None)
        for i in range(20):
            sdk.publish("s/x", str(i), 1)
        sdk.on_message(lambda t, p: got.set() if p == "last" else None)
        sdk.publish("s/x", "last", 1)
        assert got.wait(10)
        sdk.stop()
    """,
        broker.address,
    )
    assert result.returncode == 0, result.err
    assert result.out == (
        f"[SDK] Connected to tcp://{broker.address}\n"
        "[SDK] Subscribed to: s/#\n"
        "[SDK] Disconnected\n"
        "[SDK] Not connected\n"
    )
    assert result.stderr == b""


def test_program_ending_while_connected_writes_disconnected_once(child, broker):
    # The exit hook runs the stop sequence that deallocation would run; deallocation later in
    # finalisation adds nothing.
    result = child(
        """
        import movra_sdk
        sdk = movra_sdk.SDK()
        sdk.on_connection(lambda c, k: print(f"handler {c} {k}", flush=True))
        sdk.init("console-exit", sys.argv[1], "tcp", "", "")
        assert sdk.connect()
    """,
        broker.address,
    )
    assert result.returncode == 0, result.err
    assert result.stderr == b""
    # Python's lines and the native ones go through different buffers: compare each in order.
    lines = result.out.splitlines(keepends=True)
    assert [line for line in lines if line.startswith("[SDK] ")] == [
        f"[SDK] Connected to tcp://{broker.address}\n",
        "[SDK] Disconnected\n",
    ]
    assert [line for line in lines if not line.startswith("[SDK] ")] == [
        "handler True 0\n",
        "handler False 0\n",
    ]
