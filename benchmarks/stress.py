"""Limits under load, with the figures printed:

  - 1,000 engines alive at once, each with its 10 MiB memory obtained lazily,
    each writing, reading and running code of its own;
  - 10,000 execute() calls on one engine;
  - a 1,000,000-statement program against 100,000 and 2,000,000 statements:
    the generation time must grow linearly;
  - programs whose code needs each growth step of the code buffer, from the
    first 4 KiB up to 4 MiB;
  - a minute of SIGALRM every 100 µs with a Python handler and Ctrl-C at
    random moments, while execute(), quorvel_lab.trace() and the notebook
    magic take turns in a child process: it must never die of a signal.

Every result is checked; the script exits with status 1 on a wrong result, on
resources that do not come back, or on a death.

    python benchmarks/stress.py [--signal-seconds 60]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import random
import signal
import subprocess
import resource
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import quorvel

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from test_leaks import current_figures  # noqa: E402

MIB = 1 << 20
MEMORY = 10 * MIB
FRAME = 157  # prologue, register loads and epilogue around every program
M_TRIM_THRESHOLD, M_MMAP_MAX = -1, -4  # glibc mallopt parameters
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"  FAILED: {what}")


def settled_figures():
    gc.collect()
    return current_figures()


def show(label, before, after):
    print(f"  {label}: vm {(after['vm_kib'] - before['vm_kib']) / 1024:+,.1f} MiB, "
          f"rss {(after['rss_kib'] - before['rss_kib']) / 1024:+,.1f} MiB, "
          f"maps {after['maps'] - before['maps']:+,}, fds {after['fds'] - before['fds']:+,}")


def returned(before, after, what):
    # Resident memory keeps what the C heap holds on to; mappings and
    # descriptors must come back exactly.
    check(after["maps"] <= before["maps"] and after["fds"] == before["fds"], f"{what}: mappings or descriptors kept")
    check(after["vm_kib"] - before["vm_kib"] < 4096, f"{what}: address space kept")


def slot(i):
    # A different page of memory for each engine.
    return (i * 4099 * 8) % (MEMORY - 8)


def use_each(engines):
    for i, engine in enumerate(engines):
        engine.write_mem(slot(i), i, 8)
        engine.mov("rbx", i)
        engine.asm("mov rax, rbx ;; add rax, rax")
        engine.execute()


def many_engines(count=1000):
    print(f"{count:,} engines alive at once")
    before = settled_figures()
    start = time.perf_counter()
    engines = [quorvel.Quorvel() for _ in range(count)]
    created = time.perf_counter() - start
    after_create = settled_figures()
    print(f"  created in {created * 1e3:,.1f} ms ({created / count * 1e6:,.1f} µs each)")
    show("after creation", before, after_create)
    check(after_create["rss_kib"] - before["rss_kib"] < count * 64, "memory was obtained eagerly")

    start = time.perf_counter()
    use_each(engines)
    used = time.perf_counter() - start
    after_use = settled_figures()
    print(f"  one write, one register and one run each in {used * 1e3:,.1f} ms")
    show("after use", before, after_use)
    wrong = [i for i, engine in enumerate(engines) if engine.read_mem(slot(i), 8) != i or engine.get() != 2 * i]
    check(not wrong, f"engines saw each other's state: {wrong[:5]}")

    del engines
    after_drop = settled_figures()
    show("after dropping them", before, after_drop)
    returned(before, after_drop, "dropped engines")


def many_runs(count=10_000):
    print(f"{count:,} execute() calls on one engine")
    q = quorvel.Quorvel()
    q.asm("add rax, 1 ;; mov rcx, 3 ;; spin: ;; dec rcx ;; jne spin")
    # From the second run on, the code of the run before waits as the spare
    # mapping of the next generation.
    q.execute()
    q.execute()
    before = settled_figures()
    start = time.perf_counter()
    for _ in range(count):
        q.execute()
    elapsed = time.perf_counter() - start
    after = settled_figures()
    print(f"  {elapsed * 1e3:,.1f} ms, {elapsed / count * 1e6:,.2f} µs per call (generation and run)")
    show("across the calls", before, after)
    check(q.get() == count + 2, f"rax counted {q.get()} runs, expected {count + 2}")
    returned(before, after, "repeated runs")


def block_program(blocks):
    """Ten statements per block, each with two labels and a taken jump, so
    the label table and the reference list grow with the program."""
    lines = []
    for i in range(blocks):
        lines += [f"b{i}:", "add rax, 3", "sub rax, 1", "mov rbx, rax", "xor rbx, rax", "inc rcx", "cmp rcx, 0",
                  f"jne c{i}", f"c{i}:", "nop"]
    return "\n".join(lines)


def timed_program(text, statements, repeat):
    """Best of `repeat`: seconds in asm(), seconds in execute(), minor page
    faults during that execute(), and the code size."""
    best = None
    for _ in range(repeat):
        q = quorvel.Quorvel()
        start = time.perf_counter()
        q.asm(text)
        appended = time.perf_counter() - start
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        start = time.perf_counter()
        q.execute()
        generated = time.perf_counter() - start
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
        check(q.get() == 2 * (statements // 10), f"{statements:,} statements gave rax {q.get()}")
        if best is None or generated < best[1]:
            best = (appended, generated, faults)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "code.bin")
        q.install(path)
        return (*best, os.path.getsize(path))


def program_series(title):
    print(f"  {title}")
    per_statement = {}
    for statements, repeat in ((100_000, 7), (1_000_000, 3), (2_000_000, 3)):
        appended, generated, faults, size = timed_program(block_program(statements // 10), statements, repeat)
        per_statement[statements] = generated / statements
        print(f"  {statements:>11,} statements: asm {appended * 1e3:5.1f} ms, execute {generated * 1e3:6.1f} ms "
              f"({generated / statements * 1e9:4.0f} ns each, {faults / statements * 1000:4.1f} page faults "
              f"per 1000), code {size / MIB:4.2f} MiB")
    tenfold = per_statement[1_000_000] / per_statement[100_000] * 10
    double = per_statement[2_000_000] / per_statement[1_000_000] * 2
    print(f"    x10 statements (100,000 to 1,000,000): x{tenfold:.1f} time; "
          f"x2 (1,000,000 to 2,000,000): x{double:.1f} time")
    return tenfold, double


def large_programs():
    print("large programs (execute() = parse, encode, finish, and one pass through every statement)")
    # The parsed program takes about 100 bytes a statement. At 100,000
    # statements it fits the caches and the C heap hands back the memory of
    # the run before; from 1,000,000 on, glibc maps it fresh for every
    # generation and each page faults in.
    tenfold, double = program_series("as the process runs:")
    check(double < 2.8, f"generation grew faster than linearly: x{double:.1f} for x2")
    # Told to keep freed memory, the C heap reuses the pages, which leaves
    # the cost of the generation itself.
    libc = ctypes.CDLL(None)
    libc.mallopt(M_MMAP_MAX, 0)
    libc.mallopt(M_TRIM_THRESHOLD, 1 << 30)
    tenfold, double = program_series("with the C heap keeping freed memory (no page faults):")
    check(tenfold < 25 and double < 2.6, f"generation grew faster than linearly: x{tenfold:.1f}, x{double:.1f}")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"  peak resident memory: {peak:,.0f} MiB")


def code_mapping_size(head):
    """Size of the read-execute code mapping that starts with `head`: a view of
    the code's memory object, or an anonymous mapping where the system refused one."""
    with open("/proc/self/maps") as maps, open("/proc/self/mem", "rb") as mem:
        for line in maps:
            fields = line.split()
            if fields[1] not in ("r-xp", "r-xs") or (len(fields) > 5 and not fields[5].startswith("/memfd:")):
                continue
            start, end = (int(part, 16) for part in fields[0].split("-"))
            mem.seek(start)
            if mem.read(len(head)) == head:
                return end - start
    return 0


