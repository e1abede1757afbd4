"""The lab's costs, each beside what it is measured against.

    python benchmarks/bench_lab.py

- a traced step beside one bare single-step trap on this machine (aim: no more
  than 2 µs on top of the trap);
- run() of a 100M-iteration loop, and a stepper continued to a breakpoint after
  it, beside execute() of the same text (aim: within 1.5x);
- what a recorded step costs in memory (aim: at most 200 bytes, 1M steps in
  under 300 MB), and trace(max_steps=10) of a 3M-statement program beside
  execute() of it (aim: the same, plus ten steps);
- a listing and check() of 100,000 statements beside execute().

Times are the median of several rounds (the best of three for the large
text). A recorded step's memory is what tracemalloc sees kept; the large
text's is how far the resident set of a fresh process grew during the call.
"""

from __future__ import annotations

import gc
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import tracemalloc
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


def trap_microseconds() -> float | None:
    """The cost of one bare single-step trap, from benchmarks/cpp/bench_trap.cpp compiled here."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        print("one single-step trap: no C++ compiler to build benchmarks/cpp/bench_trap.cpp")
        return None
    source = Path(__file__).resolve().parent / "cpp" / "bench_trap.cpp"
    with tempfile.TemporaryDirectory() as scratch:
        program = Path(scratch) / "bench_trap"
        subprocess.run([compiler, "-O2", "-std=c++20", str(source), "-o", str(program)], check=True)
        line = subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout.strip()
    print(line)
    try:
        return float(line.split()[-2])
    except (IndexError, ValueError):
        return None


def trace_rows() -> None:
    trap = trap_microseconds()
    steps = 3 * 100_000
    registers = {"rcx": steps // 3}
    whole = median_seconds(lambda: quorvel_lab.trace(LOOP, registers, steps + 10), repeat=5)
    streamed = median_seconds(lambda: sum(1 for _ in quorvel_lab.steps(LOOP, registers, steps + 10)), repeat=5)
    plain = median_seconds(lambda: execute(LOOP, registers), repeat=5)
    row(f"trace(), per step ({steps:,} steps)", whole / steps * 1e6, "µs")
    if trap is not None:
        row("  on top of one bare trap", whole / steps * 1e6 - trap, "µs")
    row("  steps() consumed without keeping them, per step", streamed / steps * 1e6, "µs")
    row("  execute() of the same loop, per step", plain / steps * 1e9, "ns")


# dec and jne: two statements an iteration. The breakpoint is statement 5.
LONG_LOOP = "mov rcx, 100000000\nloop:\n    dec rcx\n    jne loop\nmov rax, 1\n"


def full_speed_rows() -> None:
    def to_breakpoint() -> None:
        stepper = quorvel_lab.Stepper(LONG_LOOP)
        stepper.breakpoints.add(5)
        assert stepper.run() == "breakpoint"

    executed = median_seconds(lambda: execute(LONG_LOOP), repeat=5)
    ran = median_seconds(lambda: quorvel_lab.run(LONG_LOOP), repeat=5)
    stopped = median_seconds(to_breakpoint, repeat=5)
    row("execute() of a 100M-iteration loop", executed * 1e3, "ms")
    row("  run() of the same", ran * 1e3, "ms")
    row("  run() / execute()", ran / executed, "x")
    row("  Stepper.run() to a breakpoint after the loop", stopped * 1e3, "ms")
    row("  Stepper.run() / execute()", stopped / executed, "x")


# Run in a fresh process: its peak resident set is reset just before the call (Linux), so the growth
# measured is what the call itself touched.
MEMORY_PROBE = textwrap.dedent("""
    import sys, time
    import quorvel, quorvel_lab
    def status(field):
        with open("/proc/self/status") as lines:
            return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field))
    text, what = sys.stdin.read(), sys.argv[1]
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before, start = status("VmRSS:"), time.perf_counter()
    if what == "trace":
        kept = quorvel_lab.trace(text, None, 10)
    else:
        engine = quorvel.Quorvel()
        engine.asm(text)
        engine.execute()
    print(time.perf_counter() - start, status("VmHWM:") - before)
""")


def probe(text: str, what: str) -> tuple[float, int]:
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, what], input=text, check=True, capture_output=True,
                          text=True)
    seconds, grown = done.stdout.split()
    return float(seconds), int(grown)


def memory_rows() -> None:
    steps = 1_000_000
    gc.collect()
    tracemalloc.start()
    trace = quorvel_lab.trace(LOOP, {"rcx": steps}, steps)
    kept, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    row(f"trace() of {len(trace.steps):,} steps: memory kept", kept / 2**20, "MB")
    row("  per recorded step (the Step and its list slot)", kept / steps, "bytes")
    del trace
    huge = program(3_000_000)
    traced, traced_peak = min(probe(huge, "trace") for _ in range(3))
    executed, executed_peak = min(probe(huge, "execute") for _ in range(3))
    row("trace(max_steps=10) of 3,000,000 statements", traced * 1e3, "ms")
    row("  execute() of the same text", executed * 1e3, "ms")
    row("  peak memory growth during the trace", traced_peak / 2**20, "MB")
    row("  peak memory growth during execute()", executed_peak / 2**20, "MB")


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
    trace_rows()
    full_speed_rows()
    memory_rows()
    listing_rows()


if __name__ == "__main__":
    main()
