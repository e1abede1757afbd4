"""Hazardous programs run in a child process, so a failing guard cannot take
the test runner down. Each child reports what execute() raised, then proves
that the interpreter and the object still work."""

import os
import resource
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
        for note in getattr(error, "__notes__", []):
            print("note", note)
    print("unchanged" if q.dump_regs() == before else "changed")
    q.clear()
    q.asm("mov rax, 41 ;; add rax, 1")
    q.execute()
    print("after", q.get(), q.get("rbx"), q.get("r12"))
    print("python", sum(range(10)), [i * i for i in range(4)])
""")


def spawn(code, send_signal=None, timeout=30):
    """Runs `code` in a child, sending `send_signal` once it prints "ready"
    (a line left out of its output); returns its exit status, stdout and stderr."""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    before = ""
    if send_signal is not None:
        while (line := child.stdout.readline()) not in ("ready\n", ""):
            before += line
        time.sleep(0.3)
        child.send_signal(send_signal)
    try:
        out, err = child.communicate(timeout=timeout)
    finally:
        child.kill()
    return child.returncode, before + out, err


def run_child(program, setup="", send_signal=None, timeout=30, notes=None, stderr=None):
    """The child's outcome line and whether its registers changed; `notes`
    and `stderr`, if given as lists, receive the error's notes and the
    child's error output."""
    status, out, err = spawn(CHILD.format(program=program, setup=setup), send_signal, timeout)
    assert status == 0, err
    lines = [line for line in out.splitlines() if line != "ready"]
    assert lines[-2:] == ["after 42 4369 8738", "python 45 [0, 1, 4, 9]"], out + err
    if notes is not None:
        notes.extend(line[len("note "):] for line in lines if line.startswith("note "))
    if stderr is not None:
        stderr.append(err)
    lines = [line for line in lines if not line.startswith("note ")]
    return lines[0], lines[1]


POPS = " ;; ".join(["pop rax"] * 40)
PUSH_LOOP = "top: ;; push rax ;; jmp top"
# The frame's return address becomes x + 28, the immediate of the mov at
# offset 174: its first bytes, 0f 0b (2831), are ud2.
UD2_BY_RETURN = ("call x ;; x: ;; pop rax ;; add rax, 28 ;; " + "pop rcx ;; " * 7 + "push rax ;; " * 7 +
                 "jmp out ;; mov rbx, 2831 ;; out:")


