"""Hazardous programs run in a child process, so a failing guard cannot take
the test runner down. Each child reports what execute() raised, then proves
that the interpreter and the object still work."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = textwrap.dedent("""
    import signal, sys
    import quorvel

    q = quorvel.Quorvel()
    {setup}
    q.mov("rbx", 0x1111)
    q.mov("r12", 0x2222)
    q.asm({program!r})
    before = q.dump_regs()
    print("ready", flush=True)
    try:
        q.execute()
        print("result", hex(q.get()))
    except BaseException as error:
        print("raised", type(error).__name__, error)
    print("unchanged" if q.dump_regs() == before else "changed")
    q.clear()
    q.asm("mov rax, 41 ;; add rax, 1")
    q.execute()
    print("after", q.get(), q.get("rbx"), q.get("r12"))
    print("python", sum(range(10)), [i * i for i in range(4)])
""")


def run_child(program, setup="", send_signal=None, timeout=30):
    code = CHILD.format(program=program, setup=setup)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    if send_signal is not None:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)
        child.send_signal(send_signal)
    try:
        out, err = child.communicate(timeout=timeout)
    finally:
        child.kill()
    assert child.returncode == 0, err
    lines = [line for line in out.splitlines() if line != "ready"]
    assert lines[-2:] == ["after 42 4369 8738", "python 45 [0, 1, 4, 9]"], out + err
    return lines[0], lines[1]


POPS = " ;; ".join(["pop rax"] * 40)
PUSH_LOOP = "top: ;; push rax ;; jmp top"


@pytest.mark.parametrize(
    ("program", "expected"),
    [
        ("mov rax, 7 ;; mov rcx, 0 ;; div rcx",
         "raised ValueError Execution fault: SIGFPE (integer divide by zero) at code offset 0xa3"),
        (POPS, "raised ValueError Execution fault: SIGSEGV (access not permitted: 0x"),
        ("mov rbp, 16", "raised ValueError Execution fault: SIGSEGV (address not mapped: 0x10)"),
        (PUSH_LOOP, "raised ValueError Execution fault: SIGSEGV (access not permitted: 0x"),
    ],
)
def test_faults_become_value_errors(program, expected):
    outcome, registers = run_child(program)
    assert outcome.startswith(expected)
    assert registers == "unchanged"


def test_pops_past_the_frame_then_pushes_leave_the_host_intact():
    program = " ;; ".join(["mov rax, 99"] + ["pop rcx"] * 7 + ["push rax"] * 7 + ["mov rax, 5"])
    outcome, registers = run_child(program)
    # The pushes overwrote the saved frame and the return address with 99:
    # the epilogue returns to address 0x63, which faults outside the code.
    assert outcome == "raised ValueError Execution fault: SIGSEGV (address not mapped: 0x63)"
    assert registers == "unchanged"


def test_unbalanced_pushes_return_correct_results():
    outcome, registers = run_child("push rax ;; push rbx ;; push rcx ;; mov rax, 3 ;; add rax, rbx")
    assert outcome == "result 0x1114"
    assert registers == "changed"  # rax holds the result


def test_ctrl_c_stops_an_endless_loop():
    outcome, registers = run_child("spin: ;; jmp spin", send_signal=signal.SIGINT)
    assert outcome == "raised KeyboardInterrupt "
    assert registers == "unchanged"


def test_alarm_handler_exception_propagates():
    setup = ("def on_alarm(signum, frame):\n    raise TimeoutError('took too long')\n"
             "signal.signal(signal.SIGALRM, on_alarm)\nsignal.setitimer(signal.ITIMER_REAL, 0.2)")
    outcome, registers = run_child("spin: ;; jmp spin", setup=setup)
    assert outcome == "raised TimeoutError took too long"
    assert registers == "unchanged"


def test_handler_that_raises_nothing_gives_value_error():
    setup = "signal.signal(signal.SIGALRM, lambda *args: None)\nsignal.setitimer(signal.ITIMER_REAL, 0.2)"
    outcome, _ = run_child("spin: ;; jmp spin", setup=setup)
    assert outcome == "raised ValueError Execution interrupted by signal SIGALRM"


def test_fault_keeps_the_code_for_install(q, tmp_path):
    q.asm("mov rcx, 0 ;; div rcx")
    with pytest.raises(ValueError, match=r"^Execution fault: SIGFPE"):
        q.execute()
    path = tmp_path / "code.bin"
    q.install(str(path))
    code = path.read_bytes()
    assert len(code) == 157 + 10 + 3
    assert code[143:156] == bytes.fromhex("48b90000000000000000" "48f7f1")


def test_signal_mask_and_handlers_are_restored(q):
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
    handlers = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGALRM)}
    q.asm("mov rcx, 0 ;; div rcx")
    for _ in range(3):
        with pytest.raises(ValueError):
            q.execute()
    q.clear()
    q.execute()
    assert signal.pthread_sigmask(signal.SIG_BLOCK, []) == mask
    assert {s: signal.getsignal(s) for s in handlers} == handlers


def test_faults_outside_execute_still_crash_as_before():
    code = "import ctypes, quorvel\nq = quorvel.Quorvel()\nq.execute()\nctypes.string_at(0)"
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=30)
    assert child.returncode == -signal.SIGSEGV


def test_sigterm_default_action_is_kept_during_a_run():
    code = ("import os, quorvel, threading\nq = quorvel.Quorvel()\nq.asm('spin: ;; jmp spin')\n"
            "print('ready', flush=True)\nq.execute()")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(0.3)
    child.send_signal(signal.SIGTERM)
    try:
        child.wait(timeout=30)
    finally:
        child.kill()
    assert child.returncode == -signal.SIGTERM


def test_signal_during_generation_is_not_lost():
    # The alarm fires while a long program is being generated, before the
    # endless loop at its end starts: the run must not begin.
    setup = ("def on_alarm(signum, frame):\n    raise TimeoutError('took too long')\n"
             "q.asm('nop\\n' * 1000000)\n"
             "signal.signal(signal.SIGALRM, on_alarm)\nsignal.setitimer(signal.ITIMER_REAL, 0.01)")
    outcome, registers = run_child("spin: ;; jmp spin", setup=setup, timeout=120)
    assert outcome == "raised TimeoutError took too long"
    assert registers == "unchanged"
