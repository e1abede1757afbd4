"""Random valid programs against the lab: listing bytes against install(), trace states
against a small model of the dialect written from the processor's rules."""

import random
from dataclasses import dataclass, field

import pytest

import quorvel
import quorvel_lab
from quorvel_lab import Stepper

MASK = (1 << 64) - 1
SIGN = 1 << 63
BODY_START = 143
EPILOGUE_SIZE = 14

# rbp holds the frame pointer while a program runs, so generated programs leave it alone.
REGS = ["rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r12", "r13", "r14", "r15"]
PAIRS = [(reg, "rax") for reg in REGS] + [("rax", reg) for reg in REGS[1:]] + [(r, r) for r in ("rbx", "rcx", "rdx")]
ALU = ["add", "sub", "and", "or", "xor", "cmp", "test"]
SHIFTS = ["shl", "sal", "shr", "sar", "rol", "ror", "rcl", "rcr"]
CONDITIONS = {
    "je": "ZF", "jz": "ZF", "beq": "ZF",
    "jne": "!ZF", "jnz": "!ZF", "bne": "!ZF",
    "jg": "!ZF&SF=OF", "bgt": "!ZF&SF=OF", "jge": "SF=OF", "bge": "SF=OF",
    "jl": "SF!OF", "blt": "SF!OF", "jle": "ZF|SF!OF", "ble": "ZF|SF!OF",
    "ja": "!CF&!ZF", "bhi": "!CF&!ZF", "jae": "!CF", "bcs": "!CF", "bhs": "!CF",
    "jb": "CF", "bcc": "CF", "blo": "CF", "jbe": "CF|ZF", "bls": "CF|ZF",
    "bmi": "SF", "bpl": "!SF", "bvs": "OF", "bvc": "!OF",
}
JUMPS = {"jmp", "b", "bal"}
CALLS = {"call", "bl"}


# --- the model -------------------------------------------------------------


class Undetermined(Exception):
    """The program reads a flag the processor leaves undefined."""


@dataclass(frozen=True)
class ReturnAddress:
    """What call pushes: the code address after the call, known only relative to the code's start."""

    offset: int


def signed(value):
    return value - (1 << 64) if value & SIGN else value


def sign_extend_32(imm):
    low = imm & 0xFFFFFFFF
    return low | 0xFFFFFFFF00000000 if low & 0x80000000 else low


def size_of(op):
    mnemonic, operands = op[0], op[1:]
    if mnemonic in ("label", "directive"):
        return 0
    if mnemonic in ("mov", "movl", "movq"):
        return 10 if isinstance(operands[1], int) else 3
    if mnemonic in ALU:
        return (6 if operands[0] == "rax" else 7) if isinstance(operands[1], int) else 3
    if mnemonic == "imul" and len(operands) == 2:
        return 4
    if mnemonic in ("imul", "mul", "div", "inc", "dec", "neg", "not"):
        return 3
    if mnemonic in SHIFTS:
        return 4 if operands[1] == 1 else 5
    if mnemonic in ("push", "pop"):
        return 2 if operands[0][1].isdigit() else 1
    if mnemonic in JUMPS or mnemonic in CALLS or mnemonic == "ret":
        return 5
    if mnemonic in CONDITIONS:
        return 6
    assert mnemonic == "nop", op
    return 1


