import random
import re
import signal

import pytest

import quorvel
import quorvel_lab
from quorvel_lab import Diagnostic

BAD_STATEMENTS = [
    "push r11",
    "foo rax",
    "jmp nowhere",
    "call 4096",
    "shl rax, cl",
    "rol rax, 200",
    "ror rax",
    "lea rax, [rbx]",
    "lea rax, [rbx*4]",
    "add rbx, rcx",
    "mov rax, 0x10",
    "mov rax",
    "mov r11, 1",
    "mul rsp",
    "shl r11, 2",
    "add eax, 1",
    "pushq rax",
]
GOOD_STATEMENTS = ["mov rax, 1", "add rax, rbx", "dec rcx", "jne top", "nop", "push rax", "pop rbx", ".text", "ret"]


def execute_error(statement):
    """What execute() says about `statement` on its own, without the "Line 1: " of parse errors."""
    engine = quorvel.Quorvel()
    engine.asm(statement)
    with pytest.raises(ValueError) as raised:
        engine.execute()
    return re.sub(r"^Line 1: ", "", str(raised.value))


@pytest.mark.parametrize("seed", range(12))
def test_check_reports_every_error_where_it_stands(seed):
    rng = random.Random(seed)
    statements = ["top:"] + rng.sample(GOOD_STATEMENTS, 5) + rng.sample(BAD_STATEMENTS, 6) + ["top:"]
    rng.shuffle(statements)
    lines, expected, line = [], [], 1
    for number, statement in enumerate(statements, 1):
        joined = bool(lines) and rng.random() < 0.3
        if joined:
            lines[-1] += f" ;; {statement}"
        else:
            if rng.random() < 0.3:
                lines.append(rng.choice(["", "; a comment", "# a note"]))
            lines.append(statement)
        line = len(lines)
        if statement in BAD_STATEMENTS:
            expected.append(Diagnostic(number, line, "error", execute_error(statement)))
        elif statement == "top:" and statements.index("top:") < number - 1:
            expected.append(Diagnostic(number, line, "error", "Duplicate label: top"))
    errors = [d for d in quorvel_lab.check("\n".join(lines)) if d.severity == "error"]
    assert errors == expected


@pytest.mark.parametrize(
    ("source", "statement", "pattern"),
    [
        ("nop\nadd rax, 5000000000", 2, r"^add rax, 5000000000: the processor adds 705032704$"),
        ("sub rbx, 2147483648", 1, r"-2147483648\b"),
        ("test r9, 4294967295", 1, r"-1\b"),
        ("nop\n\nshl rax, 3", 2, r"\brcx\b|\bcl\b"),
        ("rcr rbx, 0", 1, r"\brcx\b|\bcl\b"),
        ("call f\nnop\nf:\nret", 4, r"\bret\b"),
        (".L1:\njmp .L1", 1, r"\.L1"),
        (".section .text", 1, r"\.section"),
        ("push rax rbx", 1, r"\brbx\b"),
        ("nop\nmov rax,5", 2, r"'rax,5' is one operand.*space after the comma"),
        ("mov rbp, 5", 1, r"^mov rbp, 5: writes rbp, the frame pointer"),
        ("push rbp\nmov rbp, rax\npop rax", 2, r"writes rbp"),
        ("shl rbp, 1", 1, r"writes rbp"),
        ("nop\npop rbx", 2, r"^pop rbx: pops more than was pushed .*\(0 words pushed, 1 popped\)"),
        ("push rax\ncall f\nf:\npop rbx\npop rcx\npop rdx", 6, r"\(2 words pushed, 3 popped\)"),
        ("jmp x\ny:\npop rbx\nx:\njmp y", 3, r"^pop rbx: pops more"),
    ],
)
def test_check_warns_about_silent_traps(source, statement, pattern):
    warnings = [d for d in quorvel_lab.check(source) if d.severity == "warning"]
    assert [d.statement for d in warnings] == [statement]
    assert re.search(pattern, warnings[0].message), warnings[0].message


def test_check_flags_a_byte_order_mark_and_the_unknown_mnemonic_it_makes():
    diagnostics = quorvel_lab.check("\ufeffmov rax, 1\nnop")
    assert {(d.statement, d.severity) for d in diagnostics} == {(1, "error"), (1, "warning")}
    assert [d.message for d in diagnostics if d.severity == "error"] == [execute_error("\ufeffmov rax, 1")]


@pytest.mark.parametrize(
    "source",
    ["shl rax, 1", "mov rax, 5000000000", "add rax, 2147483647", "nop\nret", "top:\ndec rcx\njne top",
     ".text\n.global main\nmain:\n_start", "", "; only a comment\n\n", "push rax\npop rbx",
     "call f\nf:\npop rbx", "cmp rax, 1\nje x\npop rbx\nx:", "ret\npop rbx", "top:\npush rax\njmp top",
     "push rbp\npop rax"],
)
def test_check_is_silent_about_clean_programs(source):
    assert quorvel_lab.check(source) == []


