"""What the lab returns: listings, traces and diagnostics, readable as text and in notebooks."""

from __future__ import annotations

import html
import re
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, ClassVar, TypeVar, overload

from . import _native
from .tables import HTML_ROW_LIMIT, Column, html_table, offset_text, text_line, text_table, value_text

__all__ = [
    "REGISTERS",
    "FLAGS",
    "FRAME_LOADED",
    "FRAME_PROLOGUE_SIZE",
    "FRAME_EPILOGUE_SIZE",
    "Row",
    "Rows",
    "Listing",
    "Diagnostic",
    "Diagnostics",
    "Step",
    "Steps",
    "Trace",
    "Run",
    "frame_start",
    "step_cells",
    "StepLines",
    "trace_summary",
]

REGISTERS = ("rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "r8", "r9", "r10", "r12", "r13", "r14", "r15")
"""The registers an instruction can name, in the order a step reports them."""

FLAGS = ("CF", "ZF", "SF", "OF")

FRAME_LOADED = ("rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r12", "r13", "r14", "r15")
"""The registers whose values a run loads before the program; any other name is set but never seen."""

# The generated function: prologue and thirteen register loads, the
# statements, then the epilogue.
FRAME_PROLOGUE_SIZE = 143
FRAME_EPILOGUE_SIZE = 14

_Item = TypeVar("_Item")


class _Cells(Sequence[tuple[str, ...]]):
    """A table's cells, each row made when it is read: a notebook shows a thousand rows of a long trace."""

    def __init__(self, count: int, row: Callable[[int], tuple[str, ...]]) -> None:
        self._count = count
        self._row = row

    def __len__(self) -> int:
        return self._count

    @overload
    def __getitem__(self, index: int) -> tuple[str, ...]: ...
    @overload
    def __getitem__(self, index: slice) -> list[tuple[str, ...]]: ...
    def __getitem__(self, index: int | slice) -> tuple[str, ...] | list[tuple[str, ...]]:
        if isinstance(index, slice):
            return [self._row(i) for i in range(*index.indices(self._count))]
        if not -self._count <= index < self._count:
            raise IndexError(index)
        return self._row(index % self._count)


class _Table(list[_Item]):
    """A list that prints as a table; subclasses say which columns an item fills."""

    columns: ClassVar[tuple[Column, ...]]
    empty_text: ClassVar[str]

    def cell(self, index: int) -> tuple[str, ...]:
        raise NotImplementedError

    def cells(self) -> Sequence[tuple[str, ...]]:
        return _Cells(len(self), self.cell)

    def text(self, limit: int | None = None) -> str:
        """The table as text; above `limit` rows only the first and last halves."""
        if not self:
            return self.empty_text
        return text_table(self.columns, self.cells(), limit)

    def __str__(self) -> str:
        return self.text()

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(self.text(HTML_ROW_LIMIT))

    def _repr_html_(self) -> str:
        if not self:
            return f"<p>{html.escape(self.empty_text)}</p>"
        return html_table(self.columns, self.cells())


# A listing has a row per statement, so rows are made by the native part,
# which cuts each row's text and bytes from the source and the code only when
# they are asked for. Step is made by the hundred thousand too, and a frozen
# dataclass's __init__ costs about five times a plain one's; the other
# records are frozen.
Row = _native.Row


class Rows(_Table[Row]):
    columns = (Column("stmt", True), Column("line", True), Column("offset", True), Column("bytes"), Column("text"))
    empty_text = "(no statements)"

    def cell(self, index: int) -> tuple[str, ...]:
        r = self[index]
        return (str(r.statement), str(r.line), offset_text(r.offset), r.data.hex(" "), r.text)


@dataclass(frozen=True, slots=True)
class Listing:
    """The whole generated function and, statement by statement, where its bytes came from."""

    code: bytes
    rows: list[Row]

    def summary(self) -> str:
        return (
            f"{len(self.code)} bytes of code: {FRAME_PROLOGUE_SIZE} before the statements "
            f"(prologue, register loads) and {FRAME_EPILOGUE_SIZE} after them (epilogue)"
        )

    def text(self, limit: int | None = None) -> str:
        return f"{Rows(self.rows).text(limit)}\n{self.summary()}"

    def __str__(self) -> str:
        return self.text()

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(self.text(HTML_ROW_LIMIT))

    def _repr_html_(self) -> str:
        return html_table(Rows.columns, Rows(self.rows).cells(), self.summary())


@dataclass(frozen=True, slots=True)
class Diagnostic:
    """An error or a warning about one statement."""

    statement: int
    line: int
    severity: str
    message: str


# White on a strong colour reads the same on a light and a dark notebook.
_SEVERITY_STYLES = {
    "error": "color:#fff;background:#b3261e",
    "warning": "color:#000;background:#f2b400",
}


class Diagnostics(_Table[Diagnostic]):
    columns = (
        Column("stmt", True),
        Column("line", True),
        Column("severity", styles=_SEVERITY_STYLES),
        Column("message"),
    )
    empty_text = "no errors, no warnings"

    def cell(self, index: int) -> tuple[str, ...]:
        d = self[index]
        return (str(d.statement), str(d.line), d.severity, d.message)


# A trace has a step per statement run, so steps are native records too:
# the registers stay 14 machine words until asked for.
Step = _native.Step


def _flags_text(flags: Mapping[str, bool]) -> str:
    return " ".join(name if flags[name] else "--" for name in FLAGS)


class Steps(_Table[Step]):
    """Executed statements in order.

    `start` holds the register values known before the first statement, so
    that the first row too shows only what that statement changed; without
    it the first row shows every register.
    """

    columns = (
        Column("step", True),
        Column("stmt", True),
        Column("line", True),
        Column("offset", True),
        Column("text"),
        Column("flags"),
        Column("changed"),
    )
    empty_text = "(no statement ran)"

    def __init__(self, steps: Iterable[Step] = (), start: Mapping[str, int] | None = None) -> None:
        super().__init__(steps)
        self.start: dict[str, int] | None = dict(start) if start is not None else None

    def cell(self, index: int) -> tuple[str, ...]:
        return step_cells(self[index], self[index - 1].registers if index else self.start)


def frame_start(registers: Any) -> dict[str, int]:
    """What the frame loads before the first statement, from the registers a run was given.

    rbp holds the frame pointer, unknown before the run, so it is left out.
    """
    start = dict.fromkeys(FRAME_LOADED, 0)
    pairs = registers.items() if isinstance(registers, Mapping) else registers or ()
    for name, value in pairs:
        if name.lower() in start:
            start[name.lower()] = value % (1 << 64)
    return start


def step_cells(step: Step, before: Mapping[str, int] | None) -> tuple[str, ...]:
    """A step's row of the Steps table; `before` holds the registers before it (None: show them all)."""
    registers = step.registers
    if before is None:
        changed = list(REGISTERS)
    else:
        changed = [name for name in REGISTERS if name in before and before[name] != registers[name]]
    return (
        str(step.step),
        str(step.statement),
        str(step.line),
        offset_text(step.offset),
        step.text,
        _flags_text(step.flags),
        " ".join(f"{name}={value_text(registers[name])}" for name in changed),
    )


# No statement is encoded in more bytes (mov r64, imm64).
_LONGEST_STATEMENT = 10


class StepLines:
    """Rows of the Steps table made one at a time, as steps happen.

    The columns are as wide as any step of `source` within `max_steps` can
    need, since no later row can widen them. Without `numbered` the step
    column is left out (a stepper that ran at full speed in between has not
    counted its steps).
    """

    def __init__(self, source: str, max_steps: int, start: Mapping[str, int] | None = None,
                 numbered: bool = True) -> None:
        # Statements are the pieces between newlines and ";;" that are not blank or comments.
        texts = [piece.strip() for piece in re.split(r"\n|;;", source)]
        texts = [text for text in texts if text and text[0] not in ";#"]
        last_offset = FRAME_PROLOGUE_SIZE + _LONGEST_STATEMENT * len(texts)
        widths = [
            len(str(max_steps)),
            len(str(len(texts))),
            len(str(source.count("\n") + 1)),
            len(offset_text(last_offset)),
            max(map(len, texts), default=0),
            len(_flags_text(dict.fromkeys(FLAGS, False))),
            0,
        ]
        self._first = 0 if numbered else 1
        self._columns = Steps.columns[self._first:]
        self._widths = [max(width, len(column.title)) for width, column in zip(widths[self._first:], self._columns)]
        self._before: Mapping[str, int] | None = start

    def header(self) -> str:
        return text_line(self._columns, self._widths, [column.title for column in self._columns])

    def resume_from(self, registers: Mapping[str, int]) -> None:
        """Compare the next step with `registers` (a run at full speed came in between)."""
        self._before = registers

    def line(self, step: Step) -> str:
        cells = step_cells(step, self._before)
        self._before = step.registers
        return text_line(self._columns, self._widths, cells[self._first:])


def _ending(stopped: str, note: str | None) -> str:
    return stopped if note is None else f"{stopped}\n{note}"


@dataclass(frozen=True, slots=True)
class Trace:
    """A run one statement at a time: every step, the result, and why it stopped.

    After a fault, `statement` is the statement that faulted (None in the
    frame) and `note` says where and why.
    """

    steps: list[Step]
    rax: int | None
    stopped: str
    statement: int | None = None
    note: str | None = None

    def summary(self) -> str:
        return trace_summary(len(self.steps), self.rax, self.stopped, self.note)

    def _table(self) -> Steps:
        return self.steps if isinstance(self.steps, Steps) else Steps(self.steps)

    def text(self, limit: int | None = None) -> str:
        return f"{self._table().text(limit)}\n{self.summary()}"

    def __str__(self) -> str:
        return self.text()

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(self.text(HTML_ROW_LIMIT))

    def _repr_html_(self) -> str:
        # The trace view; without the program's text it shows the lines that ran.
        from .view import document, fragment

        return fragment(document(None, trace=self))


def trace_summary(count: int, rax: int | None, stopped: str, note: str | None = None) -> str:
    """The line under a trace's steps: how it ended, after how many steps (and a fault's note below it)."""
    unit = "step" if count == 1 else "steps"
    if rax is not None:
        return f"{stopped} after {count} {unit}: rax = {rax}"
    if stopped == "max_steps":
        return f"stopped at the step limit, after {count} {unit}"
    return f"stopped after {count} {unit}: {_ending(stopped, note)}"


def _hex_word(value: int) -> str:
    return f"{value:#018x}"


@dataclass(frozen=True, slots=True)
class Run:
    """A program run at full speed: the registers, flags and stack as it left them, and how it ended.

    `registers` are the program's own last values (the epilogue restores the
    caller's registers after them). `stack` holds the words it pushed and did
    not pop, top first; `stack_depth` is pushes minus pops, negative when it
    popped more. After a fault `statement` and `note` say where; `rax` is
    None. `start` holds the registers as the program began, so that the
    table can mark what changed.
    """

    rax: int | None
    registers: dict[str, int]
    flags: dict[str, bool]
    stack: list[int]
    stack_depth: int
    stopped: str
    statement: int | None = None
    note: str | None = None
    start: dict[str, int] | None = None

    def changed(self) -> list[str]:
        """The registers whose values differ from those the program began with (all of them when unknown)."""
        if self.start is None:
            return list(REGISTERS)
        return [name for name in REGISTERS if self.start.get(name) != self.registers[name]]

    def _register_cells(self) -> list[tuple[str, ...]]:
        changed = set(self.changed())
        cells: list[tuple[str, ...]] = []
        for name in REGISTERS:
            value = self.registers[name]
            if name == "rbp" and name not in changed:
                # An address on the code stack, different in every run: only a change says something.
                cells.append((name, "(frame pointer)", "", ""))
            else:
                cells.append((name, _hex_word(value), str(value), "*" if name in changed else ""))
        return cells

    def stack_text(self) -> str:
        """The words pushed and not popped, top first, in hex and decimal."""
        if self.stack_depth < 0:
            more = -self.stack_depth
            return f"stack  empty: {more} word{'s' if more != 1 else ''} more popped than pushed"
        if not self.stack:
            return "stack  empty"
        lines = [f"stack  {len(self.stack)} word{'s' if len(self.stack) != 1 else ''}, top first"]
        lines += [f"       {_hex_word(word)}  {word}" for word in self.stack]
        return "\n".join(lines)

    def registers_text(self) -> str:
        """The registers (changed ones marked *) and the flags."""
        return f"{text_table(_RUN_COLUMNS, self._register_cells())}\nflags  {_flags_text(self.flags)}"

    def state_text(self) -> str:
        """The registers (changed ones marked *), the flags and the stack."""
        return f"{self.registers_text()}\n{self.stack_text()}"

    def summary(self) -> str:
        if self.rax is not None:
            return f"rax = {self.rax}"
        return f"stopped: {_ending(self.stopped, self.note)}"

    def text(self, limit: int | None = None) -> str:
        return f"{self.state_text()}\n{self.summary()}"

    def __str__(self) -> str:
        return self.text()

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(self.text())

    def _repr_html_(self) -> str:
        stack = " ".join(_hex_word(word) for word in self.stack) or "empty"
        if self.stack_depth < 0:
            stack = f"empty: {-self.stack_depth} more popped than pushed"
        caption = f"{self.summary()} · flags {_flags_text(self.flags)} · stack {stack}"
        return html_table(_RUN_COLUMNS, self._register_cells(), caption)


_RUN_COLUMNS = (Column("reg"), Column("hex"), Column("decimal", True), Column("changed"))
