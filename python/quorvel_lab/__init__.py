"""The quorvel lab: look inside a program instead of only running it.

- ``listing(source)`` shows which bytes each statement became;
- ``trace(source)`` runs the program natively one statement at a time and
  records the registers and flags after each one; ``steps(source)`` yields
  the same steps as they happen;
- ``run(source)`` runs it at full speed and returns the registers, flags and
  stack it left;
- ``Stepper(source)`` pauses a program anywhere: step, run to a breakpoint,
  look at its registers and stack, go on;
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
    FRAME_LOADED,
    REGISTERS,
    Diagnostic,
    Diagnostics,
    Listing,
    Row,
    Rows,
    Run,
    Step,
    Steps,
    Trace,
    frame_start,
)

__all__ = [
    "listing",
    "check",
    "trace",
    "steps",
    "run",
    "Stepper",
    "Run",
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


def listing(source: str, registers: Any = None) -> Listing:
    """Generate `source` as execute() would, without running it.

    `registers` (a mapping or (name, value) pairs, names as ``Quorvel.mov``
    takes them, negative values in two's complement) go into the frame's
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
    ``Trace.stopped`` (a fault also in ``statement`` and ``note``); Ctrl-C
    raises ``KeyboardInterrupt`` as in execute().
    """
    if isinstance(registers, Iterator):
        # Read once here, for the stream and for the first row's comparison both.
        registers = list(registers)
    with _collector_paused():
        stream = steps(source, registers, max_steps)
        recorded = Steps(stream, start=frame_start(registers))
    stopped = stream.stopped
    assert stopped is not None, "an exhausted stream says how it stopped"
    return Trace(recorded, stream.rax, stopped, stream.statement, stream.note)


def run(source: str, registers: Any = None) -> Run:
    """Run `source` at full speed and return the registers, flags and stack it left, and how it ended.

    A fault ends the run normally (``Run.rax`` is then None; ``stopped``,
    ``statement`` and ``note`` say what and where); a source that does not
    generate raises execute()'s ``ValueError``, and Ctrl-C or what a signal
    handler raises comes out of the call as from execute().
    """
    stepper = Stepper(source, registers)
    start = stepper.registers
    stepper.run()
    return run_record(stepper, start)


def run_record(stepper: Stepper, start: Mapping[str, int] | None = None) -> Run:
    """A stepper's state as a `Run`; `start` holds the registers to mark changes against."""
    ended_by_fault = stepper.stopped not in (None, "completed")
    return Run(
        stepper.rax,
        stepper.registers,
        stepper.flags,
        stepper.stack,
        stepper.stack_depth,
        stepper.stopped or "paused",
        stepper.statement if ended_by_fault else None,
        stepper.note,
        dict(start) if start is not None else None,
    )


def load_ipython_extension(ipython: Any) -> None:
    """``%load_ext quorvel_lab``: register the ``%%quorvel`` cell magic."""
    from .magic import register

    register(ipython)
