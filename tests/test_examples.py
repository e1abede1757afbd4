import importlib.util
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel
from quorvel_cli import main

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MASK = 2**64 - 1


def fibonacci(n):
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


def run_example(name, **registers):
    engine = quorvel.Quorvel()
    for register, value in registers.items():
        engine.mov(register, value)
    engine.load_file(str(EXAMPLES / name))
    engine.execute()
    return engine.get("rax")


@pytest.mark.parametrize("n", [0, 1, 2, 5, 10, 20, 21, 25])
def test_factorial(n):
    assert run_example("factorial.s", rcx=n) == math.factorial(n) & MASK


@pytest.mark.parametrize(("a", "b"), [(1071, 462), (462, 1071), (17, 5), (0, 9), (9, 0), (2**63, 2**40 * 3), (MASK, 3)])
def test_gcd(a, b):
    assert run_example("gcd.s", rax=a, rbx=b) == math.gcd(a, b)


@pytest.mark.parametrize("n", [0, 1, 2, 10, 50, 93, 94, 200])
def test_fibonacci(n):
    assert run_example("fibonacci.s", rcx=n) == fibonacci(n) & MASK


@pytest.mark.parametrize("x", [0, 1, 0xF0F0, 0x8000000000000000, MASK, 0x123456789ABCDEF0])
def test_popcount(x):
    assert run_example("popcount.s", rbx=x) == bin(x).count("1")


@pytest.mark.parametrize("n", [0, 1, 2, 10, 100])
def test_subroutine(n):
    assert run_example("subroutine.s", rcx=n) == sum(k * k for k in range(1, n + 1))


# "; quorvel COMMAND ... -> LAST LINE": a run ending in its result, or a
# program made to fail, ending in what the command reports.
RUN_LINE = re.compile(r"^;\s+(quorvel \w+ .+?)\s+->\s+(.+)$", re.MULTILINE)


@pytest.mark.parametrize("path", sorted(EXAMPLES.glob("*.s")), ids=lambda p: p.name)
def test_each_program_header_states_a_true_result(capsys, monkeypatch, path):
    claims = RUN_LINE.findall(path.read_text())
    assert claims, f"{path.name} has no '; quorvel ... -> LAST LINE' line"
    monkeypatch.chdir(EXAMPLES.parent)
    for command, last_line in claims:
        assert main(command.split()[1:]) == (0 if last_line.startswith("rax = ") else 1)
        out, err = capsys.readouterr()
        assert (out + err).splitlines()[-1] == last_line


def run_script(name):
    return subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, env=os.environ)


def test_quickstart_script():
    done = run_script("quickstart.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == f"sum of 1..10 = {sum(range(11))}"


def load_example_module(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_memory_roundtrip_functions(tmp_path):
    example = load_example_module("memory_roundtrip")
    values = example.factorials(21)
    assert values == [math.factorial(n) for n in range(21)]
    assert example.round_trip(values, tmp_path) == values
    assert (tmp_path / "table.bin").read_bytes() == b"".join(v.to_bytes(8, "little") for v in values)


def test_memory_roundtrip_script():
    done = run_script("memory_roundtrip.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        f"table of 21 values: 168 bytes used, {10485760 - 168} free, 2 blocks",
        f"saved and loaded back unchanged; 20! = {math.factorial(20)}",
    ]
