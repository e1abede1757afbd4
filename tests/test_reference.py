"""The README's reference, checked through what the built module does.

- Every row of the error tables is provoked: rows with an example by running
  it, the others by a small program in a child process (threads, signals,
  sub-interpreters, an exhausted address space). The raised class and message
  must match the row.
- A sweep of bad programs and bad calls may raise only documented errors.
- The instruction table names exactly the words the parser knows: each of them
  parses, and every other x86 or ARM mnemonic is an unknown instruction.
- The register list names exactly the registers the encoders accept, for every
  instruction form that takes a register.
- The commands of the quick start and the example table print what they claim,
  and every other example prints what the README shows: each `$ quorvel ...`
  command, each statement of the Python examples that the README gives a
  value or output for, and the notebook session.
"""

import ast
import contextlib
import functools
import io
import os
import re
import shlex
import subprocess
import sys
import textwrap
import tokenize
from pathlib import Path

import pytest

try:
    import capstone
    from capstone import arm64_const, x86_const
except ImportError:
    capstone = None
needs_capstone = pytest.mark.skipif(
    capstone is None, reason="the disassembler capstone is not installed (pip install capstone)")

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


def is_documented_as(class_name, text):
    return any(cls == class_name and template_regex(message).fullmatch(text) for message, cls, _ in MESSAGES)


def is_documented(error):
    return is_documented_as(type(error).__name__, str(error))


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


# Rows without an example, each provoked by a program run in a child process
# that reports what it raised with report(). The child starts with
# CHILD_PRELUDE.
CHILD_PRELUDE = """\
import os, resource, signal, sys, threading
import quorvel

def report(error):
    print(type(error).__name__)
    print(str(error))

def errors_with_little_room(prepare):
    \"\"\"Calls what prepare() returns under an address-space cap that leaves
    0, 1, 2 ... pages of room, until the call succeeds, and reports each
    different error on the way except MemoryError.\"\"\"
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    seen = set()
    for pages in range(1 << 16):
        call = prepare()
        with open("/proc/self/status") as status:
            mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (mapped + pages * resource.getpagesize(), hard))
        try:
            call()
            return
        except MemoryError:
            pass
        except BaseException as error:
            if (type(error), str(error)) not in seen:
                seen.add((type(error), str(error)))
                report(error)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
"""

# Each mapping of a first run (its stack, its code pages, the thread's signal
# stack) fails in turn as the room grows.
FIRST_RUN_WITH_LITTLE_ROOM = """
    def first_run():
        q = quorvel.Quorvel()
        q.asm("nop")
        return q.execute
    errors_with_little_room(first_run)
"""

TRIGGERS = {
    "Execution stack creation failed: {error}": FIRST_RUN_WITH_LITTLE_ROOM,
    # Without the signal stack a sanitizer gives the thread.
    "Signal stack creation failed: {error}": """
    import ctypes
    class Stack(ctypes.Structure):
        _fields_ = [("sp", ctypes.c_void_p), ("flags", ctypes.c_int), ("size", ctypes.c_size_t)]
    ctypes.CDLL(None).sigaltstack(ctypes.byref(Stack(None, 2, 0)), None)  # SS_DISABLE
""" + FIRST_RUN_WITH_LITTLE_ROOM,
    "Assembler creation failed: {error}": FIRST_RUN_WITH_LITTLE_ROOM,
    "Could not allocate a larger buffer: {error}": """
        def longer_program():
            q = quorvel.Quorvel()
            q.asm("nop")
            q.execute()
            q.asm("mov rax, 1\\n" * 500)  # 5000 bytes of code: more than the first run's pages
            return q.execute
        errors_with_little_room(longer_program)
    """,
    "Execution interrupted by signal {signal}": """
        signal.signal(signal.SIGALRM, lambda *args: None)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        q = quorvel.Quorvel()
        q.asm("spin: ;; jmp spin")
        try:
            q.execute()
        except BaseException as error:
            report(error)
    """,
    "Failed to read file: {reason}": """
        try:
            quorvel.Quorvel().load_file("/proc/self/mem")  # opens, but reading offset 0 fails
        except BaseException as error:
            report(error)
    """,
    "Failed to read file: stream did not contain valid UTF-8": """
        with open("bad.s", "wb") as bad:
            bad.write(b"nop\\n\\xff")
        try:
            quorvel.Quorvel().load_file("bad.s")
        except BaseException as error:
            report(error)
    """,
    "Already borrowed": """
        q = quorvel.Quorvel()
        class Reader:
            def read(self):
                try:
                    q.clear()
                except BaseException as error:
                    report(error)
                return b""
        q.asm("", Reader())
    """,
    "Already mutably borrowed": """
        q = quorvel.Quorvel()
        class Reader:
            def read(self):
                try:
                    q.get("rax")
                except BaseException as error:
                    report(error)
                return b""
        q.asm("", Reader())
    """,
    "quorvel::Quorvel is unsendable, but sent to another thread": """
        q = quorvel.Quorvel()
        def use():
            try:
                q.get("rax")
            except BaseException as error:
                report(error)
        thread = threading.Thread(target=use)
        thread.start()
        thread.join()
    """,
    "quorvel::Quorvel is unsendable, but is being dropped on another thread": """
        sys.unraisablehook = lambda info: report(info.exc_value)
        holder = [quorvel.Quorvel()]
        thread = threading.Thread(target=holder.clear)
        thread.start()
        thread.join()
    """,
    "quorvel does not support sub-interpreters: it can only be imported in the main interpreter": """
        import _testcapi
        read_end, write_end = os.pipe()
        _testcapi.run_in_subinterp(f'''
        import os
        try:
            import quorvel
        except BaseException as error:
            os.write({write_end}, (type(error).__name__ + "\\\\n" + str(error)).encode())
        ''')
        os.close(write_end)
        cls, _, text = os.read(read_end, 4096).decode().partition("\\n")
        print(cls)
        print(text)
    """,
}

