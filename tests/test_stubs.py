import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "quorvel.pyi"


def stub_classes():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}, tree


def test_every_function_in_the_stub_has_a_one_line_docstring():
    classes, tree = stub_classes()
    functions = [node for node in ast.walk(tree) if isinstance(node, ast.FunctionDef)]
    undocumented = [
        f.name
        for f in functions
        if f.name not in ("__new__", "read") and ("\n" in (ast.get_docstring(f) or "\n"))
    ]
    assert undocumented == []
    methods = {f.name for f in classes["Quorvel"].body if isinstance(f, ast.FunctionDef)}
    assert methods - {"__new__"} == {name for name in vars(quorvel.Quorvel) if not name.startswith("__")}


@pytest.fixture(scope="module")
def run_mypy(tmp_path_factory):
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(ROOT / "python"))
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(tool, *args):
        flags = ["--cache-dir", str(cache)] if tool == "mypy" else []
        return subprocess.run([sys.executable, "-m", tool, *flags, *args], capture_output=True, text=True, env=env,
                              cwd=cache)

    return run


def test_stubtest_agrees_with_the_built_module(run_mypy):
    done = run_mypy("mypy.stubtest", "quorvel")
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_and_runner_pass_mypy_strict(run_mypy):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    done = run_mypy("mypy", "--strict", *examples, str(ROOT / "python" / "quorvel_cli"))
    assert done.returncode == 0, done.stdout + done.stderr


MISUSES = {
    "get(1)": 'q.get(1)',
    "text file for asm": 'q.asm("nop", open("x.s"))',
    "str as bytes": 'q.write_bytes(0, "ab")',
    "float address": 'q.read_mem(0.5, 1)',
    "result is int": 'name: str = q.get()',
    "ordering": 'quorvel.CpuArch.Auto < quorvel.CpuArch.X86_64',
}


def test_stub_rejects_what_the_module_rejects(run_mypy, tmp_path):
    lines = ["import quorvel", "q = quorvel.Quorvel()", *MISUSES.values()]
    source = tmp_path / "misuse.py"
    source.write_text("\n".join(lines) + "\n")
    done = run_mypy("mypy", "--strict", str(source))
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    assert flagged == set(range(3, 3 + len(MISUSES))), done.stdout
