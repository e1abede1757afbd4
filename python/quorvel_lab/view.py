"""The trace view: a page to step through a run, forwards and backwards.

The view is one HTML+CSS+JavaScript component shipped beside this module
(``view.js``, ``view.css``). It is fed a *document*, a JSON value this module
builds from a program and its trace, and shows it three ways: inside a
notebook cell (``fragment``), as one offline file (``page``), and in the
playground that ``quorvel serve`` opens.

The document carries the trace packed column by column: for each step its
statement, flags, stack depth and top word, and only the registers it
changed, in hex (JavaScript numbers cannot hold 64 bits). A step costs the
page 10 to 20 bytes instead of the 400 of the command line's JSON, so a
100,000-step trace opens in a browser as quickly as a photo does.
"""

from __future__ import annotations

import html
import importlib.resources
import json
import uuid
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from .records import FLAGS, REGISTERS, Diagnostic, Row, Step, Trace

__all__ = ["STEP_LIMIT", "TraceView", "document", "trace_document", "fragment", "page", "asset"]

STEP_LIMIT = 200_000
"""The most steps a page holds; a longer trace keeps its first and last halves."""

_FLAG_BITS = {name: 1 << index for index, name in enumerate(FLAGS)}


def asset(name: str) -> str:
    """The text of one of the view's shipped files (view.js, view.css, playground.js, playground.css)."""
    return importlib.resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def _hex(value: int | None) -> str | None:
    return None if value is None else format(value, "x")


def _pack_steps(steps: Sequence[Step], start: Mapping[str, int] | None, total: int, cut: int | None) -> dict[str, Any]:
    """Steps as columns; each step lists the registers that differ from the step before it.

    The step after a cut has no step before it on the page, so it lists all
    fourteen and the view marks none of them as changed.
    """
    before: list[int | None] = [None if start is None else start.get(name) for name in REGISTERS]
    statements, flags, changes, depths, tops = [], [], [], [], []
    for index, step in enumerate(steps):
        if index == cut:
            before = [None] * len(REGISTERS)
        values: list[int | None] = list(step.registers.values())
        changed: list[int | str] = []
        for number, (old, new) in enumerate(zip(before, values)):
            if old != new:
                changed += (number, format(new, "x"))
        before = values
        statements.append(step.statement)
        flags.append(sum(bit for name, bit in _FLAG_BITS.items() if step.flags[name]))
        changes.append(changed)
        depths.append(step.stack_depth)
        tops.append(_hex(step.stack_top))
    return {
        "total": total,
        "cut": cut,
        "statement": statements,
        "flags": flags,
        "changes": changes,
        "depth": depths,
        "top": tops,
    }


def _kept(steps: Sequence[Step], limit: int) -> tuple[Sequence[Step], int | None]:
    if len(steps) <= limit:
        return steps, None
    half = limit // 2
    return [*steps[:half], *steps[len(steps) - (limit - half):]], half


def _rows_from_steps(steps: Sequence[Step]) -> list[list[Any]]:
    """What a trace alone tells of the listing: where each statement that ran sits (its bytes are not kept)."""
    seen: dict[int, list[Any]] = {}
    for step in steps:
        if step.statement not in seen:
            seen[step.statement] = [step.statement, step.line, step.offset, None, step.text]
    return sorted(seen.values())


def _source_from_rows(rows: Sequence[Sequence[Any]]) -> str:
    """The lines the rows came from, blank where no row tells what the line held."""
    lines: dict[int, list[str]] = {}
    for _statement, line, _offset, _data, text in rows:
        lines.setdefault(line, []).append(text)
    last = max(lines, default=0)
    return "\n".join(" ;; ".join(lines.get(number, [])) for number in range(1, last + 1))


def _error(error: BaseException) -> dict[str, Any]:
    return {"message": str(error), "notes": list(getattr(error, "__notes__", ()))}