# Switching the code pages between writable and executable fails only when
# the system refuses mprotect on pages it has already mapped.
# A protection switch that fails, and a C++ failure other than running out
# of memory, have no cause a program or a call can bring about.
NOT_PROVOKABLE = {"Could not swap buffer protection modes: {error}",
                  "An unidentified internal failure stopped the operation"}


# Children import the module under test, wherever the working directory.
CHILD_ENV = {
    **os.environ,
    "PYTHONPATH": os.pathsep.join(
        [str(Path(quorvel.__file__).resolve().parent)]
        + [os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry]
    ),
}


def test_every_row_without_an_example_has_a_trigger():
    without_example = {message for message, _, example in MESSAGES if example == NO_EXAMPLE}
    assert without_example - NOT_PROVOKABLE == set(TRIGGERS)


@pytest.mark.parametrize(
    ("message", "cls"),
    [(message, cls) for message, cls, example in MESSAGES if message in TRIGGERS],
    ids=lambda value: value if isinstance(value, str) and " " in value else None,
)
def test_each_row_without_an_example_is_provoked(tmp_path, message, cls):
    program = CHILD_PRELUDE + textwrap.dedent(TRIGGERS[message])
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, cwd=tmp_path,
                          env=CHILD_ENV, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines and len(lines) % 2 == 0, done.stdout + done.stderr
    reported = list(zip(lines[::2], lines[1::2]))
    assert any(name == cls and template_regex(message).fullmatch(text) for name, text in reported), reported
    assert all(is_documented_as(name, text) for name, text in reported), reported


def instruction_words():
    documented = set()
    for row in table_rows(section("Instructions")):
        documented.update(re.findall(r"`(\w+)`", row[0]))
    return documented


INSTRUCTIONS = instruction_words()


def generation_error(program):
    """The error of parsing and encoding the program, or None. A leading `ret`
    ends the run before the first statement, so nothing of it executes."""
    q = quorvel.Quorvel()
    q.asm("ret ;; " + program)
    try:
        q.execute()
    except KeyboardInterrupt:
        raise
    except BaseException as error:  # the panic exception is a BaseException
        return error
    return None


def is_unknown_instruction(word):
    error = generation_error(word)
    return error is not None and str(error) == f"Line 2: Unknown instruction: {word.lower()}"


def test_every_documented_instruction_is_known_in_any_case():
    assert len(INSTRUCTIONS) > 60
    unknown = sorted(word for word in INSTRUCTIONS for spelled in (word, word.upper()) if is_unknown_instruction(spelled))
    assert unknown == []


X86_CONDITIONS = "o no b c nae ae nb nc e z ne nz be na a nbe s ns p pe np po l nge ge nl le ng g nle".split()
ARM_CONDITIONS = "eq ne cs hs cc lo mi pl vs vc hi ls ge lt gt le al nv".split()


