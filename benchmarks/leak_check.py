"""Leak check at full scale: every method of Quorvel on its successful and
failing paths (the table of tests/test_leaks.py), each step called 100,000
times in ten rounds, two of warm-up and eight measured, with a garbage
collection after each round. Prints how each figure moved across the measured
rounds and exits with status 1 if any moved like a leak.

    python benchmarks/leak_check.py [--calls N]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import test_leaks as leaks  # noqa: E402

WARMUP = 2
ROUNDS = 8
COLUMNS = (("blocks", "blocks"), ("heap", "heap B"), ("fds", "fds"), ("maps", "maps"), ("vm_kib", "vm KiB"),
           ("rss_kib", "rss KiB"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000, help="calls per step (default 100000)")
    args = parser.parse_args(argv)
    repeat = max(1, args.calls // (WARMUP + ROUNDS))

    print(f"{repeat * (WARMUP + ROUNDS):,} calls per step in {WARMUP + ROUNDS} rounds ({WARMUP} warm-up); "
          f"growth over the {ROUNDS} measured rounds")
    if leaks.SANITIZED:
        print("sanitizer runtime loaded: only blocks, heap and fds are judged")
    header = f"{'method':<26} {'steps':>5} {'seconds':>8}" + "".join(f" {title:>9}" for _, title in COLUMNS)
    print(header)
    print("-" * len(header))

    unstable = {}
    with tempfile.TemporaryDirectory() as directory:
        files = leaks.Files(directory)
        leaks.warm_up(files)
        measured = [(method, leaks.CASES[method], lambda case: leaks.measure(
            case, files, repeat, warmup=WARMUP, rounds=ROUNDS)) for method in sorted(leaks.CASES)]
        # Paths that need a fresh C heap run in a child process each.
        measured += [(name, leaks.ISOLATED_CASES[name], lambda case, name=name: leaks.measure_in_child(
            name, repeat, warmup=WARMUP, rounds=ROUNDS)) for name in sorted(leaks.ISOLATED_CASES)]
        for method, case, measure in measured:
            start = time.perf_counter()
            figures = measure(case)
            seconds = time.perf_counter() - start
            growth = "".join(f" {figures[name][-1] - figures[name][0]:>9,}" for name, _ in COLUMNS)
            print(f"{method:<26} {len(case[1]):>5} {seconds:>8.1f}{growth}")
            found = leaks.unstable_figures(figures)
            if found:
                unstable[method] = found

    final = leaks.current_figures()
    print("\nprocess at the end: " + ", ".join(f"{title} {final[name]:,}" for name, title in COLUMNS))
    for method, found in unstable.items():
        print(f"UNSTABLE {method}: {'; '.join(found)}")
    print("no figure moved like a leak" if not unstable else f"{len(unstable)} method(s) moved like a leak")
    return 1 if unstable else 0


if __name__ == "__main__":
    sys.exit(main())
