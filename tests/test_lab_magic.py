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


def test_the_magic_runs_the_cell_and_shows_rax_and_the_registers(shell, capsys):
    assert shell.run_cell_magic("quorvel", "--reg rax=5", "add rax, 1") is None
    engine = quorvel.Quorvel()
    engine.mov("rax", 5)
    engine.asm("add rax, 1")
    engine.execute()
    assert capsys.readouterr().out == f"{engine.dump_regs()}\nrax = 6\n"


@pytest.mark.parametrize(
    ("line", "expected"),
    [
        ("--reg rcx=3 --trace", lambda: [quorvel_lab.trace(PROGRAM, {"rcx": 3})]),
        ("--listing --reg rcx=0x3", lambda: [quorvel_lab.listing(PROGRAM, {"rcx": 3})]),
        ("--trace --listing --reg rcx=3", lambda: [quorvel_lab.listing(PROGRAM, {"rcx": 3}),
                                                  quorvel_lab.trace(PROGRAM, {"rcx": 3})]),
    ],
)
def test_the_magic_shows_traces_and_listings_as_text_and_html(shell, shown, line, expected):
    shell.run_cell_magic("quorvel", line, PROGRAM)
    values = expected()
    assert [bundle["text/plain"] for bundle in shown] == [str(value) for value in values]
    for bundle, value in zip(shown, values):
        if isinstance(value, quorvel_lab.Trace):
            assert bundle["text/html"].startswith('<div class="quorvel-view"')
        else:
            assert bundle["text/html"] == value._repr_html_()


def test_program_errors_are_reported_without_a_traceback(shell, capsys):
    shell.run_cell_magic("quorvel", "", "nop\npush r11")
    out, err = capsys.readouterr()
    assert out == ""
    assert err == "quorvel: error: Unsupported register: r11\nin statement 2: push r11\n"


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