@pytest.mark.parametrize(
    ("statement", "hint"),
    [
        ("mov rax, 0x10", "immediates are written in decimal digits only, so write 16 for 0x10"),
        ("add rbx, 1_000", "immediates are written in decimal digits only, so write 1000 for 1_000"),
        ("mov rax, -1", "so write 18446744073709551615 for -1 (its 64-bit two's complement)"),
        ("mov rax, 1.5", "'1.5' is not a whole number of 64 bits"),
        ("mov rax, -9223372036854775809", "is below -9223372036854775808"),
        ("shl rax, 0x3", "a count is written in decimal digits, from -128 to 127: write 3 for 0x3"),
        ("rol rax, 200", "a count is written in decimal digits, from -128 to 127"),
        ("mov eax, 5", "only the 64-bit register names exist: 'eax' is part of rax, write rax"),
        ("add rax, BX", "'BX' is part of rbx, write rbx"),
        ("inc r9w", "'r9w' is part of r9"),
        ("mov ah, 1", "'ah' is part of rax"),
        ("shl r15b, 1", "'r15b' is part of r15"),
        ("dec esp", "'esp' is part of rsp, which a program cannot name: the 14 registers it can name are rax, "),
        ("push r11", "a program cannot name r11"),
        ("mov rbx, rcx", "this pair of registers has no encoding; the forms are mov r64, imm64; mov rax, r64; "
                         "mov r64, rax; mov rcx, rcx; mov rdx, rdx; mov rbx, rbx (r64: any of the 14 registers); "
                         "push rcx then pop rbx copies without touching rax"),
        ("sub r8, rbx", "the forms are sub r64, imm32; sub rax, r64; sub r64, rax; sub rcx, rcx; sub rdx, rdx; "
                        "sub rbx, rbx (r64: any of the 14 registers)"),
        ("imul rcx, rdx", "the forms are imul rax, r64; imul r64, rax;"),
    ],
)
def test_check_adds_a_hint_to_the_errors_a_learner_meets_first(statement, hint):
    diagnostics = quorvel_lab.check(f"nop\n{statement}")
    assert [(d.statement, d.severity) for d in diagnostics] == [(2, "error"), (2, "warning")]
    assert diagnostics[0].message == execute_error(statement).removeprefix("Line 2: ")
    assert diagnostics[1].message.startswith(f"{statement}: ") and hint in diagnostics[1].message


@pytest.mark.parametrize("source", ["nop\npush r11", "nop\nfoo", "jmp nowhere", "nop ;; lea rax, [rbx]", "shl rax, cl"])
def test_listing_raises_what_execute_raises(source):
    engine = quorvel.Quorvel()
    engine.asm(source)
    with pytest.raises(ValueError) as executed:
        engine.execute()
    with pytest.raises(ValueError) as listed:
        quorvel_lab.listing(source)
    assert str(listed.value) == str(executed.value)
    assert getattr(listed.value, "__notes__", []) == getattr(executed.value, "__notes__", [])


@pytest.mark.parametrize(
    ("registers", "error"),
    [({"st0": 1}, ValueError), ({"eax": 1}, ValueError), ({"rax": -(1 << 63) - 1}, OverflowError),
     ({"rax": 1 << 64}, OverflowError), ({5: 1}, TypeError), ({"rax": 1.5}, TypeError), ("rax", TypeError),
     ([("rax",)], TypeError), (7, TypeError)],
)
def test_bad_registers_are_refused_like_mov(registers, error):
    for call in (quorvel_lab.listing, quorvel_lab.trace):
        with pytest.raises(error):
            call("nop", registers)


def test_registers_go_into_the_frame_and_unloaded_ones_change_nothing():
    plain = quorvel_lab.listing("nop").code
    assert quorvel_lab.listing("nop", {"RBP": 5, "r11": 6, "x3": 7}).code == plain
    assert quorvel_lab.listing("nop", {"Rcx": 7}).code == quorvel_lab.listing("nop", {"rcx": 7}).code != plain


def test_trace_stops_cleanly_at_a_fault_and_goes_on_working():
    trace = quorvel_lab.trace("mov rax, 7\nxor rdx, rdx\ndiv rdx\nmov rax, 1")
    assert [step.text for step in trace.steps] == ["mov rax, 7", "xor rdx, rdx"]
    assert trace.rax is None
    assert re.fullmatch(r"Execution fault: SIGFPE \(.*\) at code offset 0x9c", trace.stopped)
    assert quorvel_lab.trace("mov rax, 3").rax == 3