def code_buffer_growth(largest=4 * MIB):
    print("code buffer growth")
    print(f"  {'code bytes':>12} {'mapping':>11} {'execute ms':>11}")
    q = quorvel.Quorvel()
    q.mov("rbx", 0x5EED_C0DE_0BAD_F00D)  # makes the register loads, and so the code, unique
    size = 4096
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "code.bin")
        while size <= largest:
            for length in (size, size + 1):
                q.clear()
                q.asm("nop\n" * (length - FRAME - 10) + "mov rax, 77")
                start = time.perf_counter()
                q.execute()
                elapsed = time.perf_counter() - start
                q.install(path)
                code = Path(path).read_bytes()
                mapped = code_mapping_size(code[:FRAME - 14])
                print(f"  {length:>12,} {mapped // 1024:>7,} KiB {elapsed * 1e3:>11.2f}")
                check(q.get() == 77 and len(code) == length, f"{length}-byte code ran wrong or installed {len(code)}")
                check(length <= mapped < 2 * length + 4096 and mapped % 4096 == 0,
                      f"{length}-byte code in a {mapped}-byte mapping")
            size *= 2


SIGNALS_CHILD = textwrap.dedent("""
    import os, signal, sys, time
    import quorvel, quorvel_lab
    from IPython.core.interactiveshell import InteractiveShell

    seconds = float(sys.argv[1])
    counts = dict.fromkeys(["alarms", "runs", "traces", "cells", "stopped", "interrupted"], 0)

    def on_alarm(signum, frame):
        counts["alarms"] += 1

    shell = InteractiveShell.instance()
    shell.run_line_magic("load_ext", "quorvel_lab")
    q = quorvel.Quorvel()
    q.asm("mov rcx, 100000 ;; l: ;; dec rcx ;; jne l ;; push rax ;; pop rax")
    LOOP = "mov rcx, 20\\nl:\\ndec rcx\\njne l"

    def run():
        q.execute()
        counts["runs"] += 1

    def trace():
        quorvel_lab.trace(LOOP)
        counts["traces"] += 1

    def cell():
        result = shell.run_cell("%%quorvel" + " --trace" * (counts["cells"] % 2) + "\\n" + LOOP)
        counts["cells"] += 1
        if isinstance(result.error_in_exec, KeyboardInterrupt):  # the cell's own Ctrl-C
            counts["interrupted"] += 1

    def turns(end):
        step = 0
        while time.monotonic() < end:
            try:
                (run, trace, cell)[step % 3]()
            except ValueError:
                counts["stopped"] += 1
            step += 1

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 1e-4, 1e-4)
    print("ready", flush=True)
    sys.stdout = open(os.devnull, "w")  # what the cells show
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            turns(end)
        except KeyboardInterrupt:
            counts["interrupted"] += 1
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.setitimer(signal.ITIMER_REAL, 0)
    print(" ".join(f"{name} {count}" for name, count in counts.items()), file=sys.stderr, flush=True)
""")


