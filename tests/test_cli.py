import argparse
import io
import importlib.metadata
import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

import quorvel
import quorvel_cli
import quorvel_lab
from quorvel_lab import cli, debug
from quorvel_lab.cli import main, parse_assignment, parse_value


def run_cli(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def program(tmp_path, text, name="prog.s"):
    path = tmp_path / name
    path.write_text(text)
    return path


def expected_engine(path, registers=(), arch=None):
    engine = quorvel.Quorvel()
    if arch is not None:
        engine.setup(arch)
    for name, value in registers:
        engine.mov(name, value)
    engine.load_file(str(path))
    engine.execute()
    return engine


def command(*argv, module="quorvel_lab", **options):
    options.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([sys.executable, "-m", module, *map(str, argv)], stderr=subprocess.PIPE, text=True,
                          env=os.environ, timeout=60, **options)


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("0", 0),
        ("007", 7),
        ("0x10", 16),
        ("0XfF", 255),
        ("18446744073709551615", 2**64 - 1),
        ("0xFFFFFFFFFFFFFFFF", 2**64 - 1),
        ("-1", 2**64 - 1),
        ("-0x10", 2**64 - 16),
        ("-0", 0),
        ("-9223372036854775808", 2**63),
    ],
)
def test_values_in_decimal_and_hex(text, value):
    assert parse_value(text) == value


@pytest.mark.parametrize(
    "text",
    ["", "+1", "--1", "-", "0x", "x10", "1.5", "1_000", " 1", "0b101", "18446744073709551616", "0x10000000000000000",
     "-9223372036854775809", "- 1"],
)
def test_bad_values_are_refused(text):
    with pytest.raises(argparse.ArgumentTypeError):
        parse_value(text)


@pytest.mark.parametrize(
    ("text", "pair"),
    [("rcx=10", ("rcx", 10)), ("RBX=0x20", ("RBX", 32)), ("x5=1", ("x5", 1)), ("rbp=-2", ("rbp", 2**64 - 2))],
)
def test_assignments(text, pair):
    assert parse_assignment(text) == pair


@pytest.mark.parametrize("text", ["rcx", "=5", "rcx=", "rcx=zz", "rcx:5", "st0=1", "eax=1", "x31=1", "rax =1"])
def test_bad_assignments_are_refused(text):
    with pytest.raises(argparse.ArgumentTypeError):
        parse_assignment(text)


def test_run_prints_the_arm_dump_when_asked(capsys, tmp_path):
    path = program(tmp_path, "add rax, rbx\nadd rax, 1\n")
    status, out, err = run_cli(capsys, "run", path, "--arch", "aarch64", "--reg", "rbx=-7")
    engine = expected_engine(path, [("rbx", 2**64 - 7)], "aarch64")
    assert (status, err) == (0, "")
    assert out == f"{engine.dump_regs()}\nrax = {engine.get('rax')}\n"


@pytest.mark.parametrize("arch", [[], ["--arch", "x86_64"]])
def test_run_shows_the_registers_and_stack_the_program_left(capsys, tmp_path, arch):
    path = program(tmp_path, "mov rax, rbx\nloop:\ndec rcx\njne loop\npush rax\npush rcx\n")
    status, out, err = run_cli(capsys, "run", path, "--reg", "rbx=5", "--reg", "rcx=3", "--reg", "r8=-1", *arch)
    assert (status, err) == (0, "")
    lines = out.splitlines()
    rows = {line.split()[0]: line.split()[1:] for line in lines[1:15]}
    assert rows["rax"] == ["0x0000000000000005", "5", "*"]
    assert rows["rbx"] == ["0x0000000000000005", "5"]
    assert rows["rcx"] == ["0x0000000000000000", "0", "*"]
    assert rows["r8"] == ["0xffffffffffffffff", str(2**64 - 1)]
    assert rows["rbp"] == ["(frame", "pointer)"]
    assert lines[15:] == ["flags  -- ZF -- --", "stack  2 words, top first", "       0x0000000000000000  0",
                          "       0x0000000000000005  5", "rax = 5"]


def test_run_shows_where_a_fault_left_the_program(capsys, tmp_path):
    path = program(tmp_path, "mov rax, 7\npush rax\nxor rdx, rdx\ndiv rdx\n")
    status, out, err = run_cli(capsys, "run", path)
    assert status == 1
    assert "rax = " not in out and "stack  1 word, top first" in out
    assert err.splitlines() == ["quorvel: error: Execution fault: SIGFPE (integer divide by zero) at code offset 0x9d",
                                "in statement 4: div rdx"]


