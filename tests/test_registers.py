import pytest

import quorvel

X86_NAMES = (
    "r8 r9 ax bx cx dx si di sp bp al ah bl bh cl ch dl dh ip cs ds es fs gs ss tr "
    "rax rbx rcx rdx rsi rdi rsp rbp r10 r11 r12 r13 r14 r15 eax ebx ecx edx esi edi esp ebp "
    "r8d r9d r8w r9w sil dil bpl spl r8b r9b st0 st7 mm0 mm7 rip eip cr0 cr4 dr0 dr7 "
    "r10d r15d r10w r15w r10b r15b xmm0 xmm9 ymm0 ymm9 zmm0 zmm9 fpr0 fpr7 gdtr idtr ldtr "
    "xmm10 xmm15 ymm10 ymm15 zmm10 zmm15 flags rflags eflags").split()
ARM_NAMES = (
    "b0 b31 d31 h31 q31 s31 v31 w0 w30 x0 x30 x+5 v007 x0000000000000000000000030 "
    "sp pc lr fp wsp xzr wzr cpsr apsr pstate sp_el0 sp_el3 elr_el1 elr_el3 spsr_el1 spsr_el3").split()
NOT_NAMES = [
    "", "x", "r", "x31", "w31", "v32", "b32", "xmm16", "ymm16", "r16", "r16d", "sp_el4", "elr_el0",
    "st8", "cr5", "dr8", "fpr8", "x-5", "x+", "x 5", "rax ", " rax", "x18446744073709551616",
    "1rax", "_rax", "ärax", "xmm", "rflag", "eflag", "spsr_el0"]


@pytest.mark.parametrize("name", X86_NAMES + ARM_NAMES)
def test_register_names(q, name):
    assert q.is_valid_register(name)
    assert q.is_valid_register(name.upper())


@pytest.mark.parametrize("name", NOT_NAMES)
def test_not_register_names(q, name):
    assert not q.is_valid_register(name)


def test_name_check_ignores_architecture(q):
    q.setup("aarch64")
    assert [q.is_valid_register(n) for n in ("XMM15", "x31", "v31", "tr")] == [True, False, True, True]


def test_get_rules(q):
    q.mov("rax", 5)
    assert q.get() == q.get("rax") == q.get("RAX") == q.get("rAx") == q.get(None) == 5
    for name in ("eax", "ax", "al", "xmm0", "cr0", "xzr", "", "foo", "x31", "x-1", "rax\x00", "\x00rax"):
        assert q.get(name) == 0, name


def test_mov_arm_slots_and_mirrors(q):
    q.mov("X5", 9)
    assert q.get("x5") == q.get("w5") == q.get("x005") == 9
    q.mov("w5", 2**64 - 1)
    assert q.get("x5") == 2**64 - 1
    q.mov("x+7", 3)
    assert q.get("x7") == 3
    q.mov("x30", 4)
    assert q.get("lr") == 4
    q.mov("lr", 6)
    assert q.get("x30") == 6
    q.mov("fp", 8)
    assert q.get("x29") == 8
    q.mov("x29", 10)
    assert q.get("fp") == 10
    q.mov("sp", 1)
    assert q.get("sp") == 1 and q.get("rsp") == 0
    q.mov("eflags", 2)
    assert q.get("rflags") == 2


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("x31", "Unknown ARM register: x31"),
        ("x-7", "Unknown ARM register: x-7"),
        ("X", "Unknown ARM register: X"),
        ("XZR", "Unknown ARM register: XZR"),
        ("EAX", "Unknown x86 register: EAX"),
        ("Rbx2", "Unknown x86 register: Rbx2"),
        ("e", "Unknown x86 register: e"),
        ("", "Unknown register: "),
        ("St0", "Unknown register: St0"),
        ("İ", "Unknown register: İ"),
        # A 64-bit name with something after it, even an invisible NUL, is no name.
        ("rax\x00", "Unknown x86 register: rax\x00"),
        ("R8\x00\x00", "Unknown x86 register: R8\x00\x00"),
        ("rflags\x00", "Unknown x86 register: rflags\x00"),
        ("eflagsx", "Unknown x86 register: eflagsx"),
        ("rax" + " " * 40, "Unknown x86 register: rax" + " " * 40),
        ("ŗax", "Unknown register: ŗax"),
    ],
)
def test_failing_mov_changes_nothing(q, name, message):
    q.mov("rax", 1)
    before = (q.dump_regs_x86(), q.dump_regs_arm())
    with pytest.raises(ValueError) as info:
        q.mov(name, 7)
    assert str(info.value) == message
    assert (q.dump_regs_x86(), q.dump_regs_arm()) == before


