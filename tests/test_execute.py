"""execute() end to end: real programs run, rax comes back, nothing else in
the register file changes, and failures leave the engine as it was."""

import subprocess
import sys
import textwrap

import pytest

import quorvel

MASK = (1 << 64) - 1
X86 = ["rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rsp", "rbp", "r8", "r9", "r10", "r11", "r12", "r13", "r14",
       "r15", "rip", "rflags"]
ARM = [f"x{i}" for i in range(31)] + ["sp", "pc", "lr", "fp"]


def signed(value):
    value &= MASK
    return value - (1 << 64) if value >> 63 else value


def run(program, **values):
    """Runs `program` with every register set to a distinct value (overridden
    by `values`), checks that only rax changed, and returns rax."""
    q = quorvel.Quorvel()
    for number, name in enumerate(X86 + ARM, start=1):
        q.mov(name, (0x0101010101010101 * number) & MASK)
    for name, value in values.items():
        q.mov(name, value & MASK)
    q.asm(program)
    before = {name: q.get(name) for name in X86 + ARM}
    q.execute()
    after = {name: q.get(name) for name in X86 + ARM}
    before.pop("rax")
    rax = after.pop("rax")
    assert after == before
    return rax


@pytest.mark.parametrize(
    ("program", "values", "expected"),
    [
        # immediates: the low 32 bits, sign-extended
        ("add rax, 1", {"rax": 5}, 6),
        ("add rax, 4294967296", {"rax": 5}, 5),
        ("add rax, 2147483648", {"rax": 1 << 32}, (1 << 32) - (1 << 31)),
        ("sub rax, 10", {"rax": 3}, -7),
        ("sub rax, 4294967295", {"rax": 3}, 4),
        ("and rax, 12", {"rax": 10}, 8),
        ("or rax, 5", {"rax": 10}, 15),
        ("xor rax, 4294967295", {"rax": 0x0F}, ~0x0F),
        ("and r9, 255 ;; mov rax, r9", {"r9": 0x1234}, 0x34),
        # register pairs
        ("add rax, rbx", {"rax": 40, "rbx": 2}, 42),
        ("add rbx, rbx ;; mov rax, rbx", {"rbx": 21}, 42),
        ("sub rax, r8", {"rax": 10, "r8": 3}, 7),
        ("and rax, rbx", {"rax": 0b1100, "rbx": 0b1010}, 0b1000),
        ("or rax, r15", {"rax": 0b1100, "r15": 0b1010}, 0b1110),
        ("xor rdx, rdx ;; mov rax, rdx", {"rdx": 99}, 0),
        ("xor r14, rax ;; mov rax, r14", {"rax": 0b1100, "r14": 0b1010}, 0b0110),
        ("imul rax, rbx", {"rax": -3, "rbx": 5}, -15),
        ("imul r8, rax ;; mov rax, r8", {"rax": 6, "r8": -7}, -42),
        # moves
        ("mov rax, 18446744073709551615", {}, -1),
        ("mov rbx, 9 ;; mov rax, rbx", {}, 9),
        ("movq rax, r15", {"r15": 77}, 77),
        ("movl rcx, rax ;; add rax, rcx", {"rax": 4}, 8),
        ("mov r10, 5 ;; mov rax, r10", {}, 5),
        # one operand: mul and imul are both unsigned rdx:rax = rax * op
        ("mul rbx", {"rax": 6, "rbx": 7}, 42),
        ("imul rbx ;; mov rax, rdx", {"rax": -1, "rbx": 2}, 1),
        ("mul r15 ;; mov rax, rdx", {"rax": 1 << 63, "r15": 4}, 2),
        ("div rbx", {"rax": 100, "rdx": 0, "rbx": 7}, 14),
        ("div rbx ;; mov rax, rdx", {"rax": 100, "rdx": 0, "rbx": 7}, 2),
        ("div r9", {"rax": 0, "rdx": 1, "r9": 2}, 1 << 63),
        ("inc rax", {"rax": 41}, 42),
        ("dec rax", {"rax": 0}, -1),
        ("neg rax", {"rax": 5}, -5),
        ("not rax", {"rax": 0}, -1),
        ("inc r13 ;; mov rax, r13", {"r13": 9}, 10),
        ("neg rbp ;; neg rbp ;; mov rax, rbp", {}, None),  # rbp holds the frame pointer, twice negated
        # the stack
        ("push r12 ;; pop rax", {"r12": 123}, 123),
        ("push rax ;; push rbx ;; pop rax ;; pop rbx ;; sub rax, rbx", {"rax": 10, "rbx": 3}, -7),
        ("push r8 ;; push r15 ;; pop rcx ;; pop rdx ;; mov rax, rcx ;; sub rax, rdx", {"r8": 1, "r15": 5}, 4),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_arithmetic_moves_and_stack(program, values, expected):
    rax = run(program, **values)
    if expected is not None:
        assert rax == expected & MASK


@pytest.mark.parametrize(
    ("program", "values", "expected"),
    [
        ("shl rax, 1", {"rax": 3}, 6),
        ("shl rax, 4", {"rax": 3}, 48),
        ("sal rax, 3", {"rax": 3}, 24),
        ("shl rax, 0", {"rax": 3}, 3),
        ("shl rax, -1", {"rax": 1}, 1 << 63),  # cl = 0xFF, the processor uses 63
        ("shr rax, 64", {"rax": 12345}, 12345),  # 64 & 63 = 0
        ("shr rax, 1", {"rax": 7}, 3),
        ("shr rax, 2", {"rax": -8}, (MASK - 7) >> 2),
        ("sar rax, 1", {"rax": -8}, -4),
        ("sar rax, 2", {"rax": -8}, -2),
        ("shr r12, 4 ;; mov rax, r12", {"r12": 0x1234}, 0x123),
        ("rol rax, 1", {"rax": 1 << 63}, 1),
        ("rol rax, 4", {"rax": 0xF000000000000001}, 0x1F),
        ("ror rax, 1", {"rax": 1}, 1 << 63),
        ("ror rax, 8", {"rax": 0x12AB}, 0xAB00000000000012),
        # rcl/rcr rotate through CF: xor clears it, 0 - 1 sets it
        ("xor rbx, rbx ;; rcl rax, 1", {"rax": (1 << 63) | 1}, 2),
        ("mov rbx, 0 ;; sub rbx, 1 ;; rcl rax, 1", {"rax": 1}, 3),
        ("xor rbx, rbx ;; rcl rax, 3", {"rax": 1}, 8),
        ("mov rbx, 0 ;; sub rbx, 1 ;; rcr rax, 1", {"rax": 2}, (1 << 63) | 1),
        ("xor rbx, rbx ;; rcr rax, 2", {"rax": 12}, 3),
        # a count other than 1 goes through cl, so rcx itself changes first
        ("shl rcx, 4 ;; mov rax, rcx", {"rcx": 0x1234}, 0x12040),
        ("shl rcx, 1 ;; mov rax, rcx", {"rcx": 0x1234}, 0x2468),
        ("ror rcx, 8 ;; mov rax, rcx", {"rcx": 0xAB00}, 0x08000000000000AB),
        ("shl rax, 2 ;; mov rax, rcx", {"rcx": 0x1234}, 0x1202),
        ("shl rax, 1 ;; mov rax, rcx", {"rcx": 0x1234}, 0x1234),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_shifts_and_rotates(program, values, expected):
    assert run(program, **values) == expected & MASK


@pytest.mark.parametrize(
    ("program", "values", "expected"),
    [
        ("mov rax, 0 ;; loop: ;; add rax, 2 ;; dec rcx ;; jne loop", {"rcx": 5}, 10),
        ("mov rax, 0 ;; mov rbx, 1 ;; top: ;; add rax, rbx ;; inc rbx ;; cmp rbx, 10 ;; jle top", {}, 55),
        ("mov rax, 1 ;; again: ;; shl rax, 1 ;; sub rcx, 1 ;; bne again", {"rcx": 10}, 1024),
        ("test rax, 1 ;; jne odd ;; mov rax, 100 ;; ret ;; odd: ;; mov rax, 200", {"rax": 3}, 200),
        ("test rax, 1 ;; jne odd ;; mov rax, 100 ;; ret ;; odd: ;; mov rax, 200", {"rax": 4}, 100),
        ("test rax, rbx ;; je none ;; mov rax, 1 ;; ret ;; none: ;; mov rax, 2", {"rax": 4, "rbx": 3}, 2),
        ("sub rax, 5 ;; jz zero ;; mov rax, 1 ;; ret ;; zero: ;; mov rax, 2", {"rax": 5}, 2),
        ("sub rax, 5 ;; jz zero ;; mov rax, 1 ;; ret ;; zero: ;; mov rax, 2", {"rax": 6}, 1),
        ("jmp end ;; mov rax, 0 ;; end:", {"rax": 9}, 9),
        ("add rax, 1 ;; ret ;; add rax, 100", {"rax": 1}, 2),
        ("add rax, 1 ;; ret", {"rax": 1}, 2),
        ("add rax, 1", {"rax": 1}, 2),
        # call pushes the return address; the callee takes it off again
        ("call f ;; add rax, 100 ;; f: ;; pop rbx ;; add rax, 1", {"rax": 1}, 2),
        ("bl f ;; add rax, 100 ;; f: ;; pop rbx ;; add rax, 1", {"rax": 1}, 2),
        ("", {"rax": 77}, 77),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_control_flow(program, values, expected):
    assert run(program, **values) == expected


def test_call_pushes_the_address_after_it():
    # body at 143, call is 5 bytes; the mapping is page aligned
    assert run("call f ;; f: ;; pop rax") % 4096 == 148


CONDITIONS = {
    "jmp": lambda a, b: True, "b": lambda a, b: True, "bal": lambda a, b: True,
    "je": lambda a, b: a == b, "jz": lambda a, b: a == b, "beq": lambda a, b: a == b,
    "jne": lambda a, b: a != b, "jnz": lambda a, b: a != b, "bne": lambda a, b: a != b,
    "jg": lambda a, b: signed(a) > signed(b), "bgt": lambda a, b: signed(a) > signed(b),
    "jge": lambda a, b: signed(a) >= signed(b), "bge": lambda a, b: signed(a) >= signed(b),
    "jl": lambda a, b: signed(a) < signed(b), "blt": lambda a, b: signed(a) < signed(b),
    "jle": lambda a, b: signed(a) <= signed(b), "ble": lambda a, b: signed(a) <= signed(b),
    "ja": lambda a, b: a > b, "bhi": lambda a, b: a > b,
    "jae": lambda a, b: a >= b, "bcs": lambda a, b: a >= b, "bhs": lambda a, b: a >= b,
    "jb": lambda a, b: a < b, "bcc": lambda a, b: a < b, "blo": lambda a, b: a < b,
    "jbe": lambda a, b: a <= b, "bls": lambda a, b: a <= b,
    "bmi": lambda a, b: signed(a - b) < 0, "bpl": lambda a, b: signed(a - b) >= 0,
    "bvs": lambda a, b: signed(a - b) != signed(a) - signed(b),
    "bvc": lambda a, b: signed(a - b) == signed(a) - signed(b),
}
OPERANDS = [(5, 5), (3, 7), (7, 3), (MASK, 1), (1, MASK), (1 << 63, 1), ((1 << 63) - 1, MASK), (0, 1 << 63)]


@pytest.mark.parametrize("mnemonic", sorted(CONDITIONS))
@pytest.mark.parametrize(("a", "b"), OPERANDS)
def test_branch_follows_the_flags_of_cmp(mnemonic, a, b):
    program = f"cmp rax, rbx ;; {mnemonic} taken ;; mov rax, 0 ;; ret ;; taken: ;; mov rax, 1"
    assert run(program, rax=a, rbx=b) == int(CONDITIONS[mnemonic](a, b))


@pytest.mark.parametrize(
    ("program", "message"),
    [
        ("; c\n\nfoo", "Line 1: Unknown instruction: foo"),
        ("mov rax, 1 ;; done", "Line 2: Unknown instruction: done"),
        ("# note\nnop\n   \n; x\nmov rax 1 2\nBOGUS", "Line 3: Unknown instruction: bogus"),
        ("nop ; a ;; c", "Line 2: Unknown instruction: c"),  # ";;" splits before ";" comments
        ("nop\r\nshl rax", "Line 2: shift requires count"),
        ("add rax", "Line 1: add requires 2 operands"),
        ("mov eax, 1", "Unsupported mov imm register"),
        ("mov rax, 0x10", "Unsupported reg-reg combination: mov rax, 0x10"),
        ("movq %rax, %rbx", "Unsupported reg-reg combination: mov %rax, %rbx"),
        ("add rbx, rcx", "Unsupported reg-reg combination: add rbx, rcx"),
        ("imul rax, rbx, 3 ;; imul rax, r11", "Unsupported reg-reg combination: imul rax, rbx,"),
        ("add r11, 1", "Unsupported register for add imm: r11"),
        ("test RAX, 1", "Unsupported register for test imm: RAX"),
        ("push rsp", "Unsupported register: rsp"),
        ("not x0", "Unsupported register: x0"),
        ("shl r11, 1", "Shift not supported on register"),
        ("shl r11, 2", "Variable shift not supported"),
        ("lsl x0, 1", "Instruction not implemented for x86-64"),
        ("add rax, 1 ;; lea rax, [rbx]", "Instruction not implemented for x86-64"),
        ("mov [rbx+8], rax", "Instruction not implemented for x86-64"),
        ("jmp nowhere", "Undefined label: nowhere"),
        ("jmp Loop ;; loop:", "Undefined label: Loop"),
        ("call 4096", "Undefined label: 4096"),
    ],
    ids=lambda v: v.replace("\n", "|") if isinstance(v, str) else None,
)
def test_failures_raise_and_change_nothing(program, message, tmp_path):
    fresh = quorvel.Quorvel()
    fresh.asm(program)
    with pytest.raises(ValueError) as raised:
        fresh.execute()
    assert str(raised.value) == message

    # after a successful run, the failure keeps its code and registers
    q = quorvel.Quorvel()
    q.mov("rax", 5)
    q.asm("add rax, 1")
    q.execute()
    first = tmp_path / "first.bin"
    q.install(str(first))
    regs = q.dump_regs()

    q.asm(program)
    for _ in range(2):  # and again: the failed text is not taken for the kept code's
        with pytest.raises(ValueError):
            q.execute()
    assert q.dump_regs() == regs
    assert q.get("rax") == 6
    kept = tmp_path / "kept.bin"
    q.install(str(kept))
    assert kept.read_bytes() == first.read_bytes()


@pytest.mark.parametrize(
    ("program", "message", "note"),
    [
        ("a: ;; b: ;; nop ;; b: ;; add rax, 1", "Duplicate label: b", "in statement 5: b:"),
        # The first label, in the order of first definition, that is defined twice.
        ("a: ;; b: ;; b: ;; a:", "Duplicate label: a", "in statement 5: a:"),
        ("x: ; first\nnop\nx: ; again", "Duplicate label: x", "in statement 4: x:"),
        # An encoding failure anywhere wins over a duplicate.
        ("a: ;; a: ;; push r11", "Unsupported register: r11", "in statement 4: push r11"),
    ],
)
def test_duplicate_label_is_a_value_error_and_keeps_the_previous_code(tmp_path, program, message, note):
    q = quorvel.Quorvel()
    q.asm("mov rax, 3")
    q.execute()
    first = tmp_path / "first.bin"
    q.install(str(first))
    q.asm(program)  # statements from 2 on
    with pytest.raises(ValueError) as raised:
        q.execute()
    assert str(raised.value) == message
    assert raised.value.__notes__ == [note]
    assert q.get("rax") == 3
    kept = tmp_path / "kept.bin"
    q.install(str(kept))
    assert kept.read_bytes() == first.read_bytes()


def test_each_execute_reruns_the_whole_text():
    q = quorvel.Quorvel()
    q.mov("rax", 5)
    q.asm("add rax, 1")
    q.execute()
    q.execute()
    assert q.get("rax") == 7
    q.asm("shl rax, 1")
    q.execute()
    assert q.get("rax") == 16


def test_register_values_may_go_back_to_earlier_ones():
    q = quorvel.Quorvel()
    q.asm("mov rax, rcx")
    results = []
    for value in (1, 2, 1):
        q.mov("rcx", value)
        q.mov("rax", 0)
        q.execute()
        results.append(q.get())
    assert results == [1, 2, 1]


def test_install_writes_the_whole_function(tmp_path):
    q = quorvel.Quorvel()
    path = tmp_path / "code.bin"
    path.write_bytes(b"x" * 10000)
    q.execute()
    q.install(str(path))
    assert len(path.read_bytes()) == 157
    q.asm("nop ;; " * 4000)
    q.execute()
    q.install(str(path))
    assert len(path.read_bytes()) == 157 + 4000


# In a fresh interpreter, so nothing else in the test session has mapped
# memory: after every execute() the kept code sits in two shared views of one
# memory object, one read-execute and one read-write, and no mapping is ever
# writable and executable.
MAPS_CHILD = textwrap.dedent("""
    import sys, quorvel

    def mappings():
        for line in open("/proc/self/maps"):
            fields = line.split()
            start, end = (int(part, 16) for part in fields[0].split("-"))
            yield start, end, fields[1]

    def find_code(code):
        with open("/proc/self/mem", "rb") as mem:
            for start, end, perms in mappings():
                if perms.startswith("r") and end - start >= len(code):
                    mem.seek(start)
                    try:
                        if mem.read(len(code)) == code:
                            yield perms
                    except OSError:
                        pass

    q = quorvel.Quorvel()
    q.mov("rax", 0x1122334455667788)
    for clear, chunk in [(False, ""), (False, "add rax, 1"), (False, "nop ;; " * 5000), (False, "jmp nowhere"),
                         (True, "nop ;; " * 20000), (False, "a: ;; a:")]:
        if clear:
            q.clear()
        q.asm(chunk)
        try:
            q.execute()
        except BaseException as error:
            print("failed", type(error).__name__)
        q.install(sys.argv[1])
        code = open(sys.argv[1], "rb").read()
        print(len(code), sorted(set(find_code(code))))
        print("rwx", [hex(start) for start, end, perms in mappings() if "w" in perms and "x" in perms])
""")


def test_kept_code_is_read_execute_and_nothing_is_writable_and_executable(tmp_path):
    out = subprocess.run([sys.executable, "-c", MAPS_CHILD, str(tmp_path / "code.bin")], capture_output=True,
                         text=True, check=True).stdout.splitlines()
    assert out == [
        "157 ['r-xs', 'rw-s']", "rwx []",
        "163 ['r-xs', 'rw-s']", "rwx []",
        "5163 ['r-xs', 'rw-s']", "rwx []",
        "failed ValueError", "5163 ['r-xs', 'rw-s']", "rwx []",
        "20157 ['r-xs', 'rw-s']", "rwx []",
        "failed ValueError", "20157 ['r-xs', 'rw-s']", "rwx []",
    ]


@pytest.mark.parametrize(
    ("program", "message", "note"),
    [
        ("nop\n; comment\n\nmov rax, 1 ;; push r11 ; why", "Unsupported register: r11", "in statement 3: push r11"),
        ("mov rax, 1\n  shl rax, cl  ", "Invalid shift count", "in statement 2: shl rax, cl"),
        ("# c\nfoo rax", "Line 1: Unknown instruction: foo", "in statement 1: foo rax"),
        ("nop ;; mov rax, [rbx", "Invalid memory address format: [rbx", "in statement 2: mov rax, [rbx"),
        ("jmp nowhere", "Undefined label: nowhere", "in statement 1: jmp nowhere"),
    ],
)
def test_generation_errors_carry_the_statement_as_a_note(q, program, message, note):
    q.asm(program)
    with pytest.raises(ValueError) as info:
        q.execute()
    assert str(info.value) == message
    assert info.value.__notes__ == [note]



# A system that refuses executable shared memory (a security policy, or
# vm.memfd_noexec = 2) gets the same results from code pages whose
# protection is switched around each write.
REFUSED_CHILD = MAPS_CHILD.replace("\nq = quorvel.Quorvel()", "\n" + textwrap.dedent("""\
    import ctypes, errno

    class Filter(ctypes.Structure):
        _fields_ = [("code", ctypes.c_ushort), ("jt", ctypes.c_ubyte), ("jf", ctypes.c_ubyte), ("k", ctypes.c_uint)]

    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Filter))]

    memfd_create = 319
    rules = (Filter * 4)(Filter(0x20, 0, 0, 0), Filter(0x15, 0, 1, memfd_create),
                         Filter(0x06, 0, 0, 0x00050000 | errno.EPERM), Filter(0x06, 0, 0, 0x7FFF0000))
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(38, 1, 0, 0, 0) == 0  # no new privileges
    assert libc.prctl(22, 2, ctypes.byref(Program(4, rules)), 0, 0) == 0  # seccomp filter
    q = quorvel.Quorvel()"""), 1)


def test_code_memory_falls_back_to_protection_switching(tmp_path):
    out = subprocess.run([sys.executable, "-c", REFUSED_CHILD, str(tmp_path / "code.bin")], capture_output=True,
                         text=True, check=True).stdout.splitlines()
    assert out == [
        "157 ['r-xp']", "rwx []",
        "163 ['r-xp']", "rwx []",
        "5163 ['r-xp']", "rwx []",
        "failed ValueError", "5163 ['r-xp']", "rwx []",
        "20157 ['r-xp']", "rwx []",
        "failed ValueError", "20157 ['r-xp']", "rwx []",
    ]