class Machine:
    def __init__(self, registers):
        self.regs = dict(registers)
        self.flags = dict.fromkeys(("CF", "ZF", "SF", "OF"))  # the caller's rflags: unknown
        self.stack = []

    def flag(self, name):
        if self.flags[name] is None:
            raise Undetermined(name)
        return self.flags[name]

    def condition(self, expression):
        def term(text):
            if "=" in text:
                left, right = text.split("=")
                return self.flag(left) == self.flag(right)
            if "!" in text[1:]:
                left, right = text.split("!")
                return self.flag(left) != self.flag(right)
            return not self.flag(text[1:]) if text.startswith("!") else self.flag(text)

        if "|" in expression:
            return any(term(t) for t in expression.split("|"))
        return all(term(t) for t in expression.split("&"))

    def result(self, dest, value, **flags):
        value &= MASK
        self.regs[dest] = value
        self.set_zs(value)
        self.flags.update(flags)

    def set_zs(self, value):
        self.flags["ZF"] = value == 0
        self.flags["SF"] = bool(value & SIGN)

    def alu(self, mnemonic, dest, source):
        a, b = self.regs[dest], source
        if mnemonic in ("add", "sub", "cmp"):
            value = (a + b if mnemonic == "add" else a - b) & MASK
            same_signs = (a & SIGN) == (b & SIGN)
            carry = a + b > MASK if mnemonic == "add" else a < b
            overflow = (same_signs if mnemonic == "add" else not same_signs) and (value & SIGN) != (a & SIGN)
            flags = {"CF": carry, "OF": overflow}
        else:
            value = {"and": a & b, "test": a & b, "or": a | b, "xor": a ^ b}[mnemonic]
            flags = {"CF": False, "OF": False}
        if mnemonic in ("cmp", "test"):
            self.set_zs(value)
            self.flags.update(flags)
        else:
            self.result(dest, value, **flags)

    def shift(self, mnemonic, dest, count):
        if count != 1:
            # The dialect loads every other count into cl first, and the processor uses its low six bits.
            self.regs["rcx"] = (self.regs["rcx"] & ~0xFF) | (count & 0xFF)
            count = count & 0xFF
        count &= 63
        if count == 0:
            return
        a = self.regs[dest]
        if mnemonic in ("shl", "sal"):
            value, carry = (a << count) & MASK, bool(a >> (64 - count) & 1)
            overflow = bool(value & SIGN) != carry
        elif mnemonic == "shr":
            value, carry, overflow = a >> count, bool(a >> (count - 1) & 1), bool(a & SIGN)
        elif mnemonic == "sar":
            value, carry, overflow = (signed(a) >> count) & MASK, bool(a >> (count - 1) & 1), False
        elif mnemonic in ("rol", "ror"):
            value = ((a << count) | (a >> (64 - count))) & MASK if mnemonic == "rol" else \
                ((a >> count) | (a << (64 - count))) & MASK
            carry = bool(value & 1) if mnemonic == "rol" else bool(value & SIGN)
            overflow = bool(value & SIGN) != carry if mnemonic == "rol" else \
                bool(value & SIGN) != bool(value & (SIGN >> 1))
            self.regs[dest] = value  # rotates leave ZF and SF alone
            self.flags.update(CF=carry, OF=overflow if count == 1 else None)
            return
        else:
            wide = a | (int(self.flag("CF")) << 64)  # 65 bits: the register and CF
            if mnemonic == "rcl":
                wide = ((wide << count) | (wide >> (65 - count))) & ((1 << 65) - 1)
            else:
                overflow = bool(a & SIGN) != self.flags["CF"]
                wide = ((wide >> count) | (wide << (65 - count))) & ((1 << 65) - 1)
            value, carry = wide & MASK, bool(wide >> 64)
            if mnemonic == "rcl":
                overflow = bool(value & SIGN) != carry
            self.regs[dest] = value
            self.flags.update(CF=carry, OF=overflow if count == 1 else None)
            return
        self.result(dest, value, CF=carry, OF=overflow if count == 1 else None)

    def execute(self, op):
        """Run one instruction; return a label to jump to, "ret", "fault" or None."""
        mnemonic, operands = op[0], op[1:]
        regs = self.regs
        if mnemonic in ("mov", "movl", "movq"):
            dest, source = operands
            regs[dest] = source if isinstance(source, int) else regs[source]
        elif mnemonic in ALU:
            dest, source = operands
            self.alu(mnemonic, dest, sign_extend_32(source) if isinstance(source, int) else regs[source])
        elif mnemonic == "imul" and len(operands) == 2:
            full = signed(regs[operands[0]]) * signed(regs[operands[1]])
            regs[operands[0]] = full & MASK
            overflow = signed(full & MASK) != full
            self.flags.update(CF=overflow, OF=overflow, ZF=None, SF=None)
        elif mnemonic in ("mul", "imul"):
            full = regs["rax"] * regs[operands[0]]
            regs["rax"], regs["rdx"] = full & MASK, full >> 64
            self.flags.update(CF=full > MASK, OF=full > MASK, ZF=None, SF=None)
        elif mnemonic == "div":
            divisor, dividend = regs[operands[0]], (regs["rdx"] << 64) | regs["rax"]
            if divisor == 0 or dividend // divisor > MASK:
                return "fault"
            regs["rax"], regs["rdx"] = dividend // divisor, dividend % divisor
            self.flags = dict.fromkeys(self.flags)
        elif mnemonic in ("inc", "dec"):
            a = regs[operands[0]]
            self.result(operands[0], a + 1 if mnemonic == "inc" else a - 1,
                        OF=a == (SIGN - 1 if mnemonic == "inc" else SIGN))
        elif mnemonic == "neg":
            a = regs[operands[0]]
            self.result(operands[0], -a, CF=a != 0, OF=a == SIGN)
        elif mnemonic == "not":
            regs[operands[0]] = ~regs[operands[0]] & MASK
        elif mnemonic in SHIFTS:
            self.shift(mnemonic, *operands)
        elif mnemonic == "push":
            self.stack.append(regs[operands[0]])
        elif mnemonic == "pop":
            regs[operands[0]] = self.stack.pop()
        elif mnemonic in JUMPS:
            return operands[0]
        elif mnemonic in CALLS:
            self.stack.append(ReturnAddress(op.offset_after))
            return operands[0]
        elif mnemonic in CONDITIONS:
            return operands[0] if self.condition(CONDITIONS[mnemonic]) else None
        elif mnemonic == "ret":
            return "ret"
        return None


