"""The lab's costs: trace per step, and a listing of 100,000 statements beside execute() of the same text.

    python benchmarks/bench_lab.py

Each figure is the median of several rounds on this machine; the aims are
under 5 µs per traced step and a listing under twice the time of execute().
"""

from __future__ import annotations

import gc
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import quorvel

import quorvel_lab
from quorvel_lab import _native

LOOP = "loop:\n    add rax, rcx\n    dec rcx\n    jne loop\n"
# Straight-line statements of every size class; the run ends after one pass.
BLOCK = [
    "mov rbx, 5000000000",
    "add rax, 7",
    "add r9, 1",
    "xor rdx, rdx",
    "shl rax, 3",
    "shr rax, 1",
    "push rax",
    "pop r8",
    "cmp rax, rbx",
    "jne next{n}",
    "next{n}:",
    "imul rax, rbx",
]
STATEMENTS = 100_000


def median_seconds(action: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def collector_paused(action: Callable[[], object]) -> Callable[[], object]:
    """`action` with the cyclic collector held off, as the lab's functions do around their native call."""

    def paused() -> object:
        gc.disable()
        try:
            return action()
        finally:
            gc.enable()

    return paused


def row(label: str, value: float, unit: str) -> None:
    print(f"{label:<52} {value:>12.2f} {unit}")


def program(statements: int) -> str:
    lines = []
    for n in range(statements // len(BLOCK)):
        lines += [line.format(n=n) for line in BLOCK]
    return "\n".join(lines) + "\n"


def execute(text: str, registers: dict[str, int] | None = None) -> None:
    engine = quorvel.Quorvel()
    for name, value in (registers or {}).items():
        engine.mov(name, value)
    engine.asm(text)
    engine.execute()


def trap_row() -> None:
    """The cost of one bare single-step trap, from benchmarks/cpp/bench_trap.cpp compiled here."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        print("one single-step trap: no C++ compiler to build benchmarks/cpp/bench_trap.cpp")
        return
    source = Path(__file__).resolve().parent / "cpp" / "bench_trap.cpp"
    with tempfile.TemporaryDirectory() as scratch:
        program = Path(scratch) / "bench_trap"
        subprocess.run([compiler, "-O2", "-std=c++20", str(source), "-o", str(program)], check=True)
        print(subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout, end="")


def trace_rows() -> None:
    steps = 3 * 100_000
    registers = {"rcx": steps // 3}
    whole = median_seconds(lambda: quorvel_lab.trace(LOOP, registers, steps + 10), repeat=5)
    native = median_seconds(collector_paused(lambda: list(_native.steps(LOOP, registers, steps + 10))), repeat=5)
    plain = median_seconds(lambda: execute(LOOP, registers), repeat=5)
    row(f"trace(), per step ({steps:,} steps)", whole / steps * 1e6, "µs")
    row("  the native part alone, per step", native / steps * 1e6, "µs")
    row("  building the Step records, per step", (whole - native) / steps * 1e6, "µs")
    row("  execute() of the same loop, per step", plain / steps * 1e9, "ns")


def listing_rows() -> None:
    text = program(STATEMENTS)
    count = len(quorvel_lab.listing(text).rows)
    listed = median_seconds(lambda: quorvel_lab.listing(text), repeat=7)
    native = median_seconds(collector_paused(lambda: _native.listing(text, None)), repeat=7)
    executed = median_seconds(lambda: execute(text), repeat=7)
    row(f"listing() of {count:,} statements", listed * 1e3, "ms")
    row("  the native part alone", native * 1e3, "ms")
    row("  execute() of the same text", executed * 1e3, "ms")
    row("  listing() / execute()", listed / executed, "x")
    checked = median_seconds(lambda: quorvel_lab.check(text), repeat=7)
    row(f"check() of {count:,} statements", checked * 1e3, "ms")


def main() -> None:
    print("-- lab")
    trap_row()
    trace_rows()
    listing_rows()


if __name__ == "__main__":
    main()