FRESH_X86 = "\n".join([
    "=== x86-64 Registers ===",
    "RAX=0000000000000000 RBX=0000000000000000 RCX=0000000000000000 RDX=0000000000000000",
    "RSI=0000000000000000 RDI=0000000000000000 RBP=0000000000000000 RSP=0000000000000000",
    "R8 =0000000000000000 R9 =0000000000000000 R10=0000000000000000 R11=0000000000000000",
    "R12=0000000000000000 R13=0000000000000000 R14=0000000000000000 R15=0000000000000000",
    "RIP=0000000000000000 RFLAGS=0000000000000000",
    "Segment: CS=0000 DS=0000 ES=0000 FS=0000 GS=0000 SS=0000"])


def arm_dump(values, sp=0, pc=0, lr=0, fp=0):
    lines = ["=== ARM64 Registers ==="]
    for row in range(0, 31, 4):
        lines.append("".join(f"X{n:02d}={values.get(n, 0):016x} " for n in range(row, min(row + 4, 31))))
    lines.append(f"SP ={sp:016x} PC ={pc:016x} LR ={lr:016x} FP ={fp:016x}")
    lines.append("PSTATE=0000000000000000 CPSR=00000000")
    return "\n".join(lines)


def test_fresh_dumps(q):
    assert q.dump_regs_x86() == FRESH_X86
    arm = q.dump_regs_arm()
    assert arm == arm_dump({})
    assert len(arm.split("\n")) == 11 and all(line.endswith(" ") for line in arm.split("\n")[1:9])


@pytest.mark.parametrize("value", [0xDEADBEEF, 2**64 - 1])
def test_dumps_after_writes(q, value):
    names = ["rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp", "r8", "r9", "r10", "r11",
             "r12", "r13", "r14", "r15", "rip", "rflags"]
    for i, name in enumerate(names):
        q.mov(name, value - i)
    v = [f"{value - i:016x}" for i in range(len(names))]
    assert q.dump_regs_x86() == "\n".join([
        "=== x86-64 Registers ===",
        f"RAX={v[0]} RBX={v[1]} RCX={v[2]} RDX={v[3]}",
        f"RSI={v[4]} RDI={v[5]} RBP={v[6]} RSP={v[7]}",
        f"R8 ={v[8]} R9 ={v[9]} R10={v[10]} R11={v[11]}",
        f"R12={v[12]} R13={v[13]} R14={v[14]} R15={v[15]}",
        f"RIP={v[16]} RFLAGS={v[17]}",
        "Segment: CS=0000 DS=0000 ES=0000 FS=0000 GS=0000 SS=0000"])
    for n in range(31):
        q.mov(f"x{n}", value ^ n)
    q.mov("sp", value)
    q.mov("pc", 1)
    expected = arm_dump({n: value ^ n for n in range(31)}, sp=value, pc=1, lr=value ^ 30, fp=value ^ 29)
    assert q.dump_regs_arm() == expected


def test_dump_regs_follows_arch(q):
    assert q.dump_regs() == q.dump_regs_x86()
    q.setup("arm64")
    assert q.dump_regs() == q.dump_regs_arm()
    q.setup("x86")
    assert q.dump_regs() == q.dump_regs_x86()
