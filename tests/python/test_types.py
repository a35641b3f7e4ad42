"""The stub-only package movra_sdk-stubs: it agrees with the running module, and mypy --strict
accepts correct programs and rejects wrong calls through it."""

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


def shape(function: ast.FunctionDef) -> list[tuple[str, str, object]]:
    """(kind, name, default) of each parameter after self; positional-only names are not part of
    the interface and are left out."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    result = []
    for index, (argument, default) in enumerate(zip(positional, defaults, strict=True)):
        if index == 0:
            continue
        only = index < len(arguments.posonlyargs)
        value = ast.literal_eval(default) if default is not None else None
        result.append(("positional-only" if only else "any", "" if only else argument.arg, value))
    for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults, strict=True):
        value = ast.literal_eval(default) if default is not None else None
        result.append(("keyword-only", argument.arg, value))
    return result


def stub_methods() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text())
    (sdk,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "SDK"]
    return {node.name: node for node in sdk.body if isinstance(node, ast.FunctionDef)}


def runtime_method(name: str) -> ast.FunctionDef:
    # pybind11 writes each method's signature, in Python syntax, as the first line of its docstring.
    line = getattr(movra_sdk.SDK, name).__doc__.splitlines()[0]
    return ast.parse(f"def {line}: ...").body[0]


class TestStubsAgreeWithTheModule:
    def test_the_installed_stubs_are_the_ones_in_the_repository(self):
        installed = Path(sys.prefix) / "lib" / "python3.12" / "site-packages" / "movra_sdk-stubs"
        assert (installed / "__init__.pyi").read_text() == STUB.read_text(), "run 'make module'"

    def test_stubtest_finds_no_difference(self):
        proc = run_tool("mypy.stubtest", "movra_sdk", "--allowlist", str(ALLOWLIST))
        assert proc.returncode == 0, proc.stdout + proc.stderr

    def test_every_method_has_the_parameters_names_kinds_and_defaults_of_the_module(self):
        stubs = stub_methods()
        public = {name for name in vars(movra_sdk.SDK) if not name.startswith("_")}
        assert set(stubs) - {"__init__"} == public
        for name in sorted(public):
            assert shape(stubs[name]) == shape(runtime_method(name)), name


WRONG_CALLS = """\
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
