"""execute() against what it cannot beat: the cost of fresh executable memory
for the code, GNU as for turning text into code, and the memory of the code
itself. Every ratio compares figures measured in this run.

    python benchmarks/bench_execute.py

Needs the C++ benchmark build (built here with CMake, like run.py does) for
the floor, and GNU as (binutils) for the assembler row.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import timeit
from pathlib import Path

import quorvel

ROOT = Path(__file__).resolve().parent.parent

STRAIGHT = "add rax, 1\nadd rbx, rax\nxor rcx, rcx\nshl rax, 1\nimul rax, rbx\nsub rax, 7\ninc rdx\nnot rsi\n"
LOOP = "mov rcx, 3\nagain:\nadd rax, rcx\ndec rcx\njne again\n"
NEW_PROGRAM = "\n".join(["mov rax, 1", "add rax, 2", "sub rbx, rax", "xor rcx, rcx", "inc rdx", "shl rax, 1",
                         "cmp rax, 5", "jne out", "nop", "out:"])

# Every encoder shape; each block of ten lines has a label and a jump back.
# The program starts with ret, so running it costs nothing: the figure is
# text to code.
LINES = ["mov rax, 12345", "add rbx, 7", "sub rax, rcx", "xor rdx, rdx", "imul rax, r8", "shl r9, 3", "inc r15",
         "push rax", "pop rbx", "cmp rax, 100"]


def program(statements):
    out = ["ret"]
    emitted, block = 0, 0
    while emitted < statements:
        out.append(f"L{block}:")
        for line in LINES:
            if emitted == statements:
                break
            out.append(line)
            emitted += 1
        if block and emitted < statements:
            out.append(f"jne L{block - 1}")
            emitted += 1
        block += 1
    return "\n".join(out) + "\n"


def ns_per_call(function, number, repeat=7):
    return min(timeit.repeat(function, number=number, repeat=repeat)) / number * 1e9


def row(label, value, unit, note=""):
    print(f"{label:<64} {value:>10.1f} {unit:<3} {note}")


def ratio(value, reference, limit, smaller_is_better=True):
    fraction = value / reference
    met = fraction <= limit if smaller_is_better else fraction >= limit
    return f"{fraction:6.2f}x (aim {'<=' if smaller_is_better else '>='} {limit}) {'met' if met else 'MISSED'}"


def fresh_mapping_floor_ns():
    build = ROOT / "build" / "bench"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DQUORVEL_BUILD_BENCHMARKS=ON",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", "bench_guard"], check=True, stdout=subprocess.DEVNULL)
    out = subprocess.run([str(build / "bench_guard")], check=True, capture_output=True, text=True).stdout
    return float(re.search(r"^floor: .*?([\d.]+) ns$", out, re.M)[1])


def rerun_rows(floor):
    print("-- the same text again (the floor: fresh mapping cycle, "
          f"mmap, copy, mprotect, call, munmap = {floor:.0f} ns)")
    for name, text in (("straight-line code", STRAIGHT), ("a loop", LOOP)):
        q = quorvel.Quorvel()
        q.asm(text)
        q.execute()
        same = ns_per_call(q.execute, 20_000)
        values = iter(range(1, 10**9))
        mov, execute = q.mov, q.execute

        def one_register_changed():
            mov("rbx", next(values))
            execute()

        changed = ns_per_call(one_register_changed, 20_000)
        row(f"same text, same registers ({name})", same, "ns", ratio(same, floor, 0.1))
        row(f"same text, one register changed ({name})", changed, "ns", ratio(changed, floor, 0.35))
    q = quorvel.Quorvel()
    clear, asm, execute = q.clear, q.asm, q.execute

    def new_program():
        clear()
        asm(NEW_PROGRAM)
        execute()

    fresh = ns_per_call(new_program, 5_000)
    row("a new 10-statement program each time (clear, asm, execute)", fresh, "ns", ratio(fresh, floor, 0.5))


def execute_ns_per_statement(text, statements, rounds=5):
    best = float("inf")
    for _ in range(rounds):
        q = quorvel.Quorvel()
        q.asm(text)
        start = time.perf_counter()
        q.execute()
        best = min(best, time.perf_counter() - start)
    return best / statements * 1e9


def gnu_as_ns_per_statement(text, statements, rounds=5):
    """GNU as on the same program, less its time for an empty file."""
    if shutil.which("as") is None:
        return None
    with tempfile.TemporaryDirectory() as scratch:
        source, empty = Path(scratch, "program.s"), Path(scratch, "empty.s")
        source.write_text(".intel_syntax noprefix\n" + text)
        empty.write_text("")

        def best_seconds(path):
            best = float("inf")
            for _ in range(rounds):
                start = time.perf_counter()
                subprocess.run(["as", "--64", str(path), "-o", str(Path(scratch, "out.o"))], check=True)
                best = min(best, time.perf_counter() - start)
            return best

        return (best_seconds(source) - best_seconds(empty)) / statements * 1e9


PEAK_CHILD = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[2])
    import quorvel
    from bench_execute import program

    statements = int(sys.argv[1])
    q = quorvel.Quorvel()
    q.asm(program(statements))

    def kib(field):
        for line in open("/proc/self/status"):
            if line.startswith(field):
                return int(line.split()[1])

    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak starts again from what is resident now
    before = kib("VmHWM:")
    q.execute()
    print((kib("VmHWM:") - before) * 1024 / statements)
""")


def throughput_rows():
    print("-- text to code")
    statements = 100_000
    text = program(statements)
    ours = execute_ns_per_statement(text, statements)
    row("execute() of a new 100,000-statement program, per statement", ours, "ns")
    theirs = gnu_as_ns_per_statement(text, statements)
    if theirs is None:
        print("GNU as not found: no assembler row")
    else:
        row("GNU as on the same program, per statement", theirs, "ns", ratio(theirs, ours, 10, False) + " faster")
    peak = subprocess.run([sys.executable, "-c", PEAK_CHILD, "1000000", str(Path(__file__).parent)], check=True,
                          capture_output=True, text=True).stdout
    row("peak memory added by execute() of 1,000,000 statements", float(peak), "B", "per statement (aim <= 24)")


def main():
    floor = fresh_mapping_floor_ns()
    rerun_rows(floor)
    throughput_rows()
    binding = Path(__file__).with_name("bench_binding.py")
    if binding.exists():
        print("-- binding")
        subprocess.run([sys.executable, str(binding)], check=True)


if __name__ == "__main__":
    os.chdir(ROOT)
    main()
