"""The README's lab section, run: every shell session in it prints what the README shows.

A session is a fenced block whose first line starts with "$ ". `$ cat NAME`
followed by lines creates the file NAME; `$ quorvel ...` runs the command
in a directory where `examples/` is the repository's, and its standard
output followed by its standard error must be the lines up to the next "$ ".
"""

import os
import re
import shlex
from pathlib import Path

import pytest

from quorvel_lab.cli import main

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


BLOCKS = re.findall(r"^```\n(\$ .*?)^```$", lab_section(), re.M | re.S)
QUORVEL_COMMANDS = [[line for line, _ in commands(block) if line.startswith("quorvel ")] for block in BLOCKS]


@pytest.mark.parametrize("block", BLOCKS, ids=[" && ".join(lines) for lines in QUORVEL_COMMANDS])
def test_each_shell_session_prints_what_the_readme_shows(capsys, monkeypatch, tmp_path, block):
    monkeypatch.chdir(tmp_path)
    os.symlink(ROOT / "examples", tmp_path / "examples")
    for command, expected in commands(block):
        argv = shlex.split(command)
        if argv[0] == "cat":
            Path(argv[1]).write_text(expected)
            continue
        assert argv[0] == "quorvel", command
        main(argv[1:])
        out, err = capsys.readouterr()
        assert out + err == expected, command


def test_the_lab_section_has_sessions_for_each_command():
    assert {line.split()[1] for lines in QUORVEL_COMMANDS for line in lines} >= {"listing", "trace", "check"}