@pytest.mark.parametrize("limit", [0, 1, 57])
def test_trace_step_limit(limit):
    trace = quorvel_lab.trace("spin:\nadd rax, 1\njmp spin", max_steps=limit)
    assert (len(trace.steps), trace.rax, trace.stopped) == (limit, None, "max_steps")
    assert [step.step for step in trace.steps] == list(range(1, limit + 1))


def test_trace_refuses_a_negative_step_limit():
    with pytest.raises(ValueError):
        quorvel_lab.trace("nop", max_steps=-1)


def interrupt(signum, frame):
    raise KeyboardInterrupt


def test_what_a_signal_handler_raises_ends_an_endless_trace():
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(KeyboardInterrupt):
            quorvel_lab.trace("spin:\njmp spin", max_steps=10**12)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert quorvel_lab.trace("mov rax, 2").rax == 2


def test_tables_show_bytes_changes_and_flags():
    listing = quorvel_lab.listing("mov rax, 5\nloop:\n  add rax, 1 ; <one>")
    lines = str(listing).splitlines()
    assert lines[1].split() == ["1", "1", "0x8f", "48", "b8", "05", "00", "00", "00", "00", "00", "00", "00", "mov",
                                "rax,", "5"]
    assert lines[2].split() == ["2", "2", "0x99", "loop:"]
    assert lines[3].split()[:9] == ["3", "3", "0x99", "48", "05", "01", "00", "00", "00"]
    assert "&lt;one&gt;" in listing._repr_html_() and "<one>" not in listing._repr_html_()

    trace = quorvel_lab.trace("add rax, 1\nxor rdx, rdx\ncmp rax, 7", {"rax": 5, "rdx": 3})
    rows = [line.split() for line in str(trace).splitlines()]
    assert rows[1][-5:] == ["--", "--", "--", "--", "rax=6"]
    assert rows[2][-5:] == ["--", "ZF", "--", "--", "rdx=0"]
    assert rows[3][-4:] == ["CF", "--", "SF", "--"]
    assert str(trace).endswith("completed after 3 steps: rax = 6")


def test_html_leaves_out_the_middle_of_a_long_trace():
    trace = quorvel_lab.trace("spin:\nadd rax, 1\njmp spin", max_steps=5000)
    assert len(str(trace).splitlines()) == 5002
    assert "4000 rows not shown" in trace.steps._repr_html_()
    assert trace.steps._repr_html_().count("<tr>") == 1002


@pytest.mark.parametrize(
    ("source", "note"),
    [
        ("mov rbp, 5", r"from rbp: rbp holds 0x5, not the frame's 0x[0-9a-f]+; statement 1 \(mov rbp, 5\)"),
        ("push rax\nnop\nadd rbp, 8\nmov rbp, rax", r"holds 0, not the frame's 0x[0-9a-f]+; statements? (3 and )?4 "),
        ("pop rbx\npop rbx\npop rbx", r"pops the caller's registers .*: the program popped 3 more words than it"),
    ],
)
def test_a_fault_in_the_epilogue_says_what_the_program_did_to_the_frame(source, note):
    for result in (quorvel_lab.run(source), quorvel_lab.trace(source)):
        assert result.stopped.startswith("Execution fault: SIGSEGV") and result.statement is None
        assert re.match(rf"in the epilogue, which .*{note}", result.note), result.note


def test_run_returns_the_state_the_program_left():
    result = quorvel_lab.run("mov rax, rbx\nloop:\ndec rcx\njne loop\npush rax\npush rcx\npop rdx",
                             [("rbx", -2), ("RCX", 3)])
    assert (result.rax, result.stopped, result.statement, result.note) == (2**64 - 2, "completed", None, None)
    assert (result.stack, result.stack_depth) == ([2**64 - 2], 1)
    assert result.registers["rcx"] == result.registers["rdx"] == 0 and result.flags["ZF"]
    assert result.changed() == ["rax", "rcx"]
    assert str(result).endswith(f"rax = {2**64 - 2}")
    popped = quorvel_lab.run("pop rbx\npop rcx")
    assert (popped.stack, popped.stack_depth) == ([], -2)
    assert "2 words more popped than pushed" in str(popped)


@pytest.mark.parametrize(("breakpoints", "stops"), [({2, 3}, [2, 3]), ({1, 2}, [1, 2]), ({1, 3}, [1, 3])])
def test_breakpoints_on_consecutive_statements_each_stop(breakpoints, stops):
    stepper = quorvel_lab.Stepper("nop\nnop\nnop\nnop")
    stepper.breakpoints = breakpoints
    assert [(stepper.run(), stepper.statement) for _ in stops] == [("breakpoint", stop) for stop in stops]
