"""The README's lab section, run: every session in it prints what the README shows.

- A shell session is a fenced block whose first line starts with "$ ".
  `$ cat NAME` followed by lines shows a file of the repository, which must
  hold those lines; `$ quorvel ...` runs
  the command in a directory where `examples/` is the repository's, and its
  standard output followed by its standard error must be the lines up to the
  next "$ ". A `quorvel debug` session reads the commands shown after its
  "(quorvel) " prompts.
- A `pycon` block is a doctest, run from the repository's root.
- An IPython block ("In [1]: %load_ext quorvel_lab" or "In [1]: %%quorvel
  ...") runs each %%quorvel cell in an InteractiveShell and compares what it
  prints.
"""

import doctest
import io
import os
import re
import shlex
from pathlib import Path

import pytest

from quorvel_lab.cli import main
from quorvel_lab.debug import PROMPT

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()


def lab_section():
    start = README.index("### The lab")
    end = README.index("\n### ", start + 1)
    return README[start:end]


def commands(block):
    """(command line, expected output) for each "$ " line of the block."""
    pieces = re.split(r"^\$ (.*)\n", block, flags=re.M)
    return list(zip(pieces[1::2], pieces[2::2]))


SHELL_BLOCKS = re.findall(r"^```\n(\$ .*?)^```$", lab_section(), re.M | re.S)
QUORVEL_COMMANDS = [[line for line, _ in commands(block) if line.startswith("quorvel ")] for block in SHELL_BLOCKS]
PYCON_BLOCKS = re.findall(r"^```pycon\n(.*?)^```$", lab_section(), re.M | re.S)
IPYTHON_BLOCKS = re.findall(r"^```\n(In \[1\]: %.*?)^```$", lab_section(), re.M | re.S)


@pytest.mark.parametrize("block", SHELL_BLOCKS, ids=[" && ".join(lines) for lines in QUORVEL_COMMANDS])
def test_each_shell_session_prints_what_the_readme_shows(capsys, monkeypatch, tmp_path, block):
    monkeypatch.chdir(tmp_path)
    os.symlink(ROOT / "examples", tmp_path / "examples")
    for command, expected in commands(block):
        argv = shlex.split(command)
        if argv[0] == "cat":
            assert (ROOT / argv[1]).read_text() == expected, command
            continue
        assert argv[0] == "quorvel", command
        typed = re.findall(rf"^{re.escape(PROMPT)}(.*)$", expected, re.M)
        monkeypatch.setattr("sys.stdin", io.StringIO("".join(f"{line}\n" for line in typed)))
        main(argv[1:])
        out, err = capsys.readouterr()
        assert out + err == expected, command


def test_the_lab_section_has_sessions_for_each_command():
    shown = {line.split()[1] for lines in QUORVEL_COMMANDS for line in lines}
    assert shown >= {"listing", "trace", "check", "run", "debug"}
    assert PYCON_BLOCKS and IPYTHON_BLOCKS


@pytest.mark.parametrize("block", PYCON_BLOCKS)
def test_each_python_session_prints_what_the_readme_shows(monkeypatch, block):
    monkeypatch.chdir(ROOT)
    test = doctest.DocTestParser().get_doctest(block, {}, "README", str(ROOT / "README.md"), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = io.StringIO()
    runner.run(test, out=report.write)
    assert test.examples and runner.failures == 0, report.getvalue()


def cells(block):
    """(magic line, cell text, expected output) for each "In [n]: %%quorvel" of the block."""
    pattern = r"^In \[\d+\]: (%%quorvel[^\n]*)\n((?:   \.\.\.:[^\n]*\n)*)(.*?)(?=^In \[|\Z)"
    for match in re.finditer(pattern, block, re.M | re.S):
        lines = [line[len("   ...: "):] for line in match[2].splitlines()]
        yield match[1], "\n".join(lines).strip("\n"), match[3].strip("\n")


@pytest.mark.parametrize("block", IPYTHON_BLOCKS)
def test_each_notebook_cell_shows_what_the_readme_shows(capsys, block):
    from IPython.core.interactiveshell import InteractiveShell

    shell = InteractiveShell.instance()
    shell.run_line_magic("load_ext", "quorvel_lab")
    capsys.readouterr()
    shown = list(cells(block))
    assert shown
    for line, cell, expected in shown:
        shell.run_cell(f"{line}\n{cell}\n")
        out, err = capsys.readouterr()
        assert (out + err).strip("\n") == expected, line