@functools.cache
def mnemonics():
    """Every x86 and ARM64 mnemonic the independent disassembler knows, with
    the AT&T size suffixes and the condition-code spellings it does not list."""
    x86 = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_64)
    arm64 = capstone.Cs(capstone.CS_ARCH_ARM64, capstone.CS_MODE_ARM)
    x86_names = {x86.insn_name(i) for i in range(1, x86_const.X86_INS_ENDING)}
    names = x86_names | {arm64.insn_name(i) for i in range(1, arm64_const.ARM64_INS_ENDING)}
    names |= {name + suffix for name in x86_names for suffix in "bwlq"}
    names |= {prefix + condition for prefix in ("j", "set", "cmov") for condition in X86_CONDITIONS}
    names |= {prefix + condition for prefix in ("b", "b.") for condition in ARM_CONDITIONS}
    return names


@needs_capstone
def test_every_other_mnemonic_is_an_unknown_instruction():
    # Broad enough to hold every documented word, so that a word the parser
    # knows but the table leaves out is found here.
    assert INSTRUCTIONS <= mnemonics()
    known = sorted(word for word in mnemonics() - INSTRUCTIONS if not is_unknown_instruction(word))
    assert known == []


def documented_registers():
    line = re.search(r"^Encodable, by every instruction above: (.*?)\.\n\n", section("Registers"), re.M | re.S)
    assert line
    return set(re.split(r",\s*", line[1].replace("\n", " ")))


REGISTERS = documented_registers()

# Every statement form that names a register, with {r} for it.
REGISTER_FORMS = (
    [f"{op} {{r}}, 1" for op in ("mov", "movl", "movq", "add", "sub", "and", "or", "xor", "cmp", "test")]
    + [f"{op} {{r}}, {count}" for op in ("shl", "sal", "shr", "sar", "rol", "ror", "rcl", "rcr") for count in (1, 3)]
    + [f"{op} {{r}}" for op in ("imul", "mul", "div", "inc", "dec", "neg", "not", "push", "pop")]
    + [form for op in ("mov", "movl", "movq", "add", "sub", "and", "or", "xor", "cmp", "test", "imul")
       for form in (f"{op} rax, {{r}}", f"{op} {{r}}, rax")]
)


@functools.cache
def candidate_registers():
    """Register names of both architectures as the disassembler spells them,
    and the documented names written the ways the README says fail."""
    x86 = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_64)
    arm64 = capstone.Cs(capstone.CS_ARCH_ARM64, capstone.CS_MODE_ARM)
    names = {x86.reg_name(i) for i in range(1, x86_const.X86_REG_ENDING)}
    names |= {arm64.reg_name(i) for i in range(1, arm64_const.ARM64_REG_ENDING)}
    for name in REGISTERS:
        names |= {name, name.upper(), name.capitalize(), f"%{name}", f"${name}"}
    return sorted(names)


@needs_capstone
@pytest.mark.parametrize("form", REGISTER_FORMS)
def test_register_list_is_what_the_encoders_accept(form):
    assert len(REGISTERS) == 14
    accepted = {name for name in candidate_registers() if generation_error(form.format(r=name)) is None}
    assert accepted == REGISTERS


# Operand texts for the sweep: good ones, and each kind of bad one the
# reference mentions.
SWEEP_OPERANDS = [
    "", "rax", "rbx", "r11", "rsp", "eax", "RAX", "%rax", "x0", "nowhere", "rax, rbx", "rbx, rcx", "rax, r11",
    "rax, 1", "r11, 1", "eax, 1", "rax, 0x10", "rax, -1", "rax, $5", "rax, 2", "rax, 200", "rax, -129", "rax, cl",
    "rax, 18446744073709551616", "rax, [rbx]", "[rbx], rax", "rax, [rbx+foo]", "rax, [rbx*4]", "rax, [rip+0xZZ]",
    "rax, [rip+0b2]", "rax, [rip+x]", "rax, [rax+rbx*x]", "rax, [rax+rbx*x+8]", "rax, (%rax+8)",
    "rax, (%rax,%rbx,x)", "rax, -8(%rbp)", "rax, [rbx", "rax, rbx,",
]

SWEEP_PROGRAMS = [
    "a: ;; a:", "a: ;; b: ;; b: ;; a:", "jmp a ;; a: ;; a:", "foo:bar", ".data ;; _start ;; .global main",
]


def test_bad_programs_raise_only_documented_errors():
    undocumented = []
    for word in sorted(INSTRUCTIONS) + ["pushq", "syscall"]:
        for operands in SWEEP_OPERANDS:
            error = generation_error(f"{word} {operands}")
            if error is not None and not is_documented(error):
                undocumented.append(f"{word} {operands}: {error}")
    for program in SWEEP_PROGRAMS:
        error = generation_error(program)
        if error is not None and not is_documented(error):
            undocumented.append(f"{program}: {error}")
    assert undocumented == []