@pytest.mark.parametrize(
    ("program", "expected"),
    [
        ("mov rax, 7 ;; mov rcx, 0 ;; div rcx",
         "raised ValueError Execution fault: SIGFPE (integer divide by zero) at code offset 0xa3"),
        (POPS, "raised ValueError Execution fault: SIGSEGV (access not permitted: 0x"),
        ("mov rbp, 16", "raised ValueError Execution fault: SIGSEGV (address not mapped: 0x10)"),
        (PUSH_LOOP, "raised ValueError Execution fault: SIGSEGV (access not permitted: 0x"),
        (UD2_BY_RETURN, "raised ValueError Execution fault: SIGILL (illegal instruction) at code offset 0xb0"),
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
             "q.asm('nop\\n' * 8000000)\n"
             "signal.signal(signal.SIGALRM, on_alarm)\nsignal.setitimer(signal.ITIMER_REAL, 0.2)")
    outcome, registers = run_child("spin: ;; jmp spin", setup=setup, timeout=120)
    assert outcome == "raised TimeoutError took too long"
    assert registers == "unchanged"


@pytest.mark.parametrize(
    ("registers", "program", "expected", "note"),
    [
        ("q.mov('rdx', 5)\nq.mov('rax', 10)\nq.mov('rsi', 2)", "div rsi",
         "raised ValueError Execution fault: SIGFPE (integer division overflow) at code offset 0x8f",
         "in statement 1: div rsi"),
        ("", "nop\nmov rcx, 0 ; divisor\ndiv rcx",
         "raised ValueError Execution fault: SIGFPE (integer divide by zero) at code offset 0x9a",
         "in statement 3: div rcx"),
        ("", "l:\npush rax\njmp l",
         "raised ValueError Execution fault: SIGSEGV (access not permitted: 0x", "in statement 2: push rax"),
    ],
)
def test_faults_name_their_reason_and_statement(registers, program, expected, note):
    notes = []
    outcome, _ = run_child(program, setup=registers, notes=notes)
    assert outcome.startswith(expected)
    assert notes == [note]


def test_a_fault_in_the_epilogue_has_no_statement():
    notes = []
    outcome, _ = run_child("mov rbp, 16", notes=notes)
    assert outcome == "raised ValueError Execution fault: SIGSEGV (address not mapped: 0x10) at code offset 0xa5"
    assert notes == []


@pytest.mark.parametrize(
    "program",
    [
        "mov rcx, 140000 ;; p: ;; push rax ;; dec rcx ;; jne p ;; mov rcx, 140000 ;; q: ;; pop rax ;; dec rcx ;; jne q",
        "mov rcx, 140000 ;; call f ;; jmp done ;; f: ;; dec rcx ;; je done ;; call f ;; done:",
    ],
    ids=["pushes-then-pops", "recursion"],
)
@pytest.mark.parametrize("stack_limit", ["", "unlimited"])
def test_deep_balanced_stacks_run_as_on_a_thread_stack(program, stack_limit):
    setup = ""
    if stack_limit:
        if resource.getrlimit(resource.RLIMIT_STACK)[1] != resource.RLIM_INFINITY:
            pytest.skip("the hard stack limit is not unlimited")
        setup = "import resource\nresource.setrlimit(resource.RLIMIT_STACK, (resource.RLIM_INFINITY,) * 2)"
    outcome, _ = run_child(program + " ;; mov rax, 7", setup=setup)
    assert outcome == "result 0x7"


@pytest.mark.parametrize(
    "setup",
    [
        "q.execute()\nsignal.signal(signal.SIGFPE, lambda *args: None)",
        "import faulthandler\nq.execute()\nfaulthandler.enable()",
        "import faulthandler\nfaulthandler.enable()\nq.execute()\nfaulthandler.disable()\nfaulthandler.enable()",
    ],
    ids=["python-handler", "faulthandler", "faulthandler-again"],
)
def test_fault_handlers_installed_after_a_run_do_not_take_the_fault(setup):
    stderr = []
    outcome, registers = run_child("mov rax, 7 ;; mov rcx, 0 ;; div rcx", setup=setup, stderr=stderr, timeout=20)
    assert outcome == "raised ValueError Execution fault: SIGFPE (integer divide by zero) at code offset 0xa3"
    assert registers == "unchanged"
    assert "Fatal Python error" not in stderr[0]


def test_faults_outside_execute_still_reach_faulthandler():
    code = ("import ctypes, faulthandler, quorvel\nq = quorvel.Quorvel()\nq.asm('push rax')\nq.execute()\n"
            "faulthandler.enable()\nq.execute()\nctypes.string_at(0)")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert child.returncode == -signal.SIGSEGV
    assert child.stderr.count("Fatal Python error: Segmentation fault") == 1


def test_a_signal_sent_by_kill_is_not_a_code_fault():
    code = ("import quorvel\nq = quorvel.Quorvel()\nq.asm('push rax ;; pop rax ;; spin: ;; jmp spin')\n"
            "print('ready', flush=True)\nq.execute()\nprint('returned')")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(0.3)
    child.send_signal(signal.SIGSEGV)
    try:
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    # What SIGSEGV does without a guard: the default action ends the process.
    assert child.returncode == -signal.SIGSEGV, out + err
    assert "Execution fault" not in out + err


def test_a_signal_handler_may_run_code_inside_execute():
    # The alarm comes while the long program is generated; its handler runs
    # inside execute(), after the run is armed, and runs code of its own.
    setup = (
        "other = quorvel.Quorvel()\nother.asm('mov rax, 1 ;; push rax ;; pop rax')\nseen = []\n"
        "def on_alarm(signum, frame):\n"
        "    other.execute()\n"
        "    seen.append(other.get())\n"
        "q.asm('nop\\n' * 1000000)\n"
        "signal.signal(signal.SIGALRM, on_alarm)\nsignal.setitimer(signal.ITIMER_REAL, 0.01)"
    )
    outcome, registers = run_child("push rax ;; pop rax ;; mov rax, 6 ;; add rax, 1", setup=setup, timeout=30)
    assert outcome == "result 0x7"


FORK_CHILD = textwrap.dedent("""
    import os, sys, quorvel

    rounds = int(sys.argv[1])
    q = quorvel.Quorvel()
    q.asm("mov rax, rbx ;; add rax, 1000")
    q.mov("rbx", 1)
    q.execute()
    before = sys.argv[2]
    q.install(before)
    pid = os.fork()
    if pid == 0:
        # The child has its own copy of the kept code, and its own pages.
        q.install(before + ".child")
        q.asm("add rax, rax")
        for i in range(rounds):
            q.mov("rbx", i)
            q.execute()
            assert q.get() == 2 * (i + 1000), (i, q.get())
        os._exit(0)
    for i in range(rounds):
        q.mov("rbx", i)
        q.execute()
        assert q.get() == i + 1000, (i, q.get())
    _, status = os.waitpid(pid, 0)
    print("child", os.waitstatus_to_exitcode(status))
    q.clear()
    q.asm("mov rax, 5")
    q.execute()
    print("parent", q.get())
""")


def test_parent_and_child_run_their_own_code_after_fork(tmp_path):
    path = tmp_path / "before.bin"
    child = subprocess.run([sys.executable, "-c", FORK_CHILD, "20000", str(path)], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["child 0", "parent 5"]
    assert (tmp_path / "before.bin.child").read_bytes() == path.read_bytes()


def run_script(code, send_signal=None, timeout=30):
    """Runs `code` in a child, sending `send_signal` once it prints "ready";
    returns its exit status and output (stdout, then stderr)."""
    status, out, err = spawn(code, send_signal, timeout)
    return status, out + err


LOOP = "mov rcx, 3\\nl:\\ndec rcx\\njne l"


@pytest.mark.parametrize(
    "code",
    [
        f"import quorvel, quorvel_lab\nq = quorvel.Quorvel()\nq.asm('{LOOP}')\nq.execute()\nquorvel_lab.trace('{LOOP}')\n"
        "q.clear()\nq.asm('spin: ;; jmp spin')\nprint('ready', flush=True)\ntry:\n    q.execute()\n"
        "except KeyboardInterrupt:\n    print('stopped by KeyboardInterrupt')",
        "from IPython.core.interactiveshell import InteractiveShell\nshell = InteractiveShell.instance()\n"
        f"shell.run_line_magic('load_ext', 'quorvel_lab')\nfor line in ('', '--trace', ''):\n"
        f"    assert shell.run_cell(f'%%quorvel {{line}}\\n{LOOP}').success\nprint('ready', flush=True)\n"
        "print('stopped by', type(shell.run_cell('%%quorvel\\nspin:\\njmp spin').error_in_exec).__name__)",
    ],
    ids=["execute-trace-execute", "notebook-cells"],
)
def test_ctrl_c_after_runs_and_traces_raises_keyboard_interrupt(code):
    status, out = run_script(code, send_signal=signal.SIGINT)
    assert (status, out.splitlines()[-1:]) == (0, ["stopped by KeyboardInterrupt"]), out


def test_a_sub_interpreter_cannot_import_the_lab():
    interpreters = pytest.importorskip("_xxsubinterpreters", reason="no sub-interpreters in this Python")
    code = (f"import {interpreters.__name__} as interpreters, quorvel_lab\nsub = interpreters.create(isolated=False)\n"
            "for name in ('quorvel_lab', 'quorvel_lab._native'):\n    try:\n"
            "        interpreters.run_string(sub, 'import ' + name)\n    except interpreters.RunFailedError as error:\n"
            "        print(error)\nprint(quorvel_lab.trace('mov rax, 5').rax)")
    refused = "<class 'ImportError'>: quorvel does not support sub-interpreters: it can only be imported in the main interpreter"
    assert run_script(code) == (0, f"{refused}\n{refused}\n5\n")


CHAIN_CHILD = textwrap.dedent("""
    import ctypes, faulthandler, os, signal, time, quorvel
    SIG, seen, devnull = signal.{signal}, [], open(os.devnull, "w")
    q = quorvel.Quorvel()
    q.asm("l: ;; dec rcx ;; jne l ;; mov rax, 1 ;; div rax")  # can loop and divide
    class Action(ctypes.Structure):
        _fields_ = [("handler", ctypes.c_void_p), ("mask", ctypes.c_ulong * 16), ("flags", ctypes.c_int),
                    ("restorer", ctypes.c_void_p)]
    WITH_INFO, SA_SIGINFO, behind = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p), 4, Action()
    def passing_on(signum, info, context):  # as a C handler passes a signal on to the one it replaced
        seen.append("ctypes")
        if behind.flags & SA_SIGINFO:
            WITH_INFO(behind.handler)(signum, info, context)
        else:
            ctypes.CFUNCTYPE(None, ctypes.c_int)(behind.handler)(signum)
    handler = Action(ctypes.cast(WITH_INFO(passing_on), ctypes.c_void_p), flags=SA_SIGINFO)
    steps = {{
        "run": lambda: (q.mov("rcx", 1000), q.execute()),
        "python": lambda: signal.signal(SIG, lambda *args: seen.append("python")),
        "faulthandler": lambda: faulthandler.enable(devnull) if SIG == signal.SIGFPE else
                                faulthandler.register(SIG, devnull, chain=True),
        "ctypes": lambda: ctypes.CDLL(None).sigaction(SIG, ctypes.byref(handler), ctypes.byref(behind)),
        "kill": lambda: (os.kill(os.getpid(), SIG), time.sleep(0.05)),
        "alarm-in-run": lambda: (signal.setitimer(signal.ITIMER_REAL, 0.05), q.mov("rcx", 1 << 40), q.execute()),
    }}
    for step in {steps!r}.split():
        try:
            steps[step]()
        except (KeyboardInterrupt, ValueError) as error:
            seen.append(type(error).__name__)
    print(*seen)
""")


@pytest.mark.parametrize(
    ("signal_name", "steps", "expected"),
    [
        ("SIGALRM", "python run faulthandler run alarm-in-run", "python ValueError"),
        ("SIGINT", "run faulthandler run kill", "KeyboardInterrupt"),
        ("SIGFPE", "python run faulthandler run kill", "python"),
        ("SIGALRM", "python run ctypes run kill alarm-in-run", "ctypes python ctypes python ValueError"),
        ("SIGALRM", "python ctypes run kill alarm-in-run run kill", "ctypes python ctypes python ValueError ctypes python"),
    ],
    ids=["faulthandler-chain-in-a-run", "faulthandler-chain-outside", "faulthandler-enable", "ctypes-after-runs",
         "ctypes-before-runs"],
)
def test_handlers_installed_around_runs_keep_their_chain(signal_name, steps, expected):
    assert run_script(CHAIN_CHILD.format(signal=signal_name, steps=steps)) == (0, expected + "\n")


def test_a_steady_stream_of_alarms_never_ends_the_process():
    # Python's handler writes to the wakeup descriptor: slower, so alarms
    # often arrive while it runs.
    code = textwrap.dedent("""
        import os, signal, time, quorvel
        alarms = []
        signal.signal(signal.SIGALRM, lambda *args: alarms.append(1))
        wakeup = os.pipe()[1]
        os.set_blocking(wakeup, False)
        signal.set_wakeup_fd(wakeup, warn_on_full_buffer=False)
        q = quorvel.Quorvel()
        q.asm("mov rcx, 2000 ;; l: ;; dec rcx ;; jne l")
        signal.setitimer(signal.ITIMER_REAL, 1e-4, 1e-4)
        end = time.monotonic() + 3
        while time.monotonic() < end:
            try:
                q.execute()
            except ValueError:
                pass
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(len(alarms) > 1000)
    """)
    assert run_script(code) == (0, "True\n")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's runtime needs address space of its own at moments no limit can foresee")
def test_no_signal_stack_fails_the_run_and_the_next_one_gets_one():
    # The thread has no signal stack (a sanitizer gives each one); the address
    # space left is enough for the code stack and the code, not for one.
    code = textwrap.dedent("""
        import ctypes, mmap, resource, threading, quorvel, quorvel_lab
        class Stack(ctypes.Structure):
            _fields_ = [("sp", ctypes.c_void_p), ("flags", ctypes.c_int), ("size", ctypes.c_size_t)]
        def overflow():
            ctypes.CDLL(None).sigaltstack(ctypes.byref(Stack(None, 2, 0)), None)  # SS_DISABLE
            q = quorvel.Quorvel()
            q.asm("l: ;; push rax ;; jmp l")
            quorvel_lab.listing("nop")  # this thread's C heap
            stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
            stack = 8 << 20 if stack == resource.RLIM_INFINITY else stack
            used = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
            previous = resource.getrlimit(resource.RLIMIT_AS)
            for limit in ((used + stack + 4 * mmap.PAGESIZE + 32 * 1024, previous[1]), previous):
                resource.setrlimit(resource.RLIMIT_AS, limit)
                try:
                    q.execute()
                except ValueError as error:
                    print(str(error)[:40])
        threading.Thread(target=overflow).start()
    """)
    assert run_script(code) == (0, "Signal stack creation failed: Os { code:\nExecution fault: SIGSEGV (access not per\n")


FORWARD_LOOP = (
    "call x ;; g: ;; inc r14 ;; push rcx ;; push r12 ;; push rbx ;; push r12 ;; push r13 ;; push r14 ;; push r15 ;; "
    "mov rax, r13 ;; mov rbp, rax ;; ret ;; x: ;; pop rcx ;; mov rax, rbp ;; push rax ;; pop r13 ;; pop rax ;; "
    "pop rax ;; pop rax ;; pop rax ;; pop rax ;; pop r12 ;; pop rax ;; inc r14 ;; push rcx ;; push r12 ;; push rbx ;; "
    "push r12 ;; push r13 ;; push r14 ;; push r15 ;; mov rax, r13 ;; mov rbp, rax ;; ret"
)


def test_a_loop_made_of_forward_jumps_stops_on_ctrl_c_and_at_the_time_limit(tmp_path):
    assert run_child(FORWARD_LOOP, send_signal=signal.SIGINT, timeout=10) == ("raised KeyboardInterrupt ", "unchanged")
    path = tmp_path / "forward.s"
    path.write_text(FORWARD_LOOP.replace(" ;; ", "\n") + "\n")
    child = subprocess.run([sys.executable, "-m", "quorvel_lab", "run", str(path), "--timeout", "1"],
                           capture_output=True, text=True, timeout=10)
    assert (child.returncode, child.stderr) == (1, "quorvel: error: the program ran longer than 1 second\n")


@pytest.mark.parametrize(("program", "fault"), [("mov rcx, 0 ;; div rcx", "SIGFPE"), (PUSH_LOOP, "SIGSEGV")])
def test_faults_are_caught_while_the_thread_blocks_their_signals(program, fault):
    code = ("import signal, quorvel\nblocked = {signal.SIGFPE, signal.SIGSEGV}\n"
            f"signal.pthread_sigmask(signal.SIG_BLOCK, blocked)\nq = quorvel.Quorvel()\nq.asm({program!r})\n"
            "try:\n    q.execute()\nexcept ValueError as error:\n    print(str(error).split(' (')[0])\n"
            "print(signal.pthread_sigmask(signal.SIG_BLOCK, []) == blocked)")
    assert run_script(code) == (0, f"Execution fault: {fault}\nTrue\n")


def test_a_child_forked_by_a_signal_handler_in_execute_builds_its_own_code():
    # The alarm comes during generation; its handler runs after the run is
    # armed, before the code is called, and forks.
    code = textwrap.dedent("""
        import os, signal, quorvel
        parent = os.getpid()
        q = quorvel.Quorvel()
        q.asm("nop\\n" * 1000000 + "mov rax, 7")
        signal.signal(signal.SIGALRM, lambda *args: os.fork())
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        q.execute()
        if os.getpid() != parent:
            os._exit(q.get())
        print(q.get(), os.waitstatus_to_exitcode(os.wait()[1]))
    """)
    assert run_script(code, timeout=120) == (0, "7 7\n")
