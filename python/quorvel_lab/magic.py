"""The ``%%quorvel`` cell magic for IPython and Jupyter.

    %load_ext quorvel_lab

    %%quorvel --reg rcx=5 --trace
    loop:
        add rax, rcx
        dec rcx
        jne loop

The cell's text is the program. Without options the magic runs it and shows
the registers, flags and stack it left and rax; ``--trace`` shows every step, ``--listing`` the
bytes of every statement, ``--check`` every error and warning without running
it. A notebook gets HTML tables, a terminal text; a long table shows its first
and last 500 rows. A program that does not assemble or faults fails the cell
with its message in one line.
"""

from __future__ import annotations

import argparse
import shlex
import sys
from typing import Any, NoReturn, Protocol

from IPython.core.error import UsageError
from IPython.display import display

import quorvel_lab

from .cli import is_panic, parse_assignment, unseen_registers, unseen_warning
from .tables import HTML_ROW_LIMIT
from .view import TraceView

__all__ = ["ProgramError", "quorvel_cell", "register"]


class _Displayable(Protocol):
    def text(self, limit: int | None = None) -> str: ...
    def _repr_html_(self) -> str: ...


class ProgramError(Exception):
    """A program that does not assemble, or faults: the cell fails with the message alone."""

    def _render_traceback_(self) -> list[str]:
        # IPython shows these lines in place of a traceback.
        return [f"quorvel: error: {self}"]


def _one_line(message: str, *notes: str | None) -> str:
    """The message and its notes ("in statement 2: push r11") on one line."""
    shown = [note for note in notes if note]
    return f"{message} ({'; '.join(shown)})" if shown else message


class _Arguments(argparse.ArgumentParser):
    # IPython shows a UsageError as one line instead of ending the kernel's cell with SystemExit.
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"%%quorvel: {message}")


def _parser() -> argparse.ArgumentParser:
    parser = _Arguments(prog="%%quorvel", add_help=False)
    parser.add_argument("--reg", action="append", default=[], type=parse_assignment, metavar="NAME=VALUE")
    parser.add_argument("--trace", action="store_true")
    parser.add_argument("--listing", action="store_true")
    parser.add_argument("--check", action="store_true")
    return parser


def _show(value: _Displayable) -> None:
    # IPython's display() carries no annotations.
    display(  # type: ignore[no-untyped-call]
        {"text/plain": value.text(HTML_ROW_LIMIT), "text/html": value._repr_html_()}, raw=True
    )


def quorvel_cell(line: str, cell: str) -> None:
    """%%quorvel [--reg NAME=VALUE ...] [--check] [--listing] [--trace]

    Run the cell as a quorvel program and show the registers, flags and stack
    it left and rax, or with
    --check every error and warning, --listing the bytes of every statement,
    --trace every step. --reg takes decimal or 0x hex values (negative ones
    in two's complement) and may be repeated.
    """
    try:
        argv = shlex.split(line)
    except ValueError as error:
        raise UsageError(f"%%quorvel: {error}") from None
    args = _parser().parse_args(argv)
    registers = dict(args.reg)
    for name in unseen_registers(registers):
        print(f"quorvel: warning: {unseen_warning(name)}", file=sys.stderr)
    if args.check:
        _show(quorvel_lab.check(cell))
    try:
        if args.listing:
            _show(quorvel_lab.listing(cell, registers))
        if args.trace:
            _show(TraceView(quorvel_lab.trace(cell, registers), cell, registers))
        if not (args.check or args.listing or args.trace):
            result = quorvel_lab.run(cell, registers)
            _show(result)
            if result.rax is None:
                raise ProgramError(_one_line(result.stopped, result.note))
    except ValueError as error:
        raise ProgramError(_one_line(str(error), *getattr(error, "__notes__", ()))) from None
    except BaseException as error:
        if not is_panic(error):
            raise
        raise ProgramError(_one_line(str(error), *getattr(error, "__notes__", ()))) from None


def register(ipython: Any) -> None:
    ipython.register_magic_function(quorvel_cell, magic_kind="cell", magic_name="quorvel")