# Faults raised while a program runs.
FAULTING_PROGRAMS = [
    "xor rdx, rdx ;; div rdx",
    "mov rax, 10 ;; mov rdx, 5 ;; mov rbx, 2 ;; div rbx",
]


@pytest.mark.parametrize("program", FAULTING_PROGRAMS)
def test_runtime_faults_are_documented(program):
    q = quorvel.Quorvel()
    q.asm(program)
    with pytest.raises(ValueError) as raised:
        q.execute()
    assert is_documented(raised.value), str(raised.value)


# Argument lists for the sweep of calls: missing, surplus and mistyped
# arguments, unknown names, and addresses and sizes at and past the ends.
SWEEP_CALLS = [
    ((), {}), (("rax",), {}), (("st0",), {}), (("eax", 1), {}), (("x31", 1), {}), (("rax", 1.0), {}),
    (("rax", 1, 2), {}), (("rax", 1, 2, 3), {}), ((1,), {}), ((None,), {}), ((0, 3), {}), ((0, 256), {}),
    ((10485760, 1), {}), ((10485759, 2), {}), ((10485761,), {}), ((0, 1, 3), {}), ((10485760, 1, 8), {}),
    ((10485759, b"ab"), {}), ((0, "ab"), {}), ((0, 5), {}), ((0, [1, 256]), {}), ((b"ab", 10485759), {}),
    (("/nonexistent/x.bin", 0, 1), {}), (("unused.bin", 10485760, 1), {}), (("/nonexistent.s",), {}),
    (("/dev/null", 10485760), {}), (("unused.bin",), {}), (("", io.BytesIO(b"\xff")), {}),
    ((), {"name": "rax"}), (("rbx",), {"register": "rcx"}), ((), {"nonsense": 1}),
]


def is_the_interpreters_own(method, args, kwargs, error):
    """The two errors the reference leaves to the interpreter: arguments given
    to a method without parameters (bound like any builtin method's), and a
    `file` for asm() that has no `read`."""
    try:
        [].clear(*args, **kwargs)
    except TypeError as builtin:
        if str(builtin).replace("list.clear()", f"Quorvel.{method}()") == str(error):
            return type(error) is TypeError
    if method == "asm" and type(error) is AttributeError:
        file = args[1] if len(args) > 1 else kwargs.get("file")
        try:
            file.read  # the lookup's own error is the expected one
        except AttributeError as lookup:
            return str(lookup) == str(error)
    return False


