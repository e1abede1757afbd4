"""``quorvel debug``: a stepper for a terminal, driven by one command a line.

It reads its commands from standard input, so a session can be typed or
piped in (piped commands are shown after the prompt, as if typed); an empty
line repeats the last command.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TextIO

import quorvel_lab
from quorvel_lab.records import StepLines

__all__ = ["Debugger", "PROMPT", "HELP"]

PROMPT = "(quorvel) "
HELP = """\
step [N]    run the next statement (N statements), showing each
continue    run to a breakpoint, the end of the program or a fault
break N     stop before statement N; break alone lists the breakpoints
regs        the registers (* changed since the start) and the flags
stack       the words the program pushed and has not popped, top first
quit        leave (so does the end of the input)"""

# Short forms, as debuggers have them.
_COMMANDS = {"s": "step", "c": "continue", "b": "break", "r": "regs", "q": "quit", "h": "help", "?": "help"}


class Debugger:
    """A paused program and the commands that move it on and look inside it."""

    def __init__(self, source: str, registers: Iterable[tuple[str, int]], program: str, out: TextIO) -> None:
        registers = list(registers)
        self._rows = {row.statement: row for row in quorvel_lab.listing(source, registers).rows}
        self._stepper = quorvel_lab.Stepper(source, registers)
        self._start = self._stepper.registers
        self._lines = StepLines(source, 0, self._start, numbered=False)
        self._header_shown = False
        self._program = program
        self._out = out
        self._last = "step"

    def loop(self, commands: TextIO, breakpoints: Iterable[int] = ()) -> int:
        """Set `breakpoints`, then carry out commands until quit or the end of the input; the exit status."""
        out = self._out
        for statement in breakpoints:
            self._add_breakpoint(statement)
        self._say(self._where())
        # Commands that come from a file or a pipe are shown after the prompt, as a terminal shows what is typed.
        echo = not commands.isatty()
        while True:
            print(PROMPT, end="", file=out, flush=True)
            line = commands.readline()
            if not line:
                print(file=out)
                return 0
            if echo:
                print(line.rstrip("\n"), file=out)
            words = line.split() or self._last.split()
            self._last = " ".join(words)
            name = _COMMANDS.get(words[0], words[0])
            if name == "quit":
                return 0
            self._carry_out(name, words[1:])

    def _say(self, message: str) -> None:
        # Printed at once: the rows of a long `step N` come as they run.
        print(message, file=self._out)

    def _carry_out(self, name: str, arguments: list[str]) -> None:
        if name == "step":
            count = _number(arguments[0]) if arguments else 1
            if count is None:
                self._say(f"step takes a number of statements, not {arguments[0]!r}")
                return
            self._step(count)
        elif name == "continue":
            self._continue()
        elif name == "break":
            if not arguments:
                marks = sorted(self._stepper.breakpoints)
                self._say("breakpoints: " + (", ".join(map(str, marks)) if marks else "none"))
                return
            statement = _number(arguments[0])
            if statement is None:
                self._say(f"break takes a statement number, not {arguments[0]!r}")
                return
            self._add_breakpoint(statement)
        elif name == "regs":
            self._say(quorvel_lab.run_record(self._stepper, self._start).registers_text())
        elif name == "stack":
            self._say(quorvel_lab.run_record(self._stepper, self._start).stack_text())
        elif name == "help":
            self._say(HELP)
        else:
            self._say(f"unknown command {name!r}; the commands are:\n{HELP}")

    def _add_breakpoint(self, statement: int) -> None:
        row = self._rows.get(statement)
        if row is None:
            self._say(f"there is no statement {statement}: {self._program} has {len(self._rows)}")
            return
        self._stepper.breakpoints.add(statement)
        # A statement without code (a label) stops before the next one that has some.
        self._say(f"breakpoint at statement {statement} (line {row.line}): {row.text}")

    def _step(self, count: int) -> None:
        if self._ended():
            return
        try:
            for _ in range(count):
                step = self._stepper.step()
                if step is None:
                    break
                if not self._header_shown:
                    self._say(self._lines.header())
                    self._header_shown = True
                self._say(self._lines.line(step))
        except KeyboardInterrupt:
            self._say("interrupted")
        self._say(self._where())

    def _continue(self) -> None:
        if self._ended():
            return
        try:
            reason = self._stepper.run()
        except KeyboardInterrupt:
            reason = "interrupted"
        self._lines.resume_from(self._stepper.registers)
        if reason in ("breakpoint", "interrupted"):
            self._say(reason)
        self._say(self._where())

    def _ended(self) -> bool:
        if self._stepper.stopped is None:
            return False
        self._say("the program has ended")
        return True

    def _where(self) -> str:
        stepper = self._stepper
        if stepper.stopped == "completed":
            return f"completed: rax = {stepper.rax}"
        if stepper.stopped is not None:
            return f"stopped: {stepper.stopped}" + (f"\n{stepper.note}" if stepper.note else "")
        row = self._rows.get(stepper.statement) if stepper.statement is not None else None
        if row is None:
            return "next: the end of the program"
        return f"next: statement {row.statement} (line {row.line}): {row.text}"


def _number(text: str) -> int | None:
    return int(text) if text.isascii() and text.isdigit() else None