def test_run_json_is_the_run_record(capsys, tmp_path):
    path = program(tmp_path, "push rbx\nmov rax, 3\nxor rdx, rdx\ndiv rdx\n")
    status, out, _ = run_cli(capsys, "run", path, "--reg", "rbx=2", "--json")
    record = json.loads(out)
    assert status == 1
    assert list(record) == ["rax", "registers", "flags", "stack", "stack_depth", "stopped", "statement", "note",
                            "start"]
    assert (record["rax"], record["stack"], record["stack_depth"], record["statement"], record["note"]) == (
        None, [2], 1, 4, "in statement 4: div rdx")
    assert record["registers"]["rax"] == 3 and record["start"]["rax"] == 0


def test_install_writes_what_install_writes(capsys, tmp_path):
    path = program(tmp_path, "loop:\nadd rax, rcx\ndec rcx\njne loop\n")
    out_file = tmp_path / "cli.bin"
    status, _, _ = run_cli(capsys, "run", path, "--reg", "rcx=0xa", "--install", out_file)
    reference = tmp_path / "module.bin"
    expected_engine(path, [("rcx", 10)]).install(str(reference))
    assert status == 0
    assert out_file.read_bytes() == reference.read_bytes()


@pytest.mark.parametrize(
    ("verbs", "text", "first_line"),
    [
        (["run", "listing", "trace"], "push r11\n", "quorvel: error: Unsupported register: r11"),
        (["run", "listing", "trace"], "nop\n; comment\n\nfoo\n", "quorvel: error: Line 2: Unknown instruction: foo"),
        (["run", "listing", "trace"], "jmp nowhere\n", "quorvel: error: Undefined label: nowhere"),
        (["run", "listing", "trace"], "a:\na:\n", "quorvel: error: Duplicate label: a"),
    ],
)
def test_errors_go_to_stderr_with_status_1(capsys, tmp_path, verbs, text, first_line):
    for verb in verbs:
        status, out, err = run_cli(capsys, verb, program(tmp_path, text))
        assert (status, out) == (1, "")
        assert err.splitlines()[0].startswith(first_line)


@pytest.mark.parametrize("verb", ["run", "check", "listing", "trace"])
def test_missing_program_names_the_file_in_a_note(capsys, tmp_path, verb):
    missing = tmp_path / "absent.s"
    status, out, err = run_cli(capsys, verb, missing)
    assert (status, out) == (1, "")
    assert err.splitlines() == [
        "quorvel: error: File not found: No such file or directory (os error 2)",
        f"reading the program {missing}",
    ]


def test_a_program_that_is_not_utf8_is_refused_as_load_file_refuses_it(capsys, tmp_path):
    path = tmp_path / "latin1.s"
    path.write_bytes(b"nop ; caf\xe9\n")
    with pytest.raises(ValueError) as raised:
        quorvel.Quorvel().load_file(str(path))
    assert run_cli(capsys, "check", path)[2].splitlines()[0] == f"quorvel: error: {raised.value}"


def test_install_failure_comes_after_the_result(capsys, tmp_path):
    target = tmp_path / "no-such-dir" / "out.bin"
    status, out, err = run_cli(capsys, "run", program(tmp_path, "mov rax, 4\n"), "--install", target)
    assert status == 1
    assert out.endswith("rax = 4\n")
    assert err.splitlines()[0].startswith("quorvel: error: Failed to create file: ")
    assert err.splitlines()[1] == f"writing the machine code to {target}"


@pytest.mark.parametrize("text", ["nop\npush r11\n", "nop\n;;\nmov rax, 1 ;; mov r11, 1\n", "a: ;; a:\n"])
def test_run_shows_the_notes_execute_attaches(capsys, tmp_path, text):
    path = program(tmp_path, text)
    engine = quorvel.Quorvel()
    engine.load_file(str(path))
    with pytest.raises(BaseException) as raised:
        engine.execute()
    _, _, err = run_cli(capsys, "run", path)
    assert err.splitlines() == [f"quorvel: error: {raised.value}", *getattr(raised.value, "__notes__", [])]


