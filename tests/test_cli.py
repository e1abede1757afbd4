import argparse
import os
import subprocess
import sys

import pytest

import quorvel
import quorvel_cli
from quorvel_cli import main, parse_assignment, parse_value


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


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("0", 0),
        ("42", 42),
        ("007", 7),
        ("0x10", 16),
        ("0XfF", 255),
        ("18446744073709551615", 2**64 - 1),
        ("0xFFFFFFFFFFFFFFFF", 2**64 - 1),
    ],
)
def test_values_in_decimal_and_hex(text, value):
    assert parse_value(text) == value


@pytest.mark.parametrize(
    "text", ["", "-1", "+1", "0x", "x10", "1.5", "1_000", " 1", "0b101", "18446744073709551616", "0x10000000000000000"]
)
def test_bad_values_are_refused(text):
    with pytest.raises(argparse.ArgumentTypeError):
        parse_value(text)


@pytest.mark.parametrize(("text", "pair"), [("rcx=10", ("rcx", 10)), ("RBX=0x20", ("RBX", 32)), ("x5=1", ("x5", 1))])
def test_assignments(text, pair):
    assert parse_assignment(text) == pair


@pytest.mark.parametrize("text", ["rcx", "=5", "rcx=", "rcx=zz", "rcx:5"])
def test_bad_assignments_are_refused(text):
    with pytest.raises(argparse.ArgumentTypeError):
        parse_assignment(text)


@pytest.mark.parametrize(
    ("argv", "registers", "arch"),
    [
        ([], [], None),
        (["--reg", "rax=0x10", "--reg", "rbx=5"], [("rax", 16), ("rbx", 5)], None),
        (["--reg", "rbx=18446744073709551615"], [("rbx", 2**64 - 1)], None),
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


def test_run_dump_follows_arch(capsys, tmp_path):
    path = program(tmp_path, "nop\n")
    _, arm, _ = run_cli(capsys, "run", path, "--arch", "aarch64")
    _, x86, _ = run_cli(capsys, "run", path)
    assert arm.startswith("=== ARM64 Registers ===\n")
    assert x86.startswith("=== x86-64 Registers ===\n")


def test_install_writes_what_install_writes(capsys, tmp_path):
    path = program(tmp_path, "loop:\nadd rax, rcx\ndec rcx\njne loop\n")
    out_file = tmp_path / "cli.bin"
    status, _, _ = run_cli(capsys, "run", path, "--reg", "rcx=0xa", "--install", out_file)
    reference = tmp_path / "module.bin"
    expected_engine(path, [("rcx", 10)]).install(str(reference))
    assert status == 0
    assert out_file.read_bytes() == reference.read_bytes()
    assert len(out_file.read_bytes()) > 157


@pytest.mark.parametrize(
    ("text", "argv", "first_line"),
    [
        ("push r11\n", [], "quorvel: error: Unsupported register: r11"),
        ("nop\n; comment\n\nfoo\n", [], "quorvel: error: Line 2: Unknown instruction: foo"),
        ("jmp nowhere\n", [], "quorvel: error: Undefined label: nowhere"),
        ("nop\n", ["--reg", "st0=1"], "quorvel: error: Unknown register: st0"),
        ("a:\na:\n", [], "quorvel: error: Errors were encountered when committing before finalization: "),
        ("xor rdx, rdx\ndiv rdx\n", [], "quorvel: error: Execution fault: "),
    ],
)
def test_errors_go_to_stderr_with_status_1(capsys, tmp_path, text, argv, first_line):
    status, out, err = run_cli(capsys, "run", program(tmp_path, text), *argv)
    assert (status, out) == (1, "")
    assert err.splitlines()[0].startswith(first_line)


def test_missing_program_names_the_file_in_a_note(capsys, tmp_path):
    missing = tmp_path / "absent.s"
    status, out, err = run_cli(capsys, "run", missing)
    assert (status, out) == (1, "")
    assert err.splitlines() == [
        "quorvel: error: File not found: No such file or directory (os error 2)",
        f"reading the program {missing}",
    ]


def test_install_failure_names_the_output_in_a_note(capsys, tmp_path):
    target = tmp_path / "no-such-dir" / "out.bin"
    status, out, err = run_cli(capsys, "run", program(tmp_path, "nop\n"), "--install", target)
    assert (status, out) == (1, "")
    assert err.splitlines()[0].startswith("quorvel: error: Failed to create file: ")
    assert err.splitlines()[1] == f"writing the machine code to {target}"


def test_report_prints_every_note_after_the_message(capsys):
    error = ValueError("Unsupported register: r11")
    error.add_note("in statement 3: push r11")
    error.add_note("second note")
    quorvel_cli.report(error)
    assert capsys.readouterr().err == "quorvel: error: Unsupported register: r11\nin statement 3: push r11\nsecond note\n"


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
     ["run", "x.s", "--arch", "mips"], ["run", "x.s", "--bogus"], ["check"],
     ["run", "x.s", "--timeout", "0"], ["run", "x.s", "--timeout", "-1"], ["run", "x.s", "--timeout", "soon"],
     ["run", "x.s", "--timeout", "inf"]],
)
def test_usage_errors_exit_2(capsys, argv):
    with pytest.raises(SystemExit) as exited:
        main(argv)
    assert exited.value.code == 2
    assert "usage: quorvel" in capsys.readouterr().err


