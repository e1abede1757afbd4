"""The ``quorvel`` command: run, check, list and trace assembly programs from the shell.

    quorvel run PROGRAM.s [--reg NAME=VALUE ...] [--arch x86_64|aarch64] [--install OUT.bin] [--timeout SECONDS]
                          [--json]
    quorvel check PROGRAM.s [--json]
    quorvel listing PROGRAM.s [--reg NAME=VALUE ...] [--json]
    quorvel trace PROGRAM.s [--reg NAME=VALUE ...] [--max-steps N] [--json] [--html OUT.html]
    quorvel debug PROGRAM.s [--reg NAME=VALUE ...] [--break STMT ...]
    quorvel serve [--host 127.0.0.1] [--port 0] [--no-browser] [--time-limit S] [--workers N]

PROGRAM.s may be ``-`` for standard input. Errors go to stderr, followed by
the exception's notes, and make the command exit with status 1; usage errors
exit with status 2 and Ctrl-C with 130. A closed output pipe ends the command
quietly with status 141, as it ends commands that die of SIGPIPE.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import re
import signal
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import quorvel

import quorvel_lab
from quorvel_lab.records import Row, Step, StepLines, frame_start, trace_summary

__all__ = [
    "main",
    "parse_value",
    "parse_assignment",
    "parse_seconds",
    "parse_steps",
    "parse_statement_number",
    "read_program",
    "report",
    "is_panic",
    "unseen_registers",
    "unseen_warning",
    "to_json",
    "distribution_version",
]

_U64_LIMIT = 1 << 64
_VALUE = re.compile(r"(?P<minus>-?)(?:0[xX](?P<hex>[0-9a-fA-F]+)|(?P<dec>[0-9]+))")
_STDIN = "-"

EXIT_ERROR = 1
# Shells report a command ended by signal N as 128 + N: SIGINT is 2 and
# SIGPIPE 13 (spelled out, since Windows has no signal.SIGPIPE).
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141


def parse_value(text: str) -> int:
    """Read a 64-bit register value in decimal or 0x hex; a negative value is taken in two's complement."""
    match = _VALUE.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: write a decimal number or 0x followed by hex digits")
    value = int(match["hex"], 16) if match["hex"] is not None else int(match["dec"], 10)
    if match["minus"]:
        value = -value
    if not -(_U64_LIMIT >> 1) <= value < _U64_LIMIT:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: registers hold 64 bits")
    return value % _U64_LIMIT


def parse_assignment(text: str) -> tuple[str, int]:
    """Split a ``--reg NAME=VALUE`` argument; the name must be one ``Quorvel.mov`` takes."""
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"invalid register assignment {text!r}: write NAME=VALUE, e.g. rcx=10")
    number = parse_value(value)
    try:
        quorvel.Quorvel().mov(name, number)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"invalid register assignment {text!r}: {error}") from None
    return name, number


def parse_seconds(text: str) -> float:
    """Read a positive time limit in seconds."""
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not 0 < seconds < float("inf"):
        raise argparse.ArgumentTypeError(f"invalid time limit {text!r}: write a positive number of seconds")
    return seconds


def parse_steps(text: str) -> int:
    """Read a step limit: a whole number, 0 or more."""
    if not text.isascii() or not text.isdigit():
        raise argparse.ArgumentTypeError(f"invalid step limit {text!r}: write a whole number, 0 or more")
    return int(text)


def parse_statement_number(text: str) -> int:
    """Read a statement number, 1 or more."""
    if not text.isascii() or not text.isdigit() or int(text) == 0:
        raise argparse.ArgumentTypeError(f"invalid statement {text!r}: write a statement number, 1 or more")
    return int(text)


def unseen_registers(names: Iterable[str]) -> list[str]:
    """The names among `names` whose values the run's frame does not load into the processor."""
    return [name for name in names if name.lower() not in quorvel_lab.FRAME_LOADED]


def unseen_warning(name: str) -> str:
    if name.lower() == "rbp":
        return f"{name} is set but the program never sees it: rbp holds the frame pointer while a program runs"
    return (
        f"{name} is set but the program never sees it: a run loads only "
        "rax, rbx, rcx, rdx, rsi, rdi, r8, r9, r10 and r12 to r15"
    )