@pytest.mark.parametrize(
    "argv",
    [[], ["run"], ["frobnicate", "x.s"], ["run", "x.s", "--reg", "rax=zz"], ["run", "x.s", "--reg", "rax"],
     ["run", "x.s", "--reg", "st0=1"], ["trace", "x.s", "--reg", "eax=1"], ["listing", "x.s", "--reg", "x31=0"],
     ["run", "x.s", "--arch", "mips"], ["run", "x.s", "--bogus"], ["check"], ["listing"],
     ["check", "x.s", "--reg", "rax=1"], ["trace", "x.s", "--max-steps", "-1"], ["trace", "x.s", "--max-steps", "x"],
     ["run", "x.s", "--timeout", "0"], ["run", "x.s", "--timeout", "soon"], ["run", "x.s", "--timeout", "inf"]],
)
def test_usage_errors_exit_2(capsys, argv):
    with pytest.raises(SystemExit) as exited:
        main(argv)
    assert exited.value.code == 2
    assert "usage: quorvel" in capsys.readouterr().err


@pytest.mark.parametrize("verb", ["run", "listing", "trace"])
def test_registers_the_program_never_sees_are_named_on_stderr(capsys, tmp_path, verb):
    path = program(tmp_path, "add rax, 1\n")
    registers = ["--reg", "RBP=5", "--reg", "RAX=2", "--reg", "x5=1", "--reg", "r11=0"]
    status, out, err = run_cli(capsys, verb, path, *registers)
    assert status == 0 and out
    assert [line.split()[2] for line in err.splitlines()] == ["RBP", "x5", "r11"]
    assert all(line.startswith("quorvel: warning: ") for line in err.splitlines())


def test_check_lists_every_diagnostic_and_fails_only_on_errors(capsys, tmp_path):
    broken = program(tmp_path, "nop\npush r11\n\nshl rax, 3\nfoo\n")
    status, out, err = run_cli(capsys, "check", broken)
    diagnostics = quorvel_lab.check(broken.read_text())
    assert (status, err) == (1, "")
    assert out.splitlines() == [
        *(f"{broken}:{d.line}: {d.severity}: {d.message} (statement {d.statement})" for d in diagnostics),
        f"{broken}: 2 errors, 2 warnings",
    ]
    risky = program(tmp_path, "shl rax, 3\n", "risky.s")
    assert run_cli(capsys, "check", risky)[0] == 0


def test_check_does_not_run_the_program(capsys, tmp_path):
    path = program(tmp_path, "xor rdx, rdx\ndiv rdx\n")
    assert run_cli(capsys, "check", path) == (0, f"{path}: ok\n", "")
    assert run_cli(capsys, "run", path)[0] == 1


def test_json_keeps_the_api_field_names(capsys, tmp_path):
    path = program(tmp_path, "mov rax, 2\nloop:\nadd rax, rcx ; sum\ndec rcx\njne loop\nshl rax, 3\npush r11\n")
    status, out, _ = run_cli(capsys, "check", path, "--json")
    assert status == 1
    assert json.loads(out) == [
        {"statement": d.statement, "line": d.line, "severity": d.severity, "message": d.message}
        for d in quorvel_lab.check(path.read_text())
    ]
    path.write_text(path.read_text().replace("push r11\n", ""))
    listing = quorvel_lab.listing(path.read_text(), {"rcx": 3})
    assert json.loads(run_cli(capsys, "listing", path, "--reg", "rcx=3", "--json")[1]) == {
        "code": listing.code.hex(),
        "rows": [{"statement": r.statement, "line": r.line, "text": r.text, "offset": r.offset, "data": r.data.hex()}
                 for r in listing.rows],
    }
    trace = quorvel_lab.trace(path.read_text(), {"rcx": 3})
    assert json.loads(run_cli(capsys, "trace", path, "--reg", "rcx=3", "--json")[1]) == {
        "steps": [{"step": s.step, "statement": s.statement, "line": s.line, "text": s.text, "offset": s.offset,
                   "registers": s.registers, "flags": s.flags, "stack_depth": s.stack_depth,
                   "stack_top": s.stack_top} for s in trace.steps],
        "rax": 64,
        "stopped": "completed",
        "statement": None,
        "note": None,
    }


def test_listing_and_trace_print_the_tables(capsys, tmp_path):
    path = program(tmp_path, "mov rax, 2\nadd rax, rbx\n")
    assert run_cli(capsys, "listing", path) == (0, f"{quorvel_lab.listing(path.read_text())}\n", "")
    status, out, err = run_cli(capsys, "trace", path, "--reg", "rbx=5")
    # Streamed rows are as wide as any step of the program may need, so only the spacing differs.
    expected = str(quorvel_lab.trace(path.read_text(), {"rbx": 5}))
    assert (status, err) == (0, "")
    assert [line.split() for line in out.splitlines()] == [line.split() for line in expected.splitlines()]


