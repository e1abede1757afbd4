import argparse
import importlib.metadata
import json
import os
import signal
import subprocess
import sys
import time

import pytest

import quorvel
import quorvel_cli
import quorvel_lab
from quorvel_lab import cli
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


@pytest.mark.parametrize(
    ("argv", "registers", "arch"),
    [
        ([], [], None),
        (["--reg", "rax=0x10", "--reg", "rbx=5"], [("rax", 16), ("rbx", 5)], None),
        (["--reg", "rbx=18446744073709551615"], [("rbx", 2**64 - 1)], None),
        (["--reg", "rax=-1"], [("rax", 2**64 - 1)], None),
        (["--arch", "aarch64", "--reg", "rbx=7"], [("rbx", 7)], "aarch64"),
        (["--arch", "x86_64"], [], "x86_64"),
    ],
)
def test_run_prints_the_dump_and_rax(capsys, tmp_path, argv, registers, arch):
    path = program(tmp_path, "add rax, rbx\nadd rax, 1\n")
    status, out, err = run_cli(capsys, "run", path, *argv)
    engine = expected_engine(path, registers, arch)
    assert (status, err) == (0, "")
    assert out == f"{engine.dump_regs()}\nrax = {engine.get('rax')}\n"


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
        (["run"], "xor rdx, rdx\ndiv rdx\n", "quorvel: error: Execution fault: "),
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
        f"{broken}: 2 errors, 1 warning",
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
                   "registers": s.registers, "flags": s.flags} for s in trace.steps],
        "rax": 64,
        "stopped": "completed",
    }


def test_listing_and_trace_print_the_tables(capsys, tmp_path):
    path = program(tmp_path, "mov rax, 2\nadd rax, rbx\n")
    assert run_cli(capsys, "listing", path) == (0, f"{quorvel_lab.listing(path.read_text())}\n", "")
    assert run_cli(capsys, "trace", path, "--reg", "rbx=5") == (
        0, f"{quorvel_lab.trace(path.read_text(), {'rbx': 5})}\n", "")


@pytest.mark.parametrize(("text", "limit"), [("xor rdx, rdx\ndiv rdx\n", "100"), ("spin:\njmp spin\n", "10")])
def test_trace_that_does_not_complete_exits_1(capsys, tmp_path, text, limit):
    status, out, _ = run_cli(capsys, "trace", program(tmp_path, text), "--max-steps", limit)
    assert status == 1
    assert out.splitlines()[-1].startswith("stopped ")


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


@pytest.mark.parametrize("argv", [["run"], ["trace", "--max-steps", "1000000000000"]])
def test_ctrl_c_exits_130_with_one_line(tmp_path, argv):
    path = program(tmp_path, "spin:\njmp spin\n")
    process = subprocess.Popen([sys.executable, "-m", "quorvel_lab", argv[0], str(path), *argv[1:]],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    busy(process.pid, 0.6)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert (process.returncode, out, err) == (130, "", "quorvel: interrupted\n")


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