def signals_under_load(seconds):
    print(f"{seconds:g} s of SIGALRM every 100 µs and Ctrl-C at random moments: execute(), trace(), the magic")
    child = subprocess.Popen([sys.executable, "-c", SIGNALS_CHILD, str(seconds)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    check(child.stdout.readline().strip() == "ready", "the child did not start")
    end = time.monotonic() + seconds - 0.5
    sent = 0
    while time.monotonic() < end and child.poll() is None:
        time.sleep(random.uniform(0.01, 0.2))
        child.send_signal(signal.SIGINT)
        sent += 1
    try:
        _, err = child.communicate(timeout=seconds + 60)
    finally:
        child.kill()
    print(f"  Ctrl-C sent {sent:,} times; {err.strip().splitlines()[-1] if err.strip() else 'no report'}")
    check(child.returncode == 0, f"the child died: exit status {child.returncode}\n{err[-2000:]}")


def main():
    parser = argparse.ArgumentParser(description="Limits under load, with the figures printed.")
    parser.add_argument("--signal-seconds", type=float, default=60, help="length of the signal row (default 60)")
    args = parser.parse_args()
    many_engines()
    many_runs()
    code_buffer_growth()
    large_programs()
    signals_under_load(args.signal_seconds)
    print("all results correct, resources returned" if not failures else f"{len(failures)} check(s) failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
