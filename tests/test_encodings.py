"""Cross-check of the generated machine code with an independent disassembler.

Each statement is assembled inside "jmp skip / <statement> / skip:", so the
code is generated and written by install() but never runs; capstone then
decodes the body and must read back the intended instruction.
"""

import pytest

pytest.importorskip("capstone", reason="the disassembler capstone is not installed (pip install capstone)")

from capstone import CS_ARCH_X86, CS_MODE_64, Cs  # noqa: E402
from capstone.x86 import X86_OP_IMM, X86_OP_REG  # noqa: E402

import quorvel

BODY = 143  # prologue and the thirteen register loads
EPILOGUE = 14

REGS = ["rax", "rcx", "rdx", "rbx", "rbp", "rsi", "rdi", "r8", "r9", "r10", "r12", "r13", "r14", "r15"]
PAIRS = (
    [(reg, "rax") for reg in REGS]
    + [("rax", reg) for reg in REGS if reg != "rax"]
    + [("rbx", "rbx"), ("rcx", "rcx"), ("rdx", "rdx")]
)

_md = Cs(CS_ARCH_X86, CS_MODE_64)
_md.detail = True


@pytest.fixture(scope="module")
def code_file(tmp_path_factory):
    return tmp_path_factory.mktemp("encodings") / "code.bin"


def generated(source, code_file):
    q = quorvel.Quorvel()
    q.asm(source)
    q.execute()
    q.install(str(code_file))
    return code_file.read_bytes()


def operand_text(insn, operand):
    if operand.type == X86_OP_REG:
        return insn.reg_name(operand.reg)
    assert operand.type == X86_OP_IMM, f"unexpected operand in {insn.mnemonic} {insn.op_str}"
    return str(operand.imm)  # signed, as the processor uses it; jump targets as addresses


def disassemble(code, start, end):
    """(address, "mnemonic op, op") for each instruction, immediates as signed
    decimal values, requiring that the decode covers every byte."""
    out = []
    position = start
    for insn in _md.disasm(code[start:end], start):
        operands = ", ".join(operand_text(insn, operand) for operand in insn.operands)
        out.append((insn.address, f"{insn.mnemonic} {operands}".strip()))
        position = insn.address + insn.size
    assert position == end, f"undecoded bytes at {position:#x}: {code[position:end].hex()}"
    return out


def skipped_body(statement, code_file):
    """The texts of the statement's instructions, and the address after them."""
    code = generated(f"jmp skip\n{statement}\nskip:", code_file)
    end = len(code) - EPILOGUE
    decoded = disassemble(code, BODY, end)
    assert decoded[0] == (BODY, f"jmp {end}")
    return [text for _, text in decoded[1:]], end


def signed64(value):
    return value - (1 << 64) if value >= 1 << 63 else value


def cases():
    for reg in REGS:
        yield f"mov {reg}, 258", [f"movabs {reg}, 258"]
    yield "movq r15, 18446744073709551615", ["movabs r15, -1"]
    yield "movl rax, 0", ["movabs rax, 0"]
    yield "mov rdi, 9223372036854775808", [f"movabs rdi, {signed64(1 << 63)}"]
    for mnemonic, expected in [("mov", "mov"), ("movl", "mov"), ("movq", "mov"), ("add", "add"), ("sub", "sub"),
                               ("and", "and"), ("or", "or"), ("xor", "xor"), ("cmp", "cmp"), ("test", "test"),
                               ("imul", "imul")]:
        for dest, src in PAIRS:
            yield f"{mnemonic} {dest}, {src}", [f"{expected} {dest}, {src}"]
    for reg in REGS:
        yield f"push {reg}", [f"push {reg}"]
        yield f"pop {reg}", [f"pop {reg}"]
    for mnemonic in ["add", "or", "and", "sub", "xor", "cmp", "test"]:
        for reg in ["rax", "rbx", "r15"]:
            # the low 32 bits, sign-extended by the processor
            for value, shown in [(5, 5), (4294967295, -1), (2147483648, -2147483648), (4294967296, 0),
                                 (2147483647, 2147483647)]:
                yield f"{mnemonic} {reg}, {value}", [f"{mnemonic} {reg}, {shown}"]
    for mnemonic, expected in [("mul", "mul"), ("imul", "mul"), ("div", "div"), ("neg", "neg"), ("not", "not"),
                               ("inc", "inc"), ("dec", "dec")]:
        for reg in REGS:
            yield f"{mnemonic} {reg}", [f"{expected} {reg}"]
    for mnemonic, expected in [("shl", "shl"), ("sal", "shl"), ("shr", "shr"), ("sar", "sar"), ("rol", "rol"),
                               ("ror", "ror"), ("rcl", "rcl"), ("rcr", "rcr")]:
        for reg in REGS:
            yield f"{mnemonic} {reg}, 1", [f"{expected} {reg}, 1"]
            yield f"{mnemonic} {reg}, 3", ["mov cl, 3", f"{expected} {reg}, cl"]
        yield f"{mnemonic} rax, -1", ["mov cl, 255", f"{expected} rax, cl"]  # the byte FF
        yield f"{mnemonic} r9, 0", ["mov cl, 0", f"{expected} r9, cl"]
        yield f"{mnemonic} rcx, 127", ["mov cl, 127", f"{expected} rcx, cl"]
    yield "nop", ["nop"]


