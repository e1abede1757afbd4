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
from collections.abc import Iterator, Mapping
from typing import Any

from . import _native
from ._native import Stepper
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
    "steps",
    "Stepper",
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


def steps(source: str, registers: Any = None, max_steps: int | None = 100000) -> _native.StepStream:
    """Run `source` natively one statement at a time, yielding each `Step` as it happens.

    The run advances as the iterator is consumed and holds a small batch of
    steps at a time, so a stream of any length costs the same memory. Once
    it is exhausted, its ``stopped``, ``rax``, ``statement`` and ``note``
    say how the run ended.
    """
    return _native.steps(source, registers, max_steps)


def trace(source: str, registers: Any = None, max_steps: int = 100000) -> Trace:
    """Run `source` natively one statement at a time, recording registers and flags after each.

    A fault or reaching `max_steps` ends the trace and is named in
    ``Trace.stopped``; Ctrl-C raises ``KeyboardInterrupt`` as in execute().
    """
    with _collector_paused():
        stream = steps(source, registers, max_steps)
        recorded = Steps(stream, start=_frame_start(registers))
    stopped = stream.stopped
    assert stopped is not None, "an exhausted stream says how it stopped"
    return Trace(recorded, stream.rax, stopped, stream.statement, stream.note)


def _frame_start(registers: Any) -> dict[str, int]:
    """What the frame loads before the first statement (rbp holds the frame pointer, unknown here)."""
    start = dict.fromkeys(FRAME_LOADED, 0)
    pairs = registers.items() if isinstance(registers, Mapping) else registers or ()
    for name, value in pairs:
        if name.lower() in start:
            start[name.lower()] = value % (1 << 64)
    return start


def load_ipython_extension(ipython: Any) -> None:
    """``%load_ext quorvel_lab``: register the ``%%quorvel`` cell magic."""
    from .magic import register

    register(ipython)