@dataclass
class ModelStep:
    statement: "Statement"
    registers: dict
    flags: dict
    stack: list  # bottom first


def run_model(statements, registers, limit=100000):
    """Steps, rax (None after a fault) and the offset of the faulting statement."""
    labels = {st.op[1]: index for index, st in reversed(list(enumerate(statements))) if st.op[0] == "label"}
    machine = Machine(registers)
    steps, index = [], 0
    while index < len(statements) and len(steps) < limit:
        st = statements[index]
        index += 1
        if size_of(st.op) == 0:
            continue
        outcome = machine.execute(st.op)
        if outcome == "fault":
            return steps, None, st.offset
        steps.append(ModelStep(st, dict(machine.regs), dict(machine.flags), list(machine.stack)))
        if outcome == "ret":
            break
        if outcome is not None:
            index = labels[outcome]
    return steps, machine.regs["rax"], None


# --- the generator ---------------------------------------------------------


class Op(tuple):
    """An instruction as (mnemonic, operands...); a call also knows where it returns to."""

    offset_after = 0


@dataclass
class Statement:
    op: Op
    text: str = ""
    number: int = 0
    line: int = 0
    offset: int = 0


def writes(op):
    mnemonic, operands = op[0], op[1:]
    if mnemonic in ("mul", "div") or (mnemonic == "imul" and len(operands) == 1):
        return {"rax", "rdx"}
    if mnemonic in SHIFTS:
        return {operands[0]} | ({"rcx"} if operands[1] != 1 else set())
    if mnemonic in ("cmp", "test", "push", "nop", "ret") or mnemonic in CONDITIONS or mnemonic in JUMPS | CALLS:
        return set()
    return {operands[0]}