def document(
    source: str | None,
    *,
    trace: Trace | None = None,
    listing_rows: Sequence[Row] | None = None,
    diagnostics: Sequence[Diagnostic] = (),
    registers: Mapping[str, int] | None = None,
    error: BaseException | None = None,
    title: str | None = None,
    limit: int = STEP_LIMIT,
) -> dict[str, Any]:
    """The view's feed, from whatever is known of a program: each part may be missing.

    Without `source` the lines are rebuilt from the trace's steps; without
    `listing_rows` the listing column shows offsets only; `error` is why the
    program did not assemble.
    """
    steps: Sequence[Step] = trace.steps if trace is not None else []
    if listing_rows is not None:
        rows = [[r.statement, r.line, r.offset, r.data.hex(" "), r.text] for r in listing_rows]
    else:
        rows = _rows_from_steps(steps)
    if registers is None and trace is not None:
        registers = getattr(trace.steps, "start", None)
    start = {name.lower(): value % (1 << 64) for name, value in (registers or {}).items()}
    if start or trace is not None:
        # The frame loads these registers; the rest start unknown.
        from . import FRAME_LOADED

        start = {name: start.get(name, 0) for name in FRAME_LOADED}
    packed = None
    if trace is not None:
        kept, cut = _kept(steps, limit)
        packed = _pack_steps(kept, start or None, len(steps), cut)
        packed |= {
            "rax": None if trace.rax is None else str(trace.rax),
            "stopped": trace.stopped,
            "stopStatement": trace.statement,
            "note": trace.note,
        }
    return {
        "title": title,
        "source": source if source is not None else _source_from_rows(rows),
        "registers": list(REGISTERS),
        "start": [_hex(start.get(name)) for name in REGISTERS],
        "listing": rows,
        "diagnostics": [[d.statement, d.line, d.severity, d.message] for d in diagnostics],
        "error": None if error is None else _error(error),
        "trace": packed,
    }


def trace_document(
    source: str,
    registers: Mapping[str, int] | None = None,
    max_steps: int = 100000,
    *,
    trace: Trace | None = None,
    title: str | None = None,
) -> dict[str, Any]:
    """Check, list and trace `source` (or take its `trace`) into a view document; a source that
    does not assemble gives a document with the error and the diagnostics."""
    import quorvel_lab

    diagnostics = quorvel_lab.check(source)
    try:
        rows = quorvel_lab.listing(source, registers).rows
        if trace is None:
            trace = quorvel_lab.trace(source, registers, max_steps)
    except ValueError as error:
        return document(source, diagnostics=diagnostics, registers=registers, error=error, title=title)
    return document(source, trace=trace, listing_rows=rows, diagnostics=diagnostics, registers=registers,
                    title=title)


def _json_for_script(doc: Mapping[str, Any]) -> str:
    # Inside <script> only "</" could end the element early; "<" escaped is still the same JSON.
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False).replace("<", "\\u003c")


def _summary(doc: Mapping[str, Any]) -> str:
    """A line that stands in for the view where scripts do not run (an untrusted notebook)."""
    packed = doc["trace"]
    if doc["error"] is not None:
        return f"does not assemble: {doc['error']['message']}"
    if packed is None:
        return "no trace"
    steps = f"{packed['total']} step{'' if packed['total'] == 1 else 's'}"
    if packed["rax"] is not None:
        return f"{packed['stopped']} after {steps}: rax = {packed['rax']}"
    return f"stopped after {steps}: {packed['stopped']}"


def fragment(doc: Mapping[str, Any]) -> str:
    """The view as an HTML fragment with its styles, script and document inlined.

    Any number of fragments may share a page: each mounts on its own element
    and the script defines one name, ``QuorvelView``, once.
    """
    view_id = f"quorvel-view-{uuid.uuid4().hex}"
    return (
        f'<div class="quorvel-view" id="{view_id}"><p class="qv-fallback">'
        f"{html.escape(_summary(doc))}</p></div>"
        f"<style>{asset('view.css')}</style>"
        f'<script type="application/json" id="{view_id}-data">{_json_for_script(doc)}</script>'
        f"<script>{asset('view.js')}\nQuorvelView.mountFromScript({json.dumps(view_id)});</script>"
    )


# Nothing on the page may reach the network: an offline file behaves the same
# mailed to a student as on the machine that wrote it.
OFFLINE_POLICY = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:"


def page(doc: Mapping[str, Any], title: str = "quorvel trace") -> str:
    """A complete HTML page holding the view, readable offline."""
    return (
        "<!DOCTYPE html>\n"
        '<html lang="en"><head><meta charset="utf-8">'
        f'<meta http-equiv="Content-Security-Policy" content="{OFFLINE_POLICY}">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        '<meta name="color-scheme" content="light dark">'
        '<link rel="icon" href="data:,">'
        f"<title>{html.escape(title)}</title>"
        "<style>body{margin:0;padding:12px;font-family:system-ui,sans-serif}</style>"
        f"</head><body>{fragment(doc)}</body></html>\n"
    )


@dataclass(frozen=True)
class TraceView:
    """A trace with the program it came from: the table as text, the view as HTML."""

    trace: Trace
    source: str
    registers: Mapping[str, int] | None = None

    def text(self, limit: int | None = None) -> str:
        return self.trace.text(limit)

    def __str__(self) -> str:
        return self.text()

    def _repr_html_(self) -> str:
        return fragment(trace_document(self.source, self.registers, trace=self.trace))
