"""What the lab returns: listings, traces and diagnostics, readable as text and in notebooks."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import ClassVar, TypeVar

from . import _native
from .tables import Column, html_table, offset_text, text_table, value_text

__all__ = [
    "REGISTERS",
    "FLAGS",
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
]

REGISTERS = ("rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "r8", "r9", "r10", "r12", "r13", "r14", "r15")
"""The registers an instruction can name, in the order a step reports them."""

FLAGS = ("CF", "ZF", "SF", "OF")

# The generated function: prologue and thirteen register loads, the
# statements, then the epilogue.
FRAME_PROLOGUE_SIZE = 143
FRAME_EPILOGUE_SIZE = 14

_Item = TypeVar("_Item")


class _Table(list[_Item]):
    """A list that prints as a table; subclasses say which columns an item fills."""

    columns: ClassVar[tuple[Column, ...]]
    empty_text: ClassVar[str]

    def cells(self) -> list[tuple[str, ...]]:
        raise NotImplementedError

    def __str__(self) -> str:
        if not self:
            return self.empty_text
        return text_table(self.columns, self.cells())

    def _repr_html_(self) -> str:
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

    def cells(self) -> list[tuple[str, ...]]:
        return [(str(r.statement), str(r.line), offset_text(r.offset), r.data.hex(" "), r.text) for r in self]


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

    def __str__(self) -> str:
        return f"{Rows(self.rows)}\n{self.summary()}"

    def _repr_html_(self) -> str:
        return html_table(Rows.columns, Rows(self.rows).cells(), self.summary())


@dataclass(frozen=True, slots=True)
class Diagnostic:
    """An error or a warning about one statement."""

    statement: int
    line: int
    severity: str
    message: str


class Diagnostics(_Table[Diagnostic]):
    columns = (Column("stmt", True), Column("line", True), Column("severity"), Column("message"))
    empty_text = "no errors, no warnings"

    def cells(self) -> list[tuple[str, ...]]:
        return [(str(d.statement), str(d.line), d.severity, d.message) for d in self]


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

    def cells(self) -> list[tuple[str, ...]]:
        cells: list[tuple[str, ...]] = []
        before: Mapping[str, int] | None = self.start
        for step in self:
            if before is None:
                changed = list(REGISTERS)
            else:
                changed = [name for name in REGISTERS if name in before and before[name] != step.registers[name]]
            text = " ".join(f"{name}={value_text(step.registers[name])}" for name in changed)
            cells.append(
                (
                    str(step.step),
                    str(step.statement),
                    str(step.line),
                    offset_text(step.offset),
                    step.text,
                    _flags_text(step.flags),
                    text,
                )
            )
            before = step.registers
        return cells


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
        count = len(self.steps)
        unit = "step" if count == 1 else "steps"
        if self.rax is not None:
            return f"{self.stopped} after {count} {unit}: rax = {self.rax}"
        if self.stopped == "max_steps":
            return f"stopped at the step limit, after {count} {unit}"
        return f"stopped after {count} {unit}: {self.stopped}"

    def _table(self) -> Steps:
        return self.steps if isinstance(self.steps, Steps) else Steps(self.steps)

    def __str__(self) -> str:
        return f"{self._table()}\n{self.summary()}"

    def _repr_html_(self) -> str:
        # The trace view; without the program's text it shows the lines that ran.
        from .view import document, fragment

        return fragment(document(None, trace=self))