@dataclass
class Generator:
    rng: random.Random
    labels: int = 0
    subroutines: list = field(default_factory=list)

    def label(self, stem):
        self.labels += 1
        return f"{stem}{self.labels}"

    def imm(self):
        kind = self.rng.randrange(5)
        if kind == 0:
            return self.rng.randrange(100)
        if kind == 1:
            return self.rng.choice([0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 1 << 32, SIGN - 1, SIGN, MASK])
        return self.rng.randrange(1 << self.rng.choice([8, 31, 32, 33, 64]))

    def simple(self, reserved):
        rng = self.rng
        while True:
            kind = rng.randrange(12)
            reg = rng.choice(REGS)
            if kind == 0:
                ops = [Op((rng.choice(["mov", "movq", "movl"]), reg, self.imm()))]
            elif kind == 1:
                ops = [Op((rng.choice(["mov", "movq", "movl"]), *rng.choice(PAIRS)))]
            elif kind in (2, 3):
                ops = [Op((rng.choice(ALU), reg, self.imm()))]
            elif kind == 4:
                ops = [Op((rng.choice(ALU + ["imul"]), *rng.choice(PAIRS)))]
            elif kind == 5:
                ops = [Op((rng.choice(["mul", "imul"]), reg))]
            elif kind == 6:
                # Mostly a division that cannot fault; now and then one that may.
                divisor = rng.choice([r for r in REGS if r != "rdx"])
                prefix = [Op(("xor", "rdx", "rdx"))] if rng.random() < 0.95 else []
                if rng.random() < 0.8:
                    prefix.append(Op(("mov", divisor, self.imm() | 1)))
                ops = [*prefix, Op(("div", divisor))]
            elif kind in (7, 8):
                ops = [Op((rng.choice(["inc", "dec", "neg", "not"]), reg))]
            elif kind in (9, 10):
                count = rng.choice([1, 1, 0, 2, 63, 64, 65, -1, -63, rng.randrange(-128, 128)])
                mnemonic = rng.choice(SHIFTS)
                # rcl and rcr read CF: give it a defined value first.
                prefix = [Op(("cmp", rng.choice(REGS), self.imm()))] if mnemonic in ("rcl", "rcr") else []
                ops = [*prefix, Op((mnemonic, reg, count))]
            else:
                ops = [Op(("nop",))]
            if not any(writes(op) & reserved for op in ops):
                return ops

    def block(self, reserved, depth, length=None):
        rng = self.rng
        ops = []
        for _ in range(length or rng.randrange(1, 6)):
            kind = rng.randrange(10) if depth < 2 else 0
            if kind <= 4:
                ops += self.simple(reserved)
            elif kind == 5:
                counter = rng.choice([r for r in REGS if r not in reserved])
                top = self.label("loop")
                inner = self.block(reserved | {counter}, depth + 1)
                if rng.random() < 0.5:
                    step_down = rng.choice([Op(("dec", counter)), Op(("sub", counter, 1))])
                    ops += [Op(("mov", counter, rng.randrange(1, 5))), Op(("label", top)), *inner, step_down,
                            Op((rng.choice(["jne", "jnz", "bne"]), top))]
                else:
                    ops += [Op(("mov", counter, 0)), Op(("label", top)), *inner, Op(("inc", counter)),
                            Op(("cmp", counter, rng.randrange(1, 5))),
                            Op((rng.choice(["jb", "jl", "blt", "blo"]), top))]
            elif kind == 6:
                skip = self.label("skip")
                if rng.random() < 0.6:
                    test = Op(("cmp", rng.choice(REGS), self.imm()))
                else:
                    test = Op(("test", *rng.choice(PAIRS)))
                ops += [test, Op((rng.choice(list(CONDITIONS)), skip)), *self.block(reserved, depth + 1),
                        Op(("label", skip))]
            elif kind == 7:
                other, end = self.label("else"), self.label("endif")
                ops += [Op(("cmp", rng.choice(REGS), self.imm())), Op((rng.choice(list(CONDITIONS)), other)),
                        *self.block(reserved, depth + 1), Op((rng.choice(sorted(JUMPS)), end)), Op(("label", other)),
                        *self.block(reserved, depth + 1), Op(("label", end))]
            elif kind == 8:
                saved, restored = rng.choice(REGS), rng.choice([r for r in REGS if r not in reserved])
                ops += [Op(("push", saved)), *self.block(reserved, depth + 1), Op(("pop", restored))]
            else:
                # A subroutine that takes its return address off the stack and jumps back.
                name, back = self.label("sub"), self.label("back")
                scratch = rng.choice([r for r in REGS if r not in reserved])
                self.subroutines += [Op(("label", name)), Op(("pop", scratch)), Op(("mov", scratch, self.imm())),
                                     *self.block(reserved, depth + 1), Op(("jmp", back))]
                ops += [Op((rng.choice(sorted(CALLS)), name)), Op(("label", back))]
        return ops

    def program(self):
        rng = self.rng
        head = [Op(("directive", text)) for text in rng.sample([".text", ".global main", ".data", ".bss", "_start",
                                                              ".section .text"], rng.randrange(3))]
        body = self.block(frozenset(), 0, rng.randrange(3, 9))
        if rng.random() < 0.2:
            # A final call whose subroutine ends the whole program.
            last = self.label("tail")
            tail = [Op(("call", last)), Op(("nop",)), Op(("label", last)), *self.block(frozenset(), 1)]
        else:
            tail = []
        ending = [Op(("ret",))] if self.subroutines or rng.random() < 0.5 else []
        return [*head, *body, *tail, *ending, *self.subroutines]


def render(op, rng):
    mnemonic, operands = op[0], op[1:]
    if mnemonic == "label":
        return f"{operands[0]}:"
    if mnemonic == "directive":
        return operands[0]
    word = rng.choice([mnemonic, mnemonic.upper(), mnemonic.capitalize()])
    text = " ".join([word, rng.choice([", ", " ", ",\t"]).join(str(o) for o in operands)]).strip()
    return text + (" ; why" if rng.random() < 0.1 else "")


