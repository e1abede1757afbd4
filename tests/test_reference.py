"""The README's reference is checked against the sources and the built module.

- Every row of the error tables that has an example is run, and the raised
  class and message must match the row. Rows without an example (failures of
  the operating system, of threads, of sub-interpreters) must at least be
  spelled as in the sources.
- Every message that a source file starts with a literal must be listed.
- The instruction table names exactly the parser's mnemonics, and the
  register list exactly the encoders' registers.
- The commands of the quick start and the example table print what they claim.
"""

import io
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel
from quorvel_cli import main

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
NO_EXAMPLE = "—"


def section(title):
    """The README text under a heading, up to the next heading of the same or a higher level."""
    heading = re.search(rf"^(#+) {re.escape(title)}$", README, re.M)
    assert heading, f"README has no section {title!r}"
    body = README[heading.end():]
    end = re.search(rf"^#{{1,{len(heading[1])}}} ", body, re.M)
    return body[: end.start()] if end else body


def table_rows(text):
    for line in text.splitlines():
        if line.startswith("|") and not line.startswith("|---"):
            yield [cell.strip() for cell in line.strip("|").split("|")]


def code(cell):
    """The text of a Markdown code span, single or double backticks."""
    match = re.fullmatch(r"``\s?(.*?)\s?``|`(.*)`", cell)
    return None if match is None else (match[1] if match[1] is not None else match[2])


def documented_messages():
    rows = []
    for row in table_rows(section("Error messages")):
        message = code(row[0])
        if message is not None:
            rows.append((message, row[1], row[2]))
    return rows


MESSAGES = documented_messages()


def template_regex(template):
    parts = re.split(r"\{\w+\}", template)
    return re.compile("(.+)".join(re.escape(part) for part in parts), re.S)


def source_texts():
    for path in sorted((ROOT / "src").rglob("*")):
        if path.suffix in (".cpp", ".hpp"):
            yield path, path.read_text()


def string_literals():
    literals = []
    for _, text in source_texts():
        text = re.sub(r'R"\((.*?)\)"', "", text, flags=re.S)
        text = re.sub(r"'(?:[^'\\]|\\.)'", "", text)
        text = re.sub(r"//[^\n]*", "", text)
        literals += [bytes(s, "utf-8").decode("unicode_escape") for s in re.findall(r'"((?:[^"\\\n]|\\.)*)"', text)]
    return literals


LITERALS = string_literals()


def test_the_tables_are_not_empty():
    assert len(MESSAGES) > 50
    assert {cls for _, cls, _ in MESSAGES} == {
        "ValueError", "TypeError", "OverflowError", "RuntimeError", "PanicException", "ImportError"
    }


@pytest.mark.parametrize(
    ("message", "cls", "example"),
    [row for row in MESSAGES if row[2] != NO_EXAMPLE],
    ids=lambda value: value if isinstance(value, str) else None,
)
def test_each_example_raises_the_documented_error(monkeypatch, tmp_path, message, cls, example):
    monkeypatch.chdir(tmp_path)
    snippet = code(example)
    assert snippet is not None, f"example of {message!r} is neither code nor {NO_EXAMPLE}"
    q = quorvel.Quorvel()
    with pytest.raises(BaseException) as raised:
        if snippet.startswith(("q.", "quorvel.")):
            eval(snippet, {"q": q, "quorvel": quorvel, "io": io})
        else:
            q.asm(snippet)
            q.execute()
    assert type(raised.value).__name__ == cls
    assert template_regex(message).fullmatch(str(raised.value)), str(raised.value)


@pytest.mark.parametrize("message", [row[0] for row in MESSAGES if row[2] == NO_EXAMPLE])
def test_messages_without_an_example_are_spelled_as_in_the_sources(message):
    pieces = [p.strip() for p in re.split(r"\{\w+\}|[\"'():,]", message)]
    missing = [p for p in pieces if len(p) > 1 and not any(p in literal for literal in LITERALS)]
    assert missing == []


# Calls whose text arguments start or make up a message.
MESSAGE_CALL = re.compile(r"\b(?:value_error|panic_error|raise_panic|numbered|unknown|copy_in|PyErr_SetString)\(([^;]*)")
MESSAGE_START = re.compile(r'std::string(?: message =|\()\s*"([^"]+)"')


def test_every_message_in_the_sources_is_listed():
    starts = set()
    for _, text in source_texts():
        starts.update(MESSAGE_START.findall(text))
        for arguments in MESSAGE_CALL.findall(text):
            starts.update(re.findall(r'"((?:[^"\\]|\\.)*)"', arguments))
    starts = {s for s in starts if len(s) > 2}
    assert len(starts) > 40
    unlisted = sorted(s for s in starts if not any(s in message for message, _, _ in MESSAGES))
    assert unlisted == []


def parser_mnemonics():
    text = (ROOT / "src" / "frontend" / "parser.cpp").read_text()
    table = re.search(r"kMnemonics\[\] = \{(.*?)\n\};", text, re.S)
    assert table
    return set(re.findall(r'\{"(\w+)", Rule::', table[1]))


def test_instruction_table_lists_exactly_the_parser_mnemonics():
    documented = set()
    for row in table_rows(section("Instructions")):
        documented.update(re.findall(r"`(\w+)`", row[0]))
    assert documented == parser_mnemonics()


def test_register_list_is_exactly_the_encoders_table():
    text = (ROOT / "src" / "codegen" / "encoders.cpp").read_text()
    table = re.search(r"kRegisters\[\] = \{(.*?)\};", text, re.S)
    assert table
    encodable = set(re.findall(r'\{"(\w+)", \d+\}', table[1]))
    line = re.search(r"^Encodable, by every instruction above: (.*?)\.\n\n", section("Registers"), re.M | re.S)
    assert line
    assert set(re.split(r",\s*", line[1].replace("\n", " "))) == encodable
    assert len(encodable) == 14


def quick_start_commands():
    block = re.search(r"```sh\n(.*?)```", section("Quick start"), re.S)
    assert block
    return block[1].splitlines()


def test_quick_start_has_the_two_commands():
    install_and_run, tests = quick_start_commands()
    assert install_and_run.startswith("pip install . && quorvel run examples/")
    assert tests == "bash tests/run.sh"


def example_claims():
    claims = [(quick_start_commands()[0].split(" && ")[1], "3628800")]
    for row in table_rows(section("The examples")):
        command = code(row[2])
        if command is not None:
            claims.append((command, row[3]))
    return claims


@pytest.mark.parametrize(("command", "rax"), example_claims())
def test_documented_commands_print_what_the_readme_claims(capsys, monkeypatch, command, rax):
    monkeypatch.chdir(ROOT)
    argv = shlex.split(command)
    if argv[0] == "quorvel":
        assert main(argv[1:]) == 0
        out = capsys.readouterr().out
        assert out.splitlines()[-1] == f"rax = {rax}"
    else:
        assert argv[0] == "python"
        done = subprocess.run([sys.executable, *argv[1:]], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        assert rax in done.stdout
