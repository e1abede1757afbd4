"""The quorvel lab: look inside a program instead of only running it.

- ``listing(source)`` shows which bytes each statement became;
- ``trace(source)`` runs the program natively one statement at a time and
  records the registers and flags after each one;
- ``check(source)`` reports every error of a program at once, and warns
  about the dialect's silent traps.

In IPython or Jupyter, ``%load_ext quorvel_lab`` adds the ``%%quorvel`` cell
magic. The ``quorvel`` command line lives in ``quorvel_lab.cli``.
"""

from __future__ import annotations

import contextlib
import gc
import itertools
from collections.abc import Iterator, Mapping
from typing import Any

from . import _native
from .records import (
    FLAGS,
    REGISTERS,
    Diagnostic,
    Diagnostics,
    Listing,
    Row,
    Rows,
    Step,
    Steps,
    Trace,
)

__all__ = [
    "listing",
    "check",
    "trace",
    "Listing",
    "Row",
    "Rows",
    "Diagnostic",
    "Diagnostics",
    "Trace",
    "Step",
    "Steps",
    "REGISTERS",
    "FLAGS",
    "FRAME_LOADED",
    "load_ipython_extension",
]

FRAME_LOADED = ("rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r12", "r13", "r14", "r15")
"""The registers whose values a run loads before the program; any other name is set but never seen."""

_FLAG_BITS = {"CF": 1 << 0, "ZF": 1 << 6, "SF": 1 << 7, "OF": 1 << 11}
_FLAG_MASK = sum(_FLAG_BITS.values())
# One flags dict per combination of the four bits; each step gets a copy.
_FLAG_DICTS = {
    sum(bit for bit, state in zip(_FLAG_BITS.values(), states) if state): dict(zip(_FLAG_BITS, states))
    for states in itertools.product((False, True), repeat=len(_FLAG_BITS))
}


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """Hold off the cyclic garbage collector while records are made by the
    hundred thousand: none of them can form a cycle, yet each pass of the
    collector would walk all of those made so far (it doubled the cost)."""
    if not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def listing(source: str, registers: Mapping[str, int] | None = None) -> Listing:
    """Generate `source` as execute() would, without running it.

    `registers` (names as ``Quorvel.mov`` takes them) go into the frame's
    register loads, so `code` is byte for byte what ``install()`` writes
    after ``execute()`` of the same text with the same registers. A source
    that does not generate raises the ``ValueError`` execute() would raise.
    """
    code, rows = _native.listing(source, registers)
    return Listing(code, Rows(rows))


def check(source: str) -> Diagnostics:
    """Every error of `source`, each statement checked on its own, and warnings for silent traps."""
    with _collector_paused():
        return Diagnostics([Diagnostic(statement, line, severity, message)
                            for statement, line, severity, message in _native.check(source)])


def trace(source: str, registers: Mapping[str, int] | None = None, max_steps: int = 100000) -> Trace:
    """Run `source` natively one statement at a time, recording registers and flags after each.

    A fault or reaching `max_steps` ends the trace and is named in
    ``Trace.stopped``; Ctrl-C raises ``KeyboardInterrupt`` as in execute().
    """
    with _collector_paused():
        code, rows, raw_steps, rax, stopped = _native.trace(source, registers, max_steps)
        where = {row.statement: (row.line, row.text) for row in rows}
        steps = Steps(
            [
                Step(number, statement, *where[statement], offset, _registers(values),
                     _FLAG_DICTS[rflags & _FLAG_MASK].copy())
                for number, (statement, offset, values, rflags) in enumerate(raw_steps, 1)
            ],
            start=_frame_start(registers),
        )
    return Trace(steps, rax, stopped)


def _registers(values: tuple[int, ...]) -> dict[str, int]:
    # A dict display with constant keys is built in one step, twice as fast as dict(zip(REGISTERS, values)).
    rax, rbx, rcx, rdx, rsi, rdi, rbp, r8, r9, r10, r12, r13, r14, r15 = values
    return {"rax": rax, "rbx": rbx, "rcx": rcx, "rdx": rdx, "rsi": rsi, "rdi": rdi, "rbp": rbp,
            "r8": r8, "r9": r9, "r10": r10, "r12": r12, "r13": r13, "r14": r14, "r15": r15}


def _frame_start(registers: Mapping[str, int] | None) -> dict[str, int]:
    """What the frame loads before the first statement (rbp holds the frame pointer, unknown here)."""
    start = dict.fromkeys(FRAME_LOADED, 0)
    for name, value in (registers or {}).items():
        if name.lower() in start:
            start[name.lower()] = value
    return start


def load_ipython_extension(ipython: Any) -> None:
    """``%load_ext quorvel_lab``: register the ``%%quorvel`` cell magic."""
    from .magic import register

    register(ipython)
