import re
import subprocess
import sys

import pytest
from IPython.core.error import UsageError
from IPython.core.interactiveshell import InteractiveShell

import quorvel
import quorvel_lab

PROGRAM = "loop:\n  add rax, rcx\n  dec rcx\n  jne loop"


@pytest.fixture(scope="module")
def shell():
    shell = InteractiveShell.instance()
    shell.run_line_magic("load_ext", "quorvel_lab")
    return shell


@pytest.fixture
def shown(shell, monkeypatch):
    """The mime bundles the magic displays, in order."""
    bundles = []
    monkeypatch.setattr(shell.display_pub, "publish", lambda data, **_: bundles.append(data))
    return bundles


def test_the_magic_runs_the_cell_and_shows_the_registers_it_left(shell, shown):
    assert shell.run_cell_magic("quorvel", "--reg rax=5 --reg rcx=2", "add rax, 1\ndec rcx\npush rcx") is None
    text, html = shown[0]["text/plain"], shown[0]["text/html"]
    assert text.endswith("rax = 6") and "stack  1 word, top first" in text
    assert text.splitlines()[3].split() == ["rcx", "0x0000000000000001", "1", "*"]
    assert "rax = 6" in html and "<td><code>*</code></td>" in html


@pytest.mark.parametrize(
    ("line", "expected"),
    [
        ("--reg rcx=3 --trace", lambda: [quorvel_lab.trace(PROGRAM, {"rcx": 3})]),
        ("--listing --reg rcx=0x3", lambda: [quorvel_lab.listing(PROGRAM, {"rcx": 3})]),
        ("--trace --listing --reg rcx=3", lambda: [quorvel_lab.listing(PROGRAM, {"rcx": 3}),
                                                  quorvel_lab.trace(PROGRAM, {"rcx": 3})]),
        ("--check", lambda: [quorvel_lab.check(PROGRAM)]),
        ("--check --trace --reg rcx=2", lambda: [quorvel_lab.check(PROGRAM), quorvel_lab.trace(PROGRAM, {"rcx": 2})]),
    ],
)
def test_the_magic_shows_traces_listings_and_checks_as_text_and_html(shell, shown, line, expected):
    shell.run_cell_magic("quorvel", line, PROGRAM)
    values = expected()
    assert [bundle["text/plain"] for bundle in shown] == [str(value) for value in values]
    for bundle, value in zip(shown, values):
        if isinstance(value, quorvel_lab.Trace):
            assert bundle["text/html"].startswith('<div class="quorvel-view"')
        else:
            assert bundle["text/html"] == value._repr_html_()


@pytest.mark.parametrize(
    ("cell", "line", "shows"),
    [("nop\npush r11", "quorvel: error: Unsupported register: r11 (in statement 2: push r11)", 0),
     ("mov rax, 1\nxor rdx, rdx\ndiv rdx", "quorvel: error: Execution fault: SIGFPE (integer divide by zero) at code "
                                          "offset 0x9c (in statement 3: div rdx)", 1)],
)
def test_a_program_error_fails_the_cell_with_one_line(shell, shown, capsys, cell, line, shows):
    result = shell.run_cell(f"%%quorvel\n{cell}")
    assert not result.success
    out, err = capsys.readouterr()
    assert (out + err).strip() == line
    # A fault shows where it left the program first.
    assert len(shown) == shows


def test_check_shows_errors_and_leaves_the_cell_successful(shell, shown):
    assert shell.run_cell("%%quorvel --check\nmov eax, 1\npop rbx").success
    html = shown[0]["text/html"]
    error_style = re.search(r'<td style="([^"]+)"><code>error</code>', html)[1]
    warning_style = re.search(r'<td style="([^"]+)"><code>warning</code>', html)[1]
    assert error_style != warning_style


def test_long_traces_are_cut_in_text_as_in_html(shell, shown):
    shell.run_cell_magic("quorvel", "--trace", "spin:\nadd rax, 1\njmp spin")
    lines = shown[0]["text/plain"].splitlines()
    assert len(lines) == 1 + 500 + 1 + 500 + 1
    assert lines[501] == "… 99000 rows not shown …" and lines[502].split()[0] == "99501"
    assert '"total":100000,"cut":null' in shown[0]["text/html"]  # the view holds every step


@pytest.mark.parametrize(
    "value",
    [lambda: quorvel_lab.check("mov eax, 1\nnop"), lambda: quorvel_lab.check("nop"),
     lambda: quorvel_lab.listing(PROGRAM), lambda: quorvel_lab.trace(PROGRAM, {"rcx": 2})],
)
def test_records_pretty_print_as_their_tables(shell, value):
    record = value()
    assert shell.display_formatter.format(record)[0]["text/plain"] == str(record)


def test_a_register_the_program_never_sees_is_named(shell, capsys):
    shell.run_cell_magic("quorvel", "--reg rbp=1", "nop")
    assert capsys.readouterr().err.startswith("quorvel: warning: rbp ")


@pytest.mark.parametrize("line", ["--reg st0=1", "--reg rax", "--bogus", "--reg 'rax=1"])
def test_bad_magic_lines_are_usage_errors(shell, line):
    with pytest.raises(UsageError):
        shell.run_cell_magic("quorvel", line, "nop")


def test_the_lab_imports_without_ipython():
    code = "import sys; sys.modules['IPython'] = None; import quorvel_lab; print(quorvel_lab.listing('nop').code[143])"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "144\n")
