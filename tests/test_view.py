import json
import re
import subprocess
import sys

import pytest

import quorvel_lab
from quorvel_lab import view


def registers_from_document(doc):
    """Every step's registers rebuilt from the document's per-step changes, as the page rebuilds them."""
    packed = doc["trace"]
    registers = list(doc["start"])
    rebuilt = []
    for index, changes in enumerate(packed["changes"]):
        if index == packed["cut"]:
            registers = [None] * len(registers)
        for position in range(0, len(changes), 2):
            registers[changes[position]] = changes[position + 1]
        rebuilt.append([int(value, 16) for value in registers])
    return rebuilt


def inlined_document(html):
    match = re.search(r'<script type="application/json" id="[^"]+">(.*?)</script>', html, re.S)
    return json.loads(match[1])


@pytest.mark.parametrize(
    ("source", "registers"),
    [
        ("mov rax, 1\nnext:\n  mul rcx\n  dec rcx\n  jne next", {"rcx": 5}),
        ("add rax, rcx ;; sub rbx, rax\nxor rdx, rdx\ndiv rdx", {"RCX": -1, "rbx": 0x8000000000000000}),
        ("push rax\npush rbx\npop rcx\npop rdx\npop rsi", {"rax": 7, "rbx": 9}),
    ],
)
def test_the_document_holds_every_step_of_the_trace(source, registers):
    trace = quorvel_lab.trace(source, registers)
    doc = view.trace_document(source, registers)
    packed = doc["trace"]
    assert registers_from_document(doc) == [list(step.registers.values()) for step in trace.steps]
    assert packed["statement"] == [step.statement for step in trace.steps]
    assert packed["flags"] == [sum(1 << i for i, name in enumerate(quorvel_lab.FLAGS) if step.flags[name])
                               for step in trace.steps]
    assert packed["depth"] == [step.stack_depth for step in trace.steps]
    assert packed["top"] == [None if step.stack_top is None else format(step.stack_top, "x") for step in trace.steps]
    assert (packed["total"], packed["cut"], packed["stopped"]) == (len(trace.steps), None, trace.stopped)
    assert (packed["stopStatement"], packed["note"]) == (trace.statement, trace.note)
    assert packed["rax"] == (None if trace.rax is None else str(trace.rax))
    rows = quorvel_lab.listing(source, registers).rows
    assert doc["listing"] == [[r.statement, r.line, r.offset, r.data.hex(" "), r.text] for r in rows]
    assert doc["source"] == source


def test_a_long_trace_keeps_its_first_and_last_halves():
    source = "spin:\n  add rax, 1\n  jmp spin"
    trace = quorvel_lab.trace(source, max_steps=25)
    doc = view.document(source, trace=trace, limit=10)
    packed = doc["trace"]
    assert (packed["total"], packed["cut"], len(packed["statement"])) == (25, 5, 10)
    kept = trace.steps[:5] + trace.steps[-5:]
    assert registers_from_document(doc) == [list(step.registers.values()) for step in kept]
    # The step after the cut has no step before it on the page: it lists all fourteen registers.
    assert len(packed["changes"][5]) == 2 * len(quorvel_lab.REGISTERS)


def test_a_program_that_does_not_assemble_shows_its_errors_at_their_lines():
    source = "mov rax, 1\nfoo\npush r11"
    doc = view.trace_document(source)
    assert doc["trace"] is None
    assert doc["error"] == {"message": "Line 2: Unknown instruction: foo", "notes": ["in statement 2: foo"]}
    assert doc["diagnostics"] == [[d.statement, d.line, d.severity, d.message] for d in quorvel_lab.check(source)]
    assert doc["diagnostics"][:2] == [[2, 2, "error", "Unknown instruction: foo"], [3, 3, "error", "Unsupported register: r11"]]


def test_a_trace_alone_rebuilds_the_lines_that_ran():
    trace = quorvel_lab.trace("; sum\nmov rax, 2 ;; add rax, rcx\n\nadd rax, 1", {"rcx": 3})
    html = trace._repr_html_()
    doc = inlined_document(html)
    assert doc["source"] == "\nmov rax, 2 ;; add rax, rcx\n\nadd rax, 1"
    assert doc["start"][2] == "3" and doc["start"][6] is None  # rcx as loaded; rbp unknown
    assert "completed after 3 steps: rax = 6" in html  # shown where scripts do not run


def test_the_page_is_one_offline_file_whose_script_cannot_be_ended_by_the_program():
    source = "mov rax, 1 ; </script><script>alert(1)</script> <!--"
    page = view.page(view.trace_document(source))
    assert page.count("</script>") == 2  # the document's and the view's own
    assert inlined_document(page)["source"] == source
    assert re.findall(r'(?:src|href)="(?!data:)', page) == []
    assert "default-src 'none'" in page


def test_several_views_on_a_page_have_their_own_ids():
    trace = quorvel_lab.trace("mov rax, 1")
    ids = {re.search(r'id="(quorvel-view-[0-9a-f]+)"', trace._repr_html_())[1] for _ in range(3)}
    assert len(ids) == 3


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "quorvel_lab", *args], capture_output=True, text=True)


def test_trace_html_writes_the_view_of_the_program(tmp_path):
    program = tmp_path / "sum.s"
    program.write_text("mov rax, 1\nnext:\n  mul rcx\n  dec rcx\n  jne next\n")
    out = tmp_path / "out.html"
    done = run_cli("trace", str(program), "--reg", "rcx=3", "--html", str(out))
    assert (done.returncode, done.stdout, done.stderr) == (0, "completed after 10 steps: rax = 6\n", "")
    doc = inlined_document(out.read_text())
    expected = view.trace_document(program.read_text(), {"rcx": 3}, title=str(program))
    # rbp, the frame pointer, differs from process to process.
    for name in ("title", "source", "start", "listing", "diagnostics"):
        assert doc[name] == expected[name]
    for name in ("statement", "flags", "total", "rax", "stopped"):
        assert doc["trace"][name] == expected["trace"][name]

    done = run_cli("trace", str(program), "--html", str(tmp_path / "missing" / "out.html"))
    assert done.returncode == 1
    assert done.stderr.startswith("quorvel: error: Failed to write file: No such file or directory")


def test_the_magic_shows_the_view_with_the_cells_program(monkeypatch):
    from IPython.core.interactiveshell import InteractiveShell

    shell = InteractiveShell.instance()
    shell.run_line_magic("load_ext", "quorvel_lab")
    shown = []
    monkeypatch.setattr(shell.display_pub, "publish", lambda data, **_: shown.append(data))
    cell = "mov rax, 2\nadd rax, 3 ;; foo\n"
    shell.run_cell_magic("quorvel", "--trace", "mov rax, 2\nadd rax, rcx\n")
    assert not shell.run_cell(f"%%quorvel --trace\n{cell}").success  # does not assemble: an error line, no view
    [bundle] = shown
    assert bundle["text/plain"] == str(quorvel_lab.trace("mov rax, 2\nadd rax, rcx\n"))
    doc = inlined_document(bundle["text/html"])
    assert doc["source"] == "mov rax, 2\nadd rax, rcx\n"
    assert doc["trace"]["rax"] == "2"