def layout(ops, rng):
    """Source text for `ops` with comments, blank lines and `;;`; the statements know their numbers and lines."""
    statements = [Statement(op) for op in ops]
    offset = BODY_START
    for st in statements:
        st.offset = offset
        offset += size_of(st.op)
        if st.op[0] in CALLS:
            st.op.offset_after = offset
    lines, current = [], []
    for number, st in enumerate(statements, 1):
        st.text, st.number = render(st.op, rng), number
        if current and (";" in current[-1].text or rng.random() < 0.8):
            lines.append(current)
            current = []
            if rng.random() < 0.15:
                lines.append(rng.choice(["", "# a note", "; a note", "   "]))
        current.append(st)
    lines.append(current)
    text_lines = []
    for number, line in enumerate(lines, 1):
        if isinstance(line, str):
            text_lines.append(line)
            continue
        for st in line:
            st.line = number
        text_lines.append(rng.choice(["", "    ", "\t"]) + " ;; ".join(st.text for st in line))
    return rng.choice(["\n", "\r\n"]).join(text_lines) + rng.choice(["", "\n"]), statements


def random_program(seed):
    rng = random.Random(seed)
    text, statements = layout(Generator(rng).program(), rng)
    registers = {rng.choice([name, name.upper()]): Generator(rng).imm() for name in rng.sample(REGS, 6)}
    return text, statements, registers


def engine_after_run(text, registers):
    engine = quorvel.Quorvel()
    for name, value in registers.items():
        engine.mov(name, value)
    engine.asm(text)
    try:
        engine.execute()
        return engine, None
    except ValueError as error:
        return engine, str(error)


def start_registers(registers):
    start = dict.fromkeys(REGS, 0)
    start.update({name.lower(): value for name, value in registers.items()})
    return start


# --- the tests -------------------------------------------------------------

SEEDS = range(150)


@pytest.mark.parametrize("seed", SEEDS)
def test_model_agrees_with_execute(seed):
    """The model's result and faults match a plain execute(), so it can judge the trace."""
    text, statements, registers = random_program(seed)
    engine, fault = engine_after_run(text, registers)
    _, rax, fault_offset = run_model(statements, start_registers(registers))
    if fault_offset is None:
        assert (fault, rax) == (None, engine.get("rax"))
    else:
        assert fault is not None and fault.endswith(f"at code offset {fault_offset:#x}")


@pytest.mark.parametrize("seed", SEEDS)
def test_listing_rows_agree_with_install(seed, tmp_path):
    text, statements, registers = random_program(seed)
    engine, _ = engine_after_run(text, registers)
    engine.install(str(tmp_path / "code.bin"))
    installed = (tmp_path / "code.bin").read_bytes()
    listing = quorvel_lab.listing(text, registers)

    assert listing.code == installed
    assert b"".join(row.data for row in listing.rows) == installed[BODY_START:-EPILOGUE_SIZE]
    assert [(r.statement, r.line, r.text, r.offset, len(r.data)) for r in listing.rows] == [
        (st.number, st.line, st.text, st.offset, size_of(st.op)) for st in statements
    ]
    targets = {st.op[1]: st.offset for st in statements if st.op[0] == "label"}
    targets["ret"] = len(installed) - EPILOGUE_SIZE
    for st, row in zip(statements, listing.rows):
        if st.op[0] in CONDITIONS or st.op[0] in JUMPS | CALLS or st.op[0] == "ret":
            displacement = int.from_bytes(row.data[-4:], "little", signed=True)
            assert row.offset + len(row.data) + displacement == targets[st.op[-1]], row


@pytest.mark.parametrize("seed", SEEDS)
def test_trace_agrees_with_the_model_step_by_step(seed):
    text, statements, registers = random_program(seed)
    expected, rax, fault_offset = run_model(statements, start_registers(registers))
    trace = quorvel_lab.trace(text, registers)

    assert len(trace.steps) == len(expected)
    bases = set()
    frame_pointer = trace.steps[0].registers["rbp"] if trace.steps else None
    for number, (got, want) in enumerate(zip(trace.steps, expected), 1):
        st = want.statement
        assert (got.step, got.statement, got.line, got.text, got.offset) == (number, st.number, st.line, st.text,
                                                                              st.offset)
        assert got.registers["rbp"] == frame_pointer
        for name in REGS:
            value = want.registers[name]
            if isinstance(value, ReturnAddress):
                bases.add(got.registers[name] - value.offset)
            else:
                assert got.registers[name] == value, (number, st.text, name)
        defined = {name: flag for name, flag in want.flags.items() if flag is not None}
        assert {name: got.flags[name] for name in defined} == defined, (number, st.text)
    assert len(bases) <= 1
    if fault_offset is None:
        assert (trace.rax, trace.stopped) == (rax, "completed")
    else:
        _, fault = engine_after_run(text, registers)
        assert (trace.rax, trace.stopped) == (None, fault)
        assert fault.endswith(f"at code offset {fault_offset:#x}")