@pytest.mark.parametrize("statement,expected", list(cases()), ids=lambda v: v if isinstance(v, str) else "")
def test_statement_decodes_as_intended(statement, expected, code_file):
    texts, _ = skipped_body(statement, code_file)
    assert texts == expected


JUMPS = {
    "jmp": "jmp", "b": "jmp", "bal": "jmp",
    "je": "je", "jz": "je", "beq": "je",
    "jne": "jne", "jnz": "jne", "bne": "jne",
    "jg": "jg", "bgt": "jg", "jge": "jge", "bge": "jge",
    "jl": "jl", "blt": "jl", "jle": "jle", "ble": "jle",
    "ja": "ja", "bhi": "ja", "jae": "jae", "bcs": "jae", "bhs": "jae",
    "jb": "jb", "bcc": "jb", "blo": "jb", "jbe": "jbe", "bls": "jbe",
    "bmi": "js", "bpl": "jns", "bvs": "jo", "bvc": "jno",
    "call": "call", "bl": "call",
}


@pytest.mark.parametrize("mnemonic", sorted(JUMPS))
def test_jump_forms_reach_their_label(mnemonic, code_file):
    # back to a label before it, then forward to the end
    code = generated(f"jmp skip\nback:\n{mnemonic} back\n{mnemonic} skip\nskip:", code_file)
    end = len(code) - EPILOGUE
    decoded = disassemble(code, BODY, end)
    back = BODY + 5
    expected = JUMPS[mnemonic]
    assert [text for _, text in decoded] == [f"jmp {end}", f"{expected} {back}", f"{expected} {end}"]


def test_ret_jumps_to_the_epilogue(code_file):
    code = generated("jmp skip\nret\nnop\nskip:", code_file)
    end = len(code) - EPILOGUE
    assert [text for _, text in disassemble(code, BODY, end)] == [f"jmp {end}", f"jmp {end}", "nop"]


def test_frame_decodes_as_prologue_loads_and_epilogue(code_file):
    q = quorvel.Quorvel()
    loaded = ["rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r12", "r13", "r14", "r15"]
    for number, reg in enumerate(loaded + ["rbp", "rsp", "r11"], start=1):
        q.mov(reg, number * 0x0101010101010101)
    q.execute()
    q.install(str(code_file))
    code = code_file.read_bytes()
    assert len(code) == BODY + EPILOGUE
    texts = [text for _, text in disassemble(code, 0, len(code))]
    assert texts == (
        ["push rbp", "mov rbp, rsp", "push rbx", "push r12", "push r13", "push r14", "push r15"]
        + [f"movabs {reg}, {signed64(number * 0x0101010101010101)}" for number, reg in enumerate(loaded, start=1)]
        + ["pop r15", "pop r14", "pop r13", "pop r12", "pop rbx", "mov rsp, rbp", "pop rbp", "ret"]
    )
