"""Plain-text and HTML tables shared by the lab's records."""

from __future__ import annotations

import html
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

# A notebook stays responsive with a few thousand table rows, not with the
# hundred thousand a long trace has: what it shows of a table, as HTML or as
# text, is cut to this many rows. str() of a table is never shortened.
HTML_ROW_LIMIT = 1000


@dataclass(frozen=True)
class Column:
    title: str
    numeric: bool = False
    # Inline CSS for a cell by its text, for columns whose values want telling apart at a glance.
    styles: Mapping[str, str] = field(default_factory=dict)


def _cut(cells: Sequence[Sequence[str]], limit: int | None) -> list[Sequence[str] | str]:
    """The rows to show: all of them, or the first and last halves of `limit` around a line counting the others."""
    if limit is None or len(cells) <= limit:
        return list(cells)
    half = limit // 2
    return [*cells[:half], f"… {len(cells) - 2 * half} rows not shown …", *cells[-half:]]


def text_line(columns: Sequence[Column], widths: Sequence[int], line: Sequence[str]) -> str:
    """One line of a text table whose column widths are known."""
    parts = []
    for index, (column, cell) in enumerate(zip(columns, line)):
        if index == len(columns) - 1:
            parts.append(cell)
        elif column.numeric:
            parts.append(cell.rjust(widths[index]))
        else:
            parts.append(cell.ljust(widths[index]))
    return "  ".join(parts).rstrip()


def text_table(columns: Sequence[Column], cells: Sequence[Sequence[str]], limit: int | None = None) -> str:
    """Columns padded to their widest cell; numbers right-aligned, the last column never padded.

    Above `limit` rows only the first and last halves are shown, around a line that counts the others.
    """
    shown = _cut(cells, limit)
    titles = [column.title for column in columns]
    lines = [titles, *(line for line in shown if not isinstance(line, str))]
    widths = [max(len(line[index]) for line in lines) for index in range(len(columns))]
    out = [text_line(columns, widths, titles)]
    for line in shown:
        out.append(line if isinstance(line, str) else text_line(columns, widths, line))
    return "\n".join(out)


def html_table(columns: Sequence[Column], cells: Sequence[Sequence[str]], caption: str | None = None) -> str:
    """An escaped HTML table; above HTML_ROW_LIMIT rows the middle is left out and counted."""
    head = "".join(f"<th>{html.escape(column.title)}</th>" for column in columns)
    body = []
    for line in _cut(cells, HTML_ROW_LIMIT):
        if isinstance(line, str):
            body.append(f'<tr><td colspan="{len(columns)}">{html.escape(line)}</td></tr>')
            continue
        tds = []
        for column, cell in zip(columns, line):
            if column.numeric:
                tds.append(f'<td style="text-align:right">{html.escape(cell)}</td>')
            elif cell in column.styles:
                tds.append(f'<td style="{column.styles[cell]}"><code>{html.escape(cell)}</code></td>')
            else:
                tds.append(f"<td><code>{html.escape(cell)}</code></td>")
        body.append(f"<tr>{''.join(tds)}</tr>")
    title = f"<caption>{html.escape(caption)}</caption>" if caption else ""
    return (
        f'<table class="quorvel-lab">{title}<thead><tr>{head}</tr></thead>'
        f"<tbody>{''.join(body)}</tbody></table>"
    )


def offset_text(offset: int) -> str:
    # Fault messages give code offsets in this form, so the two can be matched by eye.
    return f"{offset:#x}"


def value_text(value: int) -> str:
    """Small values in decimal as a learner writes them, large ones in hex."""
    return str(value) if value < 1 << 32 else f"{value:#x}"