def resolved(value, bases):
    """A model value as the machine holds it: a return address is the code's base plus its offset."""
    if isinstance(value, ReturnAddress):
        (base,) = bases
        return base + value.offset
    return value


@pytest.mark.parametrize("seed", SEEDS)
def test_the_stepper_agrees_with_trace_and_the_stack_with_a_replay(seed):
    text, statements, registers = random_program(seed)
    expected, _, _ = run_model(statements, start_registers(registers))
    trace = quorvel_lab.trace(text, registers)
    stepper = Stepper(text, list(registers.items()))
    bases = {got.stack_top - want.stack[-1].offset for got, want in zip(trace.steps, expected)
             if want.stack and isinstance(want.stack[-1], ReturnAddress)}
    for number, (traced, want) in enumerate(zip(trace.steps, expected), 1):
        assert stepper.statement == traced.statement
        assert stepper.step() == traced
        stack = [resolved(value, bases) for value in reversed(want.stack)]
        assert (stepper.stack, stepper.stack_depth, stepper.steps) == (stack, len(stack), number), traced.text
        assert (traced.stack_depth, traced.stack_top) == (len(stack), stack[0] if stack else None)
    assert stepper.step() is None
    assert (stepper.stopped, stepper.rax, stepper.note) == (trace.stopped, trace.rax, trace.note)


@pytest.mark.parametrize("seed", SEEDS[::3])
def test_a_breakpoint_stops_before_each_time_its_statement_runs(seed):
    text, statements, registers = random_program(seed)
    trace = quorvel_lab.trace(text, registers)
    rng = random.Random(seed)
    ran = [step.statement for step in trace.steps]
    if not ran:
        return
    target = rng.choice(ran)
    before = statements[target - 2] if target > 1 else None
    # A label stands for the statement after it.
    breakpoint = before.number if before is not None and before.op[0] == "label" and rng.random() < 0.5 else target
    stepper = Stepper(text, registers)
    stepper.breakpoints = {breakpoint}
    # Each run() steps over the statement it starts at, then stops before the next run of the target.
    stops = [index for index, statement in enumerate(ran) if statement == target and index > 0]
    for index in stops:
        assert (stepper.run(), stepper.statement) == ("breakpoint", target)
        assert stepper.registers == trace.steps[index - 1].registers
    assert stepper.run() == trace.stopped
    assert stepper.rax == trace.rax


@pytest.mark.parametrize("seed", SEEDS[::5])
def test_a_paused_stepper_goes_on_correctly_after_other_engines_ran(seed):
    text, statements, registers = random_program(seed)
    trace = quorvel_lab.trace(text, registers)
    half = len(trace.steps) // 2
    stepper = Stepper(text, registers)
    assert stepper.run(max_steps=half) in ("max_steps", trace.stopped)
    other_text, _, other_registers = random_program(seed + 1000)
    engine_after_run(other_text, other_registers)
    ran = quorvel_lab.run(other_text, other_registers)
    assert ran.stopped == quorvel_lab.trace(other_text, other_registers).stopped
    other = Stepper(other_text, other_registers)
    other.step()
    rest = [stepper.step() for _ in range(len(trace.steps) - half)]
    assert rest == trace.steps[half:]
    assert (stepper.step(), stepper.stopped, stepper.rax) == (None, trace.stopped, trace.rax)


def test_the_programs_exercise_what_the_model_knows():
    """Guards the generator: the random programs do reach loops, calls, faults and every mnemonic kind."""
    kinds, faults, steps = set(), 0, 0
    for seed in SEEDS:
        _, statements, registers = random_program(seed)
        model_steps, _, fault = run_model(statements, start_registers(registers))
        kinds |= {step.statement.op[0] for step in model_steps}
        faults += fault is not None
        steps += len(model_steps)
    assert kinds >= {"call", "div", "mul", "imul", "rcl", "rcr", "rol", "sar", "jne", "jmp", "push", "pop", "ret"}
    assert 0 < faults < len(SEEDS) // 4
    assert steps > 20 * len(SEEDS)
