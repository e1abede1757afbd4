"""Plain-text and HTML tables shared by the lab's records."""

from __future__ import annotations

import html
from collections.abc import Sequence
from dataclasses import dataclass

# A notebook stays responsive with a few thousand table rows, not with the
# hundred thousand a long trace has; the text form is never shortened.
HTML_ROW_LIMIT = 1000


@dataclass(frozen=True)
class Column:
    title: str
    numeric: bool = False


def text_table(columns: Sequence[Column], cells: Sequence[Sequence[str]]) -> str:
    """Columns padded to their widest cell; numbers right-aligned, the last column never padded."""
    lines = [[column.title for column in columns], *cells]
    widths = [max(len(line[index]) for line in lines) for index in range(len(columns))]
    out = []
    for line in lines:
        parts = []
        for index, (column, cell) in enumerate(zip(columns, line)):
            if index == len(columns) - 1:
                parts.append(cell)
            elif column.numeric:
                parts.append(cell.rjust(widths[index]))
            else:
                parts.append(cell.ljust(widths[index]))
        out.append("  ".join(parts).rstrip())
    return "\n".join(out)


def html_table(columns: Sequence[Column], cells: Sequence[Sequence[str]], caption: str | None = None) -> str:
    """An escaped HTML table; above HTML_ROW_LIMIT rows the middle is left out and counted."""
    head = "".join(f"<th>{html.escape(column.title)}</th>" for column in columns)
    shown: list[Sequence[str] | None] = list(cells)
    if len(cells) > HTML_ROW_LIMIT:
        half = HTML_ROW_LIMIT // 2
        shown = [*cells[:half], None, *cells[-half:]]
    body = []
    for line in shown:
        if line is None:
            omitted = len(cells) - 2 * (HTML_ROW_LIMIT // 2)
            body.append(f'<tr><td colspan="{len(columns)}">… {omitted} rows not shown …</td></tr>')
            continue
        tds = []
        for column, cell in zip(columns, line):
            if column.numeric:
                tds.append(f'<td style="text-align:right">{html.escape(cell)}</td>')
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