@pytest.mark.parametrize(
    ("text", "limit", "ending"),
    [("xor rdx, rdx\ndiv rdx\n", "100", ["stopped after 1 step: Execution fault: SIGFPE (integer divide by zero) at "
                                         "code offset 0x92", "in statement 2: div rdx"]),
     ("spin:\njmp spin\n", "10", ["stopped at the step limit, after 10 steps"])],
)
def test_trace_that_does_not_complete_exits_1(capsys, tmp_path, text, limit, ending):
    status, out, _ = run_cli(capsys, "trace", program(tmp_path, text), "--max-steps", limit)
    assert status == 1
    assert out.splitlines()[-len(ending):] == ending


def test_version_is_the_distribution_version(capsys):
    with pytest.raises(SystemExit):
        main(["--version"])
    try:
        version = importlib.metadata.version("quorvel")
    except importlib.metadata.PackageNotFoundError:
        version = quorvel.version()
    assert capsys.readouterr().out == f"quorvel {version}\n"


@pytest.mark.parametrize("module", ["quorvel_lab", "quorvel_cli"])
def test_module_entry_points_and_stdin(module):
    ok = command("run", "-", "--reg", "rax=-2", module=module, input="add rax, 3\n")
    bad = command("run", module=module)
    assert (ok.returncode, ok.stdout.splitlines()[-1]) == (0, "rax = 1")
    assert bad.returncode == 2
    assert quorvel_cli.main is main


def busy(pid, seconds):
    """Wait until process `pid` has used `seconds` of processor time: it is past start-up, running the program."""
    ticks = os.sysconf("SC_CLK_TCK") * seconds
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        if int(fields[11]) + int(fields[12]) >= ticks:
            return
        time.sleep(0.05)
    raise AssertionError("the program never got busy")


