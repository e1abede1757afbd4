"""The stepper and the native records: pausing anywhere and going on, what a
paused program shows, and records that compare, pickle and refuse bad values."""

import pickle
import signal
import subprocess
import sys
import textwrap

import pytest

import quorvel
import quorvel_lab
from quorvel_lab import Row, Step, Stepper

COUNTDOWN = "mov rcx, 3\nl:\ndec rcx\njne l\nmov rax, 9"


def executed_rax(source, registers=()):
    engine = quorvel.Quorvel()
    for name, value in dict(registers).items():
        engine.mov(name, value)
    engine.asm(source)
    engine.execute()
    return engine.get("rax")


def test_steps_go_one_statement_at_a_time_and_end_with_none():
    stepper = Stepper(COUNTDOWN)
    assert (stepper.statement, stepper.steps, stepper.stopped, stepper.rax) == (1, 0, None, None)
    taken = []
    while (step := stepper.step()) is not None:
        taken.append((step.step, step.statement, step.registers["rcx"]))
    assert taken == [(1, 1, 3), (2, 3, 2), (3, 4, 2), (4, 3, 1), (5, 4, 1), (6, 3, 0), (7, 4, 0), (8, 5, 0)]
    assert (stepper.stopped, stepper.rax, stepper.statement, stepper.steps) == ("completed", 9, None, 8)
    assert stepper.step() is None


def test_breakpoints_stop_before_their_statement_and_a_label_stands_for_the_next():
    stepper = Stepper(COUNTDOWN)
    stepper.breakpoints.add(2)
    assert [(stepper.run(), stepper.statement, stepper.registers["rcx"]) for _ in range(3)] == [
        ("breakpoint", 3, 3), ("breakpoint", 3, 2), ("breakpoint", 3, 1)]
    assert stepper.steps is None  # a full-speed run does not count
    stepper.breakpoints = []
    assert stepper.run() == "completed"
    assert stepper.registers["rcx"] == 0 and stepper.rax == executed_rax(COUNTDOWN)


@pytest.mark.parametrize(("breakpoints", "error"), [({0}, ValueError), ({99}, ValueError), ({"3"}, TypeError)])
def test_breakpoints_that_name_no_statement_are_refused(breakpoints, error):
    stepper = Stepper(COUNTDOWN)
    stepper.breakpoints = breakpoints
    with pytest.raises(error):
        stepper.run()
    assert stepper.step().statement == 1  # nothing ran


def test_the_stack_shows_what_was_pushed_and_not_popped():
    stepper = Stepper("push rax\npush rbx\ncall f\nf:\npop rcx\npop rcx\npop rcx\npop rcx", {"rax": 1, "rbx": 2})
    depths = []
    while stepper.step() is not None and stepper.stopped is None:
        depths.append((stepper.stack_depth, stepper.stack[:2]))
    assert [depth for depth, _ in depths] == [1, 2, 3, 2, 1, 0, -1]
    assert depths[1][1] == [2, 1] and depths[4][1] == [1]
    assert stepper.stack == [] and stepper.stack_depth == -1


def test_a_paused_stepper_survives_other_runs_and_other_steppers():
    first, second = Stepper(COUNTDOWN), Stepper("mov rax, 5\nadd rax, rax\nadd rax, rax")
    first.run(max_steps=3)
    second.step()
    assert executed_rax("mov rax, 41\nadd rax, 1") == 42
    assert quorvel_lab.trace("push rax\npop rax").rax == 0
    assert (first.run(), first.rax) == ("completed", 9)
    assert (second.run(), second.rax) == ("completed", 20)


def test_ctrl_c_leaves_the_stepper_paused_where_it_was_and_usable():
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        stepper = Stepper("mov rcx, 0\nl:\ninc rcx\npush rcx\npop rcx\njmp l")
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(KeyboardInterrupt):
            stepper.run()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    loop = [3, 4, 5, 6]
    assert stepper.stopped is None and stepper.statement in loop
    counted, start = stepper.registers["rcx"], loop.index(stepper.statement)
    assert counted > 0
    assert [stepper.step().statement for _ in range(4)] == [loop[(start + i) % 4] for i in range(4)]
    assert stepper.run(max_steps=8) == "max_steps"
    assert stepper.registers["rcx"] == counted + 3


def test_a_fault_names_its_statement_and_keeps_the_registers_there():
    stepper = Stepper("mov rax, 7\nmov rcx, 0\ndiv rcx\nmov rax, 1")
    assert stepper.run() == "Execution fault: SIGFPE (integer divide by zero) at code offset 0xa3"
    assert (stepper.statement, stepper.note, stepper.rax) == (3, "in statement 3: div rcx", None)
    assert stepper.registers["rax"] == 7
    assert stepper.step() is None and stepper.run() == stepper.stopped