def _add_note(error: BaseException, note: str) -> None:
    # BaseException.add_note exists from Python 3.11; the attribute it fills is the same.
    notes: list[str] = list(getattr(error, "__notes__", ()))
    notes.append(note)
    setattr(error, "__notes__", notes)  # typeshed for 3.10 has no __notes__


def _os_reason(error: OSError) -> str:
    # The module words operating-system failures this way; the command's own reads match it.
    if error.errno is None:
        return str(error)
    return f"{os.strerror(error.errno)} (os error {error.errno})"


def _program_name(path: str) -> str:
    return "<stdin>" if path == _STDIN else path


def _read_all(file: Any) -> bytes:
    try:
        data: bytes = file.read()
    except OSError as error:
        raise ValueError(f"Failed to read file: {_os_reason(error)}") from None
    return data


def _read_bytes(path: str) -> bytes:
    if path == _STDIN:
        if sys.stdin is None:
            raise ValueError("File not found: there is no standard input")
        return _read_all(sys.stdin.buffer)
    try:
        file = open(path, "rb")
    except OSError as error:
        raise ValueError(f"File not found: {_os_reason(error)}") from None
    with file:
        return _read_all(file)


def read_program(path: str) -> str:
    """The UTF-8 text of `path` (``-``: standard input), failing with the messages of ``Quorvel.load_file``."""
    try:
        data = _read_bytes(path)
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("Failed to read file: stream did not contain valid UTF-8") from None
    except ValueError as error:
        source = "from standard input" if path == _STDIN else path
        _add_note(error, f"reading the program {source}")
        raise


def to_json(value: Any) -> Any:
    """The lab's records as JSON values: field names kept, bytes as lower-case hex."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {field.name: to_json(getattr(value, field.name)) for field in dataclasses.fields(value)}
    if isinstance(value, (Row, Step)):
        return {name: to_json(getattr(value, name)) for name in type(value).__match_args__}
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, list):
        return [to_json(item) for item in value]
    if isinstance(value, dict):
        return {key: to_json(item) for key, item in value.items()}
    return value


@contextlib.contextmanager
def _time_limit(seconds: float | None) -> Iterator[None]:
    """Stop a run that takes longer than `seconds`: execute() turns the
    alarm's TimeoutError into the result of the call."""
    if seconds is None:
        yield
        return

    def on_alarm(signum: int, frame: object) -> None:
        raise TimeoutError(f"the program ran longer than {seconds:g} second{'' if seconds == 1 else 's'}")

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def distribution_version() -> str:
    # Imported here: reading the installed metadata costs tens of milliseconds
    # that every other command would pay at start-up.
    import importlib.metadata

    try:
        return importlib.metadata.version("quorvel")
    except importlib.metadata.PackageNotFoundError:
        return quorvel.version()


