"""The ``quorvel`` command: run or check an assembly program from the shell.

``quorvel run PROGRAM.s`` assembles and runs the program in a fresh engine and
prints the register dump; ``quorvel check PROGRAM.s`` reports the first error
of parsing or code generation without running any of the program's
instructions. Errors go to stderr, followed by the exception's notes, and make
the command exit with status 1; usage errors exit with status 2.
"""

from __future__ import annotations

import argparse
import contextlib
import re
import signal
import sys
from collections.abc import Iterator, Sequence

import quorvel

__all__ = ["main", "parse_value", "parse_assignment", "parse_seconds", "report"]

_U64_LIMIT = 1 << 64
_VALUE = re.compile(r"0[xX](?P<hex>[0-9a-fA-F]+)|(?P<dec>[0-9]+)")

# `check` puts this statement before the program. execute() still parses and
# encodes every statement of the program, but the run jumps from the frame's
# register loads straight to the epilogue, so none of the program executes.
# It takes statement number 1, which the report shifts back.
_STOP_BEFORE_PROGRAM = "ret"
_STATEMENT_NUMBER = re.compile(r"^(Line |in statement )(\d+)(?=:)")


def parse_value(text: str) -> int:
    """Read an unsigned 64-bit register value written in decimal or 0x hex."""
    match = _VALUE.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: write a decimal number or 0x followed by hex digits")
    value = int(match["hex"], 16) if match["hex"] is not None else int(match["dec"], 10)
    if value >= _U64_LIMIT:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: registers hold 64 bits")
    return value


def parse_assignment(text: str) -> tuple[str, int]:
    """Split a ``--reg NAME=VALUE`` argument."""
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"invalid register assignment {text!r}: write NAME=VALUE, e.g. rcx=10")
    return name, parse_value(value)


def parse_seconds(text: str) -> float:
    """Read a positive time limit in seconds."""
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not 0 < seconds < float("inf"):
        raise argparse.ArgumentTypeError(f"invalid time limit {text!r}: write a positive number of seconds")
    return seconds


def _add_note(error: BaseException, note: str) -> None:
    # BaseException.add_note exists from Python 3.11; the attribute it fills is the same.
    notes: list[str] = list(getattr(error, "__notes__", ()))
    notes.append(note)
    error.__notes__ = notes


@contextlib.contextmanager
def _time_limit(seconds: float | None) -> Iterator[None]:
    """Stop a run that takes longer than `seconds`: execute() turns the
    alarm's TimeoutError into the result of the call."""
    if seconds is None:
        yield
        return

    def on_alarm(signum: int, frame: object) -> None:
        raise TimeoutError(f"the program ran longer than {seconds:g} seconds")

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorvel", description="Assemble and run quorvel x86-64 programs.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {quorvel.version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    run = commands.add_parser("run", help="assemble and run a program, then print the registers")
    run.add_argument("program", metavar="PROGRAM.s")
    run.add_argument(
        "--reg",
        action="append",
        default=[],
        type=parse_assignment,
        metavar="NAME=VALUE",
        help="set a register before the run (decimal or 0x hex); may be repeated",
    )
    run.add_argument(
        "--arch", choices=["x86_64", "aarch64"], help="which register dump to print (the code is always x86-64)"
    )
    run.add_argument("--install", metavar="OUT.bin", help="also write the generated machine code to this file")
    run.add_argument(
        "--timeout", type=parse_seconds, metavar="SECONDS", help="stop the program if it runs longer than this"
    )
    run.set_defaults(handler=_run)

    check = commands.add_parser("check", help="report the first parse or code generation error without running")
    check.add_argument("program", metavar="PROGRAM.s")
    check.set_defaults(handler=_check)
    return parser


def _load(engine: quorvel.Quorvel, program: str) -> None:
    try:
        engine.load_file(program)
    except ValueError as error:
        _add_note(error, f"reading the program {program}")
        raise


def _run(args: argparse.Namespace) -> int:
    engine = quorvel.Quorvel()
    if args.arch is not None:
        engine.setup(args.arch)
    for name, value in args.reg:
        engine.mov(name, value)
    _load(engine, args.program)
    with _time_limit(args.timeout):
        engine.execute()
    if args.install is not None:
        try:
            engine.install(args.install)
        except ValueError as error:
            _add_note(error, f"writing the machine code to {args.install}")
            raise
    print(engine.dump_regs())
    # The ARM64 dump has no rax line, and the decimal form is what a reader wants.
    print(f"rax = {engine.get('rax')}")
    return 0


def _check(args: argparse.Namespace) -> int:
    engine = quorvel.Quorvel()
    engine.asm(_STOP_BEFORE_PROGRAM)
    _load(engine, args.program)
    try:
        engine.execute()
    except ValueError as error:
        raise _without_stop_statement(error) from None
    print(f"{args.program}: ok")
    return 0


def _shift(text: str) -> str:
    return _STATEMENT_NUMBER.sub(lambda m: f"{m[1]}{int(m[2]) - 1}", text, count=1)


def _without_stop_statement(error: ValueError) -> ValueError:
    """The same error with statement numbers counted as in the user's file."""
    shifted = ValueError(_shift(str(error)))
    for note in getattr(error, "__notes__", ()):
        _add_note(shifted, _shift(note))
    return shifted


def _is_panic(error: BaseException) -> bool:
    # The module's unrecoverable failures (a label defined twice, for one)
    # derive from BaseException; the class is created lazily and not exported.
    return type(error).__name__ == "PanicException"


def report(error: BaseException) -> None:
    """Print an error and its PEP 678 notes, one per line, to stderr."""
    print(f"quorvel: error: {error}", file=sys.stderr)
    for note in getattr(error, "__notes__", ()):
        print(note, file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``quorvel`` console script; returns the exit status."""
    args = _build_parser().parse_args(argv)
    try:
        status: int = args.handler(args)
    except (ValueError, TimeoutError) as error:
        report(error)
        return 1
    except BaseException as error:
        if not _is_panic(error):
            raise
        report(error)
        return 1
    return status