def test_ctrl_c_exits_130_with_one_line(tmp_path):
    path = program(tmp_path, "spin:\njmp spin\n")
    process = subprocess.Popen([sys.executable, "-m", "quorvel_lab", "run", str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    busy(process.pid, 0.6)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert (process.returncode, out, err) == (130, "", "quorvel: interrupted\n")


def endless_trace(tmp_path):
    path = program(tmp_path, "spin:\nadd rax, 1\njmp spin\n")
    return subprocess.Popen([sys.executable, "-m", "quorvel_lab", "trace", str(path), "--max-steps", "10000000000"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def test_trace_streams_its_rows_and_ctrl_c_keeps_every_row_that_ran(tmp_path):
    process = endless_trace(tmp_path)
    # Unbuffered reads, so that communicate() below gets every byte after them.
    seen = b""
    while seen.count(b"\n") < 2:
        seen += os.read(process.stdout.fileno(), 4096)
    header, first = seen.decode().splitlines()[:2]
    assert header.split()[:2] == ["step", "stmt"] and first.split()[:5] == ["1", "2", "2", "0x8f", "add"]
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert (process.returncode, err) == (130, b"quorvel: interrupted\n")
    # Every row printed before the interrupt is kept, in order (a row cut short at the end is not counted).
    rows = (seen + out).decode().splitlines(keepends=True)[1:]
    numbers = [int(row.split()[0]) for row in rows if row.endswith("\n")]
    assert numbers == list(range(1, len(numbers) + 1))


def test_trace_into_head_ends_quietly_at_once(tmp_path):
    process = endless_trace(tmp_path)
    # What `| head -n 3` does: read three lines, then close the pipe.
    reader = "import sys\nfor _ in range(3): sys.stdout.write(sys.stdin.readline())"
    head = subprocess.run([sys.executable, "-c", reader], stdin=process.stdout, capture_output=True, text=True,
                          timeout=30)
    process.stdout.close()
    assert process.wait(timeout=30) == cli.EXIT_BROKEN_PIPE
    assert process.stderr.read() == b""
    assert [line.split()[0] for line in head.stdout.splitlines()] == ["step", "1", "2"]


@pytest.mark.parametrize("argv", [["listing"], ["listing", "--json"], ["trace"]])
def test_a_closed_pipe_ends_the_command_quietly(tmp_path, argv):
    path = program(tmp_path, "nop\n" * 30000)
    process = subprocess.Popen([sys.executable, "-m", "quorvel_lab", argv[0], str(path), *argv[1:]],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.read(10)
    process.stdout.close()
    err = process.stderr.read()
    assert (process.wait(timeout=60), err) == (cli.EXIT_BROKEN_PIPE, b"")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("argv", [["run"], ["listing"], ["check"], ["trace", "--json"]])
def test_a_full_disk_gives_one_error_line(tmp_path, argv):
    path = program(tmp_path, "mov rax, 1\n")
    with open("/dev/full", "w") as full:
        done = command(argv[0], path, *argv[1:], stdout=full)
    assert (done.returncode, done.stderr) == (1, "quorvel: error: cannot write the output: No space left on device\n")


@pytest.mark.parametrize(("limit", "said"), [("0.2", "0.2 seconds"), ("1", "1 second")])
def test_timeout_stops_an_endless_program(capsys, tmp_path, limit, said):
    handler = signal.getsignal(signal.SIGALRM)
    path = program(tmp_path, "spin:\n    jmp spin\n")
    status, out, err = run_cli(capsys, "run", path, "--timeout", limit)
    assert (status, out) == (1, "")
    assert err == f"quorvel: error: the program ran longer than {said}\n"
    assert signal.getsignal(signal.SIGALRM) is handler
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)


def test_timeout_leaves_a_quick_program_alone(capsys, tmp_path):
    path = program(tmp_path, "mov rax, 3\n")
    status, out, _ = run_cli(capsys, "run", path, "--timeout", "5")
    assert status == 0 and out.endswith("rax = 3\n")


def debug_session(capsys, monkeypatch, tmp_path, text, typed, *argv):
    monkeypatch.setattr("sys.stdin", io.StringIO(typed))
    status, out, err = run_cli(capsys, "debug", program(tmp_path, text), *argv)
    assert (status, err) == (0, "")
    return out.splitlines()


def test_debug_answers_every_command_and_refuses_bad_ones(capsys, monkeypatch, tmp_path):
    typed = "bogus\nbreak x\nbreak 99\nbreak 4\nb\nstep 2\n\nstep zz\ncontinue\ncontinue\nstep\n"
    lines = debug_session(capsys, monkeypatch, tmp_path, "mov rax, 7\nmov rcx, 0\nnop\nnop\ndiv rcx\nnop", typed)
    assert lines[:3] == ["next: statement 1 (line 1): mov rax, 7", "(quorvel) bogus",
                         "unknown command 'bogus'; the commands are:"]
    answers = [line for line in lines[3 + len(debug.HELP.splitlines()):] if not line.startswith("(quorvel)")]
    fault = ["stopped: Execution fault: SIGFPE (integer divide by zero) at code offset 0xa5", "in statement 5: div rcx"]
    assert answers == [
        "break takes a statement number, not 'x'",
        f"there is no statement 99: {tmp_path / 'prog.s'} has 6",
        "breakpoint at statement 4 (line 4): nop",
        "breakpoints: 4",
        "stmt  line  offset  text        flags        changed",
        "   1     1    0x8f  mov rax, 7  -- -- -- --  rax=7",
        "   2     2    0x99  mov rcx, 0  -- -- -- --",
        "next: statement 3 (line 3): nop",
        "   3     3    0xa3  nop         -- -- -- --",  # the empty line steps 2 again, past the breakpoint
        "   4     4    0xa4  nop         -- -- -- --",
        "next: statement 5 (line 5): div rcx",
        "step takes a number of statements, not 'zz'",
        *fault,
        "the program has ended",
        "the program has ended",
    ]
    assert lines[-1] == "(quorvel) "  # the end of the input ends the line and the session


def test_debug_ctrl_c_pauses_an_endless_loop_and_the_session_goes_on(tmp_path):
    path = program(tmp_path, "mov rcx, 7\nspin:\nadd rax, 1\njmp spin\n")
    process = subprocess.Popen([sys.executable, "-m", "quorvel_lab", "debug", str(path)], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stdin.write("continue\n")
    process.stdin.flush()
    busy(process.pid, 0.6)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate("regs\nquit\n", timeout=30)
    assert (process.returncode, err) == (0, "")
    lines = out.splitlines()
    at = lines.index("interrupted")
    assert re.fullmatch(r"next: statement [34] \(line [34]\): (add rax, 1|jmp spin)", lines[at + 1])
    registers = {line.split()[0]: line.split()[1:] for line in lines[at + 3:at + 17]}
    assert registers["rcx"] == ["0x0000000000000007", "7", "*"] and int(registers["rax"][1]) > 1000