class _ShowVersion(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, nargs=0, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        print(f"{parser.prog} {distribution_version()}")
        parser.exit()


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorvel", description="Assemble, run and inspect quorvel x86-64 programs.")
    parser.add_argument("--version", action=_ShowVersion, help="print the installed version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    program = argparse.ArgumentParser(add_help=False)
    program.add_argument("program", metavar="PROGRAM.s", help="the program's file, or - for standard input")
    registers = argparse.ArgumentParser(add_help=False)
    registers.add_argument(
        "--reg",
        action="append",
        default=[],
        type=parse_assignment,
        metavar="NAME=VALUE",
        help="set a register before the run (decimal or 0x hex, negative in two's complement); may be repeated",
    )
    as_json = argparse.ArgumentParser(add_help=False)
    as_json.add_argument("--json", action="store_true", help="print the result as JSON")

    run = commands.add_parser("run", parents=[program, registers], help="assemble and run a program, print registers")
    run.add_argument(
        "--arch", choices=["x86_64", "aarch64"], help="which register dump to print (the code is always x86-64)"
    )
    run.add_argument("--install", metavar="OUT.bin", help="also write the generated machine code to this file")
    run.add_argument(
        "--timeout", type=parse_seconds, metavar="SECONDS", help="stop the program if it runs longer than this"
    )
    run.add_argument("--json", action="store_true", help="print the run's registers, flags and stack as JSON")
    run.set_defaults(handler=_run)

    check = commands.add_parser(
        "check", parents=[program, as_json], help="report every error and warning of a program without running it"
    )
    check.set_defaults(handler=_check, reg=[])

    listing = commands.add_parser(
        "listing", parents=[program, registers, as_json], help="show the bytes each statement becomes"
    )
    listing.set_defaults(handler=_listing)

    trace = commands.add_parser(
        "trace", parents=[program, registers, as_json], help="run one statement at a time, show registers and flags"
    )
    trace.add_argument(
        "--max-steps", type=parse_steps, default=100000, metavar="N", help="stop after N steps (default 100000)"
    )
    trace.add_argument("--html", metavar="OUT.html", help="write the trace view, a page that opens offline, to this file")
    trace.set_defaults(handler=_trace)

    debug = commands.add_parser(
        "debug", parents=[program, registers], help="step through a program with commands read line by line"
    )
    debug.add_argument(
        "--break",
        dest="breakpoints",
        action="append",
        default=[],
        type=parse_statement_number,
        metavar="STMT",
        help="stop before statement STMT; may be repeated",
    )
    debug.set_defaults(handler=_debug)

    serve = commands.add_parser("serve", help="serve the playground, an editor page that runs and traces programs")
    serve.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=int, default=0, help="the port (default 0: any free one)")
    serve.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    serve.add_argument("--time-limit", type=parse_seconds, default=5.0, metavar="SECONDS",
                       help="stop a program after this long (default 5)")
    serve.add_argument("--workers", type=parse_steps, metavar="N", help="worker processes (default: up to 4, one a core)")
    serve.set_defaults(handler=_serve, reg=[])
    return parser


def _print_json(value: Any) -> None:
    print(json.dumps(to_json(value)))


def _run(args: argparse.Namespace) -> int:
    source = read_program(args.program)
    if args.arch == "aarch64":
        return _run_with_arm_dump(source, args)
    with _time_limit(args.timeout):
        result = quorvel_lab.run(source, args.reg)
    if args.json:
        _print_json(result)
    else:
        print(result.state_text())
        if result.rax is not None:
            print(f"rax = {result.rax}")
    if args.install is not None:
        _install(args.install, quorvel_lab.listing(source, args.reg).code)
    if result.rax is None:
        report(_fault_error(result.stopped, result.note))
        return EXIT_ERROR
    return 0


def _run_with_arm_dump(source: str, args: argparse.Namespace) -> int:
    """The module's ARM64 register dump of an engine that ran the program (the code is x86-64 all the same)."""
    engine = quorvel.Quorvel()
    engine.setup("aarch64")
    for name, value in args.reg:
        engine.mov(name, value)
    engine.asm(source)
    with _time_limit(args.timeout):
        engine.execute()
    print(engine.dump_regs())
    # The ARM64 dump has no rax line, and the decimal form is what a reader wants.
    print(f"rax = {engine.get('rax')}")
    if args.install is not None:
        _install(args.install, quorvel_lab.listing(source, args.reg).code)
    return 0


def _install(path: str, code: bytes) -> None:
    """Write the generated function to `path`, failing with the messages of ``Quorvel.install``.

    The result is shown before, whatever happens to the file.
    """
    sys.stdout.flush()
    try:
        try:
            file = open(path, "wb")
        except OSError as error:
            raise ValueError(f"Failed to create file: {_os_reason(error)}") from None
        with file:
            try:
                file.write(code)
                file.flush()
            except OSError as error:
                raise ValueError(f"Failed to write file: {_os_reason(error)}") from None
    except ValueError as error:
        _add_note(error, f"writing the machine code to {path}")
        raise


def _fault_error(stopped: str, note: str | None) -> ValueError:
    error = ValueError(stopped)
    if note is not None:
        _add_note(error, note)
    return error


def _summary(diagnostics: Sequence[quorvel_lab.Diagnostic]) -> str:
    counts = []
    for severity in ("error", "warning"):
        count = sum(d.severity == severity for d in diagnostics)
        if count:
            counts.append(f"{count} {severity}{'' if count == 1 else 's'}")
    return ", ".join(counts) or "ok"


def _check(args: argparse.Namespace) -> int:
    diagnostics = quorvel_lab.check(read_program(args.program))
    if args.json:
        _print_json(diagnostics)
    else:
        name = _program_name(args.program)
        for d in diagnostics:
            print(f"{name}:{d.line}: {d.severity}: {d.message} (statement {d.statement})")
        print(f"{name}: {_summary(diagnostics)}")
    return EXIT_ERROR if any(d.severity == "error" for d in diagnostics) else 0


def _listing(args: argparse.Namespace) -> int:
    listing = quorvel_lab.listing(read_program(args.program), dict(args.reg))
    if args.json:
        _print_json(listing)
    else:
        print(listing)
    return 0


def _trace(args: argparse.Namespace) -> int:
    if args.html is not None:
        return _trace_html(args)
    source = read_program(args.program)
    if args.json:
        trace = quorvel_lab.trace(source, args.reg, args.max_steps)
        _print_json(trace)
        return 0 if trace.rax is not None else EXIT_ERROR
    # Each row is printed as its step happens, so an endless loop shows at once and Ctrl-C keeps what ran.
    stream = quorvel_lab.steps(source, args.reg, args.max_steps)
    lines = StepLines(source, args.max_steps, frame_start(args.reg))
    print(lines.header())
    count = 0
    for step in stream:
        print(lines.line(step))
        count += 1
    assert stream.stopped is not None, "an exhausted stream says how it stopped"
    print(trace_summary(count, stream.rax, stream.stopped, stream.note))
    return 0 if stream.rax is not None else EXIT_ERROR


def _debug(args: argparse.Namespace) -> int:
    from .debug import Debugger

    source = read_program(args.program)
    debugger = Debugger(source, args.reg, _program_name(args.program), sys.stdout)
    return debugger.loop(sys.stdin, args.breakpoints)


def _trace_html(args: argparse.Namespace) -> int:
    from quorvel_lab import view

    source = read_program(args.program)
    trace = quorvel_lab.trace(source, dict(args.reg), args.max_steps)
    page = view.page(view.trace_document(source, dict(args.reg), trace=trace, title=_program_name(args.program)))
    try:
        with open(args.html, "w", encoding="utf-8") as out:
            out.write(page)
    except OSError as error:
        raise ValueError(f"Failed to write file: {_os_reason(error)}") from None
    print(trace.summary())
    return 0 if trace.rax is not None else EXIT_ERROR


def _serve(args: argparse.Namespace) -> int:
    from quorvel_lab import serve

    return serve.main(args.host, args.port, not args.no_browser, args.time_limit, args.workers or None)


def is_panic(error: BaseException) -> bool:
    # The module's unrecoverable failures (code memory whose protection cannot
    # be switched, for one) derive from BaseException; the class is not exported.
    return type(error).__name__ == "PanicException"


def report(error: BaseException) -> None:
    """Print an error and its PEP 678 notes, one per line, to stderr."""
    print(f"quorvel: error: {error}", file=sys.stderr)
    for note in getattr(error, "__notes__", ()):
        print(note, file=sys.stderr)


def _discard_stdout() -> None:
    """Point stdout at /dev/null so the interpreter's last flush cannot fail a second time."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass  # stdout is not a file descriptor (captured); nothing is flushed to it at exit
    finally:
        os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``quorvel`` console script; returns the exit status."""
    try:
        args = _build_parser().parse_args(argv)
        for name in unseen_registers(name for name, _ in args.reg):
            print(f"quorvel: warning: {unseen_warning(name)}", file=sys.stderr)
        status: int = args.handler(args)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        # What ran before the interrupt (the rows of a trace) comes first.
        with contextlib.suppress(OSError, ValueError):
            sys.stdout.flush()
        print("quorvel: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _discard_stdout()
        return EXIT_BROKEN_PIPE
    except (ValueError, TimeoutError) as error:
        report(error)
        return EXIT_ERROR
    except OSError as error:
        # Reading the program turns its OSErrors into ValueErrors: this one came from writing the output.
        _discard_stdout()
        print(f"quorvel: error: cannot write the output: {error.strerror or error}", file=sys.stderr)
        return EXIT_ERROR
    except Exception as error:
        print(f"quorvel: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_ERROR
    except BaseException as error:
        if not is_panic(error):
            raise
        report(error)
        return EXIT_ERROR