def test_check_reports_ok_without_running(capsys, tmp_path):
    # Running this program faults; checking it must not run it.
    path = program(tmp_path, "xor rdx, rdx\ndiv rdx\n")
    assert run_cli(capsys, "check", path) == (0, f"{path}: ok\n", "")
    assert run_cli(capsys, "run", path)[0] == 1


@pytest.mark.parametrize(
    "text",
    [
        "foo\n",
        "nop\n# note\n\nnop ;; bar\n",
        "mov rax, 1\nshl rax\n",
        "mov rax, 1\nlea rax, [rbx*4]\n",
        "mov rax, 1\nmov rax,5\n",
        "nop\npush r11\n",
        "loop:\njmp loop\njmp nowhere\n",
        "a:\nnop\na:\n",
    ],
)
def test_check_reports_the_same_error_as_run(capsys, tmp_path, text):
    path = program(tmp_path, text)
    checked = run_cli(capsys, "check", path)
    ran = run_cli(capsys, "run", path)
    assert checked[0] == ran[0] == 1
    assert checked[2] == ran[2]


@pytest.mark.parametrize(
    ("text", "shifted"),
    [
        ("Line 2: Unknown instruction: foo", "Line 1: Unknown instruction: foo"),
        ("Line 12: shr requires count", "Line 11: shr requires count"),
        ("in statement 10: push r11", "in statement 9: push r11"),
        ("Invalid shift count", "Invalid shift count"),
        ("Undefined label: Line 5: x", "Undefined label: Line 5: x"),
    ],
)
def test_check_shifts_only_leading_statement_numbers(text, shifted):
    assert quorvel_cli._shift(text) == shifted


def test_module_entry_point(tmp_path):
    path = program(tmp_path, "mov rax, 6\nadd rax, 0\n")
    ok = subprocess.run([sys.executable, "-m", "quorvel_cli", "run", str(path)], capture_output=True, text=True,
                        env=os.environ)
    bad = subprocess.run([sys.executable, "-m", "quorvel_cli", "run"], capture_output=True, text=True, env=os.environ)
    assert (ok.returncode, ok.stdout.splitlines()[-1]) == (0, "rax = 6")
    assert bad.returncode == 2


def test_timeout_stops_an_endless_program(capsys, tmp_path):
    import signal

    handler = signal.getsignal(signal.SIGALRM)
    path = program(tmp_path, "spin:\n    jmp spin\n")
    status, out, err = run_cli(capsys, "run", path, "--timeout", "0.2")
    assert (status, out) == (1, "")
    assert err == "quorvel: error: the program ran longer than 0.2 seconds\n"
    assert signal.getsignal(signal.SIGALRM) is handler
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)


def test_timeout_leaves_a_quick_program_alone(capsys, tmp_path):
    path = program(tmp_path, "mov rax, 3\n")
    status, out, _ = run_cli(capsys, "run", path, "--timeout", "5")
    assert status == 0 and out.endswith("rax = 3\n")
