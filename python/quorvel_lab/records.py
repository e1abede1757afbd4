"""What the lab returns: listings, traces and diagnostics, readable as text and in notebooks."""

from __future__ import annotations

import html
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, ClassVar, TypeVar, overload

from . import _native
from .tables import HTML_ROW_LIMIT, Column, html_table, offset_text, text_table, value_text

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
        step = self[index]
        before: Mapping[str, int] | None = self[index - 1].registers if index else self.start
        if before is None:
            changed = list(REGISTERS)
        else:
            changed = [name for name in REGISTERS if name in before and before[name] != step.registers[name]]
        return (
            str(step.step),
            str(step.statement),
            str(step.line),
            offset_text(step.offset),
            step.text,
            _flags_text(step.flags),
            " ".join(f"{name}={value_text(step.registers[name])}" for name in changed),
        )


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

    def text(self, limit: int | None = None) -> str:
        return f"{self._table().text(limit)}\n{self.summary()}"

    def __str__(self) -> str:
        return self.text()

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(self.text(HTML_ROW_LIMIT))

    def _repr_html_(self) -> str:
        return html_table(Steps.columns, self._table().cells(), self.summary())
