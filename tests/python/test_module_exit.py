"""A program that ends while an SDK is connected and messages keep arriving exits with its own
status: no hang, no crash, no handler call once the exit has stopped the SDK."""

import pytest

RUNS = 6

PROGRAM = """
    import atexit, os, threading, time
    exited = False

    def mark_exited():
        global exited
        exited = True

    # Registered before the import, so it runs after the module's own exit hook.
    atexit.register(mark_exited)
    import movra_sdk

    address, mode, run = sys.argv[1], sys.argv[2], sys.argv[3]
    arrived = threading.Event()
    sdk = movra_sdk.SDK()

    def check_alive():
        if exited or sys.is_finalizing():
            os.write(2, b"LATE HANDLER CALL\\n")

    def on_message(topic, payload):
        check_alive()
        arrived.set()
        if mode == "handler-publishes":
            sdk.publish("x/echo", payload, 1)

    def on_connection(connected, code):
        check_alive()

    sdk.on_message(on_message)
    sdk.on_connection(on_connection)
    sdk.init(f"exit-{mode}-{run}", address, "tcp", "", "")
    assert sdk.connect() and sdk.subscribe("x/#", 1)

    def publish_forever():
        i = 0
        while True:
            sdk.publish("x/self", str(i), 1)
            i += 1

    if mode == "daemon-publishes":
        threading.Thread(target=publish_forever, daemon=True).start()
    assert arrived.wait(10)
    time.sleep(int(run) * 0.01)
    if mode == "uncaught":
        raise KeyError("ends the program")
    sys.exit(3)
"""

EXPECTED_STATUS = {"main-exits": 3, "handler-publishes": 3, "daemon-publishes": 3, "uncaught": 1}


@pytest.fixture
def incoming_traffic(broker, traffic):
    """Keeps QoS 0 and QoS 1 messages flowing to topic x/in for the whole test."""
    traffic("x/in", qos=(0, 1))
    return broker


@pytest.mark.parametrize("mode", list(EXPECTED_STATUS))
def test_exit_while_connected_and_messages_flow(child, incoming_traffic, mode):
    for run in range(RUNS):
        result = child(PROGRAM, incoming_traffic.address, mode, str(run), timeout=30)
        context = f"run {run}: status {result.returncode}\n{result.err[-2000:]}"
        assert result.returncode == EXPECTED_STATUS[mode], context
        assert "LATE HANDLER CALL" not in result.err, context
        assert "Fatal Python error" not in result.err, context
        assert "terminate called" not in result.err, context
        assert "[SDK] Disconnected\n" in result.out, context
        if mode == "uncaught":
            assert "KeyError: 'ends the program'" in result.err, context