def test_bad_calls_raise_only_documented_errors(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    methods = [name for name in dir(quorvel.Quorvel) if not name.startswith("_")]
    assert len(methods) == 26
    undocumented = []
    for method in methods:
        for args, kwargs in SWEEP_CALLS:
            try:
                getattr(quorvel.Quorvel(), method)(*args, **kwargs)
            except KeyboardInterrupt:
                raise
            except BaseException as error:  # every class is checked against the tables
                if not (is_documented(error) or is_the_interpreters_own(method, args, kwargs, error)):
                    undocumented.append(f"{method}{args}{kwargs}: {type(error).__name__}: {error}")
    assert undocumented == []


def quick_start_commands():
    block = re.search(r"```sh\n(.*?)```", section("Quick start"), re.S)
    assert block
    return block[1].splitlines()


def test_quick_start_makes_a_venv_installs_runs_and_tests():
    venv, install_and_run, tests = quick_start_commands()
    assert venv == "python3 -m venv .venv && . .venv/bin/activate"
    assert install_and_run.startswith("pip install . && quorvel run examples/")
    assert tests == "bash tests/run.sh"


def example_rows():
    return [(code(row[0]), code(row[2]), row[3]) for row in table_rows(section("The examples")) if code(row[2])]


def example_claims():
    claims = [(quick_start_commands()[1].split(" && ")[1], "3628800")]
    return claims + [(command, rax) for _, command, rax in example_rows() if rax != NO_EXAMPLE]


def test_every_example_file_is_in_the_table_and_shown():
    assert {file for file, _, _ in example_rows()} == {
        f"examples/{path.name}" for path in (ROOT / "examples").iterdir() if path.suffix in (".s", ".py")}
    shown = set(re.findall(r"^\$ (quorvel .*)$", README, re.M))
    assert all(command in shown for _, command, rax in example_rows() if rax == NO_EXAMPLE)


@pytest.mark.parametrize(("command", "rax"), example_claims())
def test_documented_commands_print_what_the_readme_claims(capsys, monkeypatch, command, rax):
    assert re.fullmatch(r"\d+", rax), f"the README claims no result for {command!r}"
    monkeypatch.chdir(ROOT)
    argv = shlex.split(command)
    if argv[0] == "quorvel":
        assert main(argv[1:]) == 0
        out = capsys.readouterr().out
        assert out.splitlines()[-1] == f"rax = {rax}"
    else:
        assert argv[0] == "python"
        done = subprocess.run([sys.executable, *argv[1:]], capture_output=True, text=True, env=CHILD_ENV)
        assert done.returncode == 0, done.stderr
        # The scripts end with the last rax they computed, as "... = N".
        assert done.stdout.splitlines()[-1].endswith(f" = {rax}"), done.stdout


def code_blocks(language):
    """The README's fenced code blocks of the language ("" for plain ones), in order."""
    blocks, lines, info = [], None, ""
    for line in README.splitlines(keepends=True):
        if not line.startswith("```"):
            if lines is not None:
                lines.append(line)
        elif lines is None:
            lines, info = [], line[3:].strip()
        else:
            if info == language:
                blocks.append("".join(lines))
            lines = None
    return blocks


def console_examples():
    """Each `$ quorvel ...` line of the README's plain code blocks, with the lines shown after it; the
    lab's sessions, which show files and feed the debugger, are run by test_readme_lab.py."""
    lab = section("The lab: listing, trace, run, debug, check")
    examples = []
    for block in code_blocks(""):
        if block in lab:
            continue
        for chunk in re.split(r"^(?=\$ )", block, flags=re.M):
            if chunk.startswith("$ "):
                command, *shown = chunk[2:].splitlines()
                examples.append((command, shown))
    return examples


def quorvel_command():
    """The installed command when the quorvel under test was installed with it, else the module."""
    script = Path(sys.prefix, "bin", "quorvel")
    if script.exists() and Path(quorvel.__file__).resolve().is_relative_to(Path(sys.prefix).resolve()):
        return [str(script)]
    return [sys.executable, "-m", "quorvel_lab"]


@pytest.mark.parametrize(("command", "shown"), console_examples(), ids=lambda value: value if isinstance(value, str) else None)
def test_each_console_example_prints_what_the_readme_shows(command, shown):
    argv = shlex.split(command)
    assert argv[0] == "quorvel"
    done = subprocess.run(quorvel_command() + argv[1:], capture_output=True, text=True, cwd=ROOT, env=CHILD_ENV)
    assert (done.stdout + done.stderr).splitlines() == shown


def claims_after_statements(block):
    """The block's top-level statements, each with the comment that states its
    value or output: the comment ending its last line, or the comment lines
    right after it."""
    comments = {token.start[0]: (token.string[1:].strip(), token.line.lstrip().startswith("#"))
                for token in tokenize.generate_tokens(io.StringIO(block).readline) if token.type == tokenize.COMMENT}
    lines = block.splitlines()
    for statement in ast.parse(block).body:
        claim = comments.get(statement.end_lineno, (None, True))
        if claim[1]:  # no comment after the code on its last line
            following = []
            for number in range(statement.end_lineno + 1, len(lines) + 1):
                if number not in comments or not comments[number][1]:
                    break
                following.append(comments[number][0])
            claim = ("\n".join(following) or None, True)
        yield statement, claim[0]


def matches(claim, text):
    """A claim starts with the text, and may explain it after a colon or a space."""
    return claim == text or (claim.startswith(text) and claim[len(text)] in ": ")


@pytest.mark.parametrize("block", code_blocks("python"), ids=lambda block: block.split("\n", 1)[0])
def test_each_python_example_gives_the_values_the_readme_states(monkeypatch, tmp_path, block):
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    monkeypatch.chdir(tmp_path)
    namespace = {}
    checked = 0
    for statement, claim in claims_after_statements(block):
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            if isinstance(statement, ast.Expr):
                value = eval(compile(ast.Expression(statement.value), "README", "eval"), namespace)
            else:
                exec(compile(ast.Module([statement], []), "README", "exec"), namespace)
                value = None
        if claim is None:
            continue
        if printed.getvalue():
            assert matches(claim, printed.getvalue().rstrip("\n")), ast.unparse(statement)
        elif value is not None:
            assert matches(claim, repr(value)), ast.unparse(statement)
        else:
            continue  # a comment on a statement without a value says what it does
        checked += 1
    assert checked > 0
