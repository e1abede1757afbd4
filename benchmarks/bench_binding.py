"""Cost of one call through the binding layer, next to a built-in call of the
same shape measured in the same run.

    python benchmarks/bench_binding.py [--rounds N]

Each row is the best per-call time over the rounds; the rounds interleave all
statements, so a burst of load on the machine hits every row alike. The
ratio is the method's time over its reference's: get_arch() and the other
methods without arguments against int.bit_length(), the methods with
arguments against dict.get('rax'). The bars: get_arch() at most 1.5x,
mov('rax', 1) at most 2x. The net ratio takes the timing loop's own cost
(an empty statement) off both sides first; it is the stricter of the two.
"""

from __future__ import annotations

import argparse
import timeit

import quorvel

NUMBER = 50_000

# label -> statement; `q` is an engine, `n` an int, `d` a dict.
LOOP = "(empty statement)"
REFERENCES = {
    LOOP: "pass",
    "int.bit_length()": "n.bit_length()",
    "dict.get('rax')": "d.get('rax')",
}
METHODS = [
    # (label, statement, reference label, bar or None)
    ("get_arch()", "q.get_arch()", "int.bit_length()", 1.5),
    ("memory_size()", "q.memory_size()", "int.bit_length()", None),
    ("memory_stats()", "q.memory_stats()", "int.bit_length()", None),
    ("mov('rax', 1)", "q.mov('rax', 1)", "dict.get('rax')", 2.0),
    ("get('rax')", "q.get('rax')", "dict.get('rax')", None),
    ("get()", "q.get()", "dict.get('rax')", None),
    ("read_mem(0, 8)", "q.read_mem(0, 8)", "dict.get('rax')", None),
    ("write_mem(0, 1, 8)", "q.write_mem(0, 1, 8)", "dict.get('rax')", None),
    ("is_valid_register('rax')", "q.is_valid_register('rax')", "dict.get('rax')", None),
]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30, help="interleaved rounds (default 30)")
    args = parser.parse_args(argv)

    namespace = {"q": quorvel.Quorvel(), "n": 12345, "d": {"rax": 1}}
    statements = dict(REFERENCES)
    statements.update({label: statement for label, statement, _, _ in METHODS})
    timers = {label: timeit.Timer(statement, globals=namespace) for label, statement in statements.items()}
    best = {label: float("inf") for label in timers}
    for _ in range(args.rounds):
        for label, timer in timers.items():
            best[label] = min(best[label], timer.timeit(NUMBER) / NUMBER * 1e9)

    print(f"best of {args.rounds} interleaved rounds of {NUMBER:,} calls")
    for label in REFERENCES:
        print(f"{label:<28} {best[label]:>7.1f} ns")
    print(f"{'method':<28} {'ns':>7} {'reference':>18} {'ratio':>6} {'net':>6} {'bar':>5}")
    loop = best[LOOP]
    for label, _, reference, bar in METHODS:
        ratio = best[label] / best[reference]
        net = (best[label] - loop) / (best[reference] - loop)
        verdict = "" if bar is None else f"{bar:>4.1f}x {'ok' if max(ratio, net) <= bar else 'OVER'}"
        print(f"{label:<28} {best[label]:>7.1f} {reference:>18} {ratio:>5.2f}x {net:>5.2f}x {verdict}")


if __name__ == "__main__":
    main()
