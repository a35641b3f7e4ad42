"""The stub-only package movra_sdk-stubs: the running module takes the calls it declares, and
mypy --strict accepts correct programs and rejects wrong calls through it."""

import ast
import subprocess
import sys
from pathlib import Path

import movra_sdk

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "movra_sdk-stubs" / "__init__.pyi"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


def run_tool(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=ROOT,
        capture_output=True,
        text=True,
        stdin=subprocess.DEVNULL,
        timeout=300,
    )


REQUIRED = object()

# A value for each parameter without a default, by name.
SAMPLES = {
    "clientId": "id",
    "brokerHost": "127.0.0.1:1",
    "protocol": "tcp",
    "username": "",
    "password": "",
    "topic": "t",
    "payload": "p",
    "handler": None,
}


def shape(function: ast.FunctionDef) -> list[tuple[str, str, object]]:
    """(kind, name, default or REQUIRED) of each parameter after self."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    result = []
    for index, (argument, default) in enumerate(zip(positional, defaults, strict=True)):
        if index == 0:
            continue
        kind = "positional-only" if index < len(arguments.posonlyargs) else "any"
        value = ast.literal_eval(default) if default is not None else REQUIRED
        result.append((kind, argument.arg, value))
    for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults, strict=True):
        value = ast.literal_eval(default) if default is not None else REQUIRED
        result.append(("keyword-only", argument.arg, value))
    return result


def accepts(method: str, *args: object, **kwargs: object) -> bool:
    """Whether a fresh object's method takes these arguments."""
    sdk = movra_sdk.SDK()
    try:
        getattr(sdk, method)(*args, **kwargs)
    except TypeError:
        return False
    finally:
        sdk.stop()
    return True


def stub_methods() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text())
    (sdk,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "SDK"]
    return {node.name: node for node in sdk.body if isinstance(node, ast.FunctionDef)}


class TestStubsAgreeWithTheModule:
    def test_the_installed_stubs_are_the_ones_in_the_repository(self):
        installed = Path(sys.prefix) / "lib" / "python3.12" / "site-packages" / "movra_sdk-stubs"
        assert (installed / "__init__.pyi").read_text() == STUB.read_text(), "run 'make module'"

    def test_stubtest_finds_no_difference(self):
        proc = run_tool("mypy.stubtest", "movra_sdk", "--allowlist", str(ALLOWLIST))
        assert proc.returncode == 0, proc.stdout + proc.stderr

    def test_the_module_takes_each_call_the_stub_declares_and_refuses_the_others(self, capfd):
        stubs = stub_methods()
        public = {name for name in vars(movra_sdk.SDK) if not name.startswith("_")}
        assert set(stubs) - {"__init__"} == public
        for name in sorted(public):
            params = shape(stubs[name])
            value = {n: SAMPLES[n] if d is REQUIRED else d for _, n, d in params}
            required = [value[n] for kind, n, d in params if d is REQUIRED]
            positional = [value[n] for kind, n, _ in params if kind != "keyword-only"]
            only = [value[n] for kind, n, _ in params if kind == "positional-only"]
            named = {n: value[n] for kind, n, _ in params if kind != "positional-only"}
            # Left out, the optional ones take their defaults; given, the stub's defaults are taken.
            assert accepts(name, *required), name
            assert accepts(name, *positional), name
            assert accepts(name, *only, **named), name
            # No further positional argument (keyword-only parameters take none), no other name.
            assert not accepts(name, *positional, None), name
            assert not accepts(name, *required, notAParameter=1), name
            for kind, n, _ in params:
                if kind == "positional-only":
                    assert not accepts(name, **{n: value[n]}), name
        capfd.readouterr()


WRONG_CALLS = """\
import sys

import movra_sdk

sdk = movra_sdk.SDK()
sdk.init("id", "127.0.0.1:1883", "tcp", "", "", keepAlive=1.5)  # wrong
sdk.init("id", "127.0.0.1:1883", "tcp", "")  # wrong
sdk.init("id", "127.0.0.1:1883", "tcp", "", "", clientID="x")  # wrong
sdk.publish("t", 42)  # wrong
sdk.publish("t", "p", qos="1")  # wrong
sdk.unsubscribe(topic="t")  # wrong
sdk.on_message(lambda topic: None)  # wrong
sdk.on_connection(lambda connected, code, extra: None)  # wrong


def on_message(topic: bytes, payload: bytes) -> None: ...


sdk.on_message(on_message)  # wrong


def on_text(topic: str, payload: str) -> None: ...


def on_bytes(topic: str, payload: bytes) -> None: ...


def on_either(topic: str, payload: str | bytes) -> None: ...


sdk.on_message(on_bytes, binary=True)
sdk.on_message(on_either, binary=bool(len(sys.argv)))
sdk.on_message(on_text, binary=True)  # wrong
sdk.on_message(on_bytes)  # wrong
sdk.init("id", "127.0.0.1:1883", "tcp", "", "", will=("t", b"\\0", 1, True))
sdk.init("id", "127.0.0.1:1883", "tcp", "", "", will=("t", "gone", 1))  # wrong
connected: str = sdk.connect()  # wrong
sdk.subscribe("t", 1).lower()  # wrong
sdk.disconnect(5)  # wrong
sdk.is_connect()  # wrong
"""


class TestMypyStrict:
    def test_accepts_the_examples(self):
        proc = run_tool(
            "mypy",
            "--strict",
            "--follow-imports=silent",
            "examples/demo.py",
            "examples/demo_enterprise.py",
        )
        assert proc.returncode == 0, proc.stdout + proc.stderr

    def test_rejects_each_wrong_call_and_nothing_else(self, tmp_path):
        program = tmp_path / "wrong_calls.py"
        program.write_text(WRONG_CALLS)
        proc = run_tool(
            "mypy",
            "--strict",
            "--no-error-summary",
            "--hide-error-context",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(program),
        )
        expected = {
            number
            for number, line in enumerate(WRONG_CALLS.splitlines(), 1)
            if line.endswith("# wrong")
        }
        reported = {
            int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line
        }
        assert proc.returncode == 1
        assert reported == expected, proc.stdout