def test_a_stepper_made_before_a_fork_refuses_to_go_on_in_the_child():
    script = textwrap.dedent(f"""
        import os
        from quorvel_lab import Stepper
        stepper = Stepper({COUNTDOWN!r})
        stepper.step()
        pid = os.fork()
        if pid == 0:
            try:
                stepper.step()
            except ValueError as error:
                os._exit(3 if "fork" in str(error) else 4)
            os._exit(5)
        print(os.waitpid(pid, 0)[1] >> 8, stepper.step().statement)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, check=True)
    assert out.stdout.split() == ["3", "3"]


def test_a_handler_that_runs_the_stepper_again_is_refused():
    stepper = Stepper("l: ;; jmp l")
    seen = []

    def reenter(signum, frame):
        try:
            stepper.step()
        except RuntimeError as error:
            seen.append(str(error))
        raise TimeoutError

    previous = signal.signal(signal.SIGALRM, reenter)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(TimeoutError):
            stepper.run()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert seen and "already running" in seen[0]


def test_dropping_steppers_mid_run_gives_their_memory_back():
    script = textwrap.dedent("""
        import gc
        from quorvel_lab import Stepper
        def mappings():
            with open("/proc/self/maps") as maps:
                return sum(1 for _ in maps)
        def make():
            stepper = Stepper("push rax\\nl: ;; jmp l")
            stepper.run(max_steps=5)
        make(); gc.collect()
        before = mappings()
        for _ in range(200):
            make()
        gc.collect()
        print(mappings() - before)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=True)
    # Each stepper maps its code twice and its stack: 200 kept would show as
    # hundreds; a sanitizer's runtime may map a page or two of its own.
    assert int(out.stdout) <= 4


STEP = Step(3, 2, 4, "add rax, 1", 150, dict.fromkeys(quorvel_lab.REGISTERS, 1) | {"rax": 2**64 - 1},
            {"CF": True, "ZF": False, "SF": True, "OF": False}, stack_depth=2, stack_top=7)


@pytest.mark.parametrize("record", [STEP, Row(1, 2, "nop", 143, b"\x90"), Stepper("nop").step()])
def test_records_pickle_and_compare_by_their_fields(record):
    copy = pickle.loads(pickle.dumps(record))
    assert copy == record and repr(copy) == repr(record)
    assert [getattr(copy, name) for name in type(record).__match_args__] == [
        getattr(record, name) for name in type(record).__match_args__]


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda: Row(-1, 1, "nop", 143, b""), ValueError),
        (lambda: Row(1, 2**32, "nop", 143, b""), ValueError),
        (lambda: Row(1, 1, "nop", 1.5, b""), TypeError),
        (lambda: Step(1, 1, 1, "nop", 143, {"rax": 1}, STEP.flags), ValueError),
        (lambda: Step(1, 1, 1, "nop", 143, STEP.registers | {"rax": -1}, STEP.flags), ValueError),
        (lambda: Step(1, 1, 1, "nop", 143, STEP.registers, {"CF": True}), ValueError),
        (lambda: Step(-1, 1, 1, "nop", 143, STEP.registers, STEP.flags), ValueError),
    ],
)
def test_records_refuse_values_they_cannot_hold(make, error):
    with pytest.raises(error):
        make()


@pytest.mark.parametrize(
    ("registers", "rax"),
    [({"rax": -1}, 2**64 - 1), ([("rax", 5), ("RAX", 6)], 6), ((("rcx", 2),), 0), (iter([("rax", 3)]), 3)],
)
def test_registers_come_as_the_command_line_takes_them(registers, rax):
    assert Stepper("nop", registers).registers["rax"] == rax


def test_a_stream_of_alarms_that_raise_nothing_leaves_a_trace_as_it_was():
    # An alarm that came while a step was being recorded once stopped the run
    # inside the handler, and the run went on from an older state: steps ran twice.
    alarms = []
    previous = signal.signal(signal.SIGALRM, lambda *_: alarms.append(1))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
        trace = quorvel_lab.trace("mov rcx, 0\nl:\ninc rcx\ncmp rcx, 2000\njne l\nmov rax, rcx")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(alarms) > 10
    assert (trace.rax, len(trace.steps)) == (2000, 6002)
    assert [s.registers["rcx"] for s in trace.steps if s.statement == 3] == list(range(1, 2001))
