#pragma once
// The parsed statement. One tag per instruction form; the operand texts are
// views into the program text, which must outlive the instruction list.

#include <cstdint>
#include <string_view>

#include "frontend/mem_operand.hpp"

namespace quorvel::frontend {

enum class Op : std::uint8_t {
  MovImm, MovReg, MovLoad, MovStore, MovL, MovQ, Lea,
  AddImm, AddReg, SubImm, SubReg, Mul, IMul, Div, Inc, Dec, Neg,
  AndImm, AndReg, OrImm, OrReg, XorImm, XorReg, Not,
  Shl, Shr, Sal, Sar, Rol, Ror, Rcl, Rcr, Lsl, Lsr, Asr,
  Push, Pop, CmpImm, CmpReg, TestImm, TestReg,
  Jmp, Je, Jne, Jg, Jge, Jl, Jle, Ja, Jae, Jb, Jbe,
  B, Beq, Bne, Bcs, Bcc, Bmi, Bpl, Bvs, Bvc, Bhi, Bls, Bge, Blt, Bgt, Ble, Bal,
  Call, Bl, Ret, Nop,
  Label, Global, Text, Data, Bss, Start,
};

// Jumps, branches and calls: their one operand is a label name.
constexpr bool targets_label(Op op) { return op >= Op::Jmp && op <= Op::Bl; }

// Whether the instruction writes the register named by its first operand:
// false for jumps, calls, comparisons and pushes, and for mul and div,
// whose operand is only read.
constexpr bool writes_first_operand(Op op) {
  switch (op) {
    case Op::Mul:
    case Op::Div:
    case Op::Push:
    case Op::CmpImm:
    case Op::CmpReg:
    case Op::TestImm:
    case Op::TestReg:
    case Op::MovStore:
    case Op::Label:
    case Op::Global:
    case Op::Text:
    case Op::Data:
    case Op::Bss:
    case Op::Start:
    case Op::Ret:
    case Op::Nop: return false;
    default: return !targets_label(op);
  }
}

// Which fields each tag uses:
//   `first`  — dest (two-operand forms, trailing commas removed), first (MovL/MovQ),
//              operand (Mul, Div, Inc, Dec, Neg, Not, Push, Pop), target (jumps,
//              branches, Call, Bl), name (Label, Global)
//   `second` — src (register forms, MovStore), second (MovL/MovQ), as written
//   `imm`    — the *Imm forms and MovImm
//   `count`  — shifts and rotates
//   `mem`    — MovLoad, MovStore, Lea
// Small fields first: the list is walked twice per generation.
struct Instruction {
  Op op = Op::Nop;
  std::int8_t count = 0;
  std::uint32_t statement = 0;  // number of the statement it came from, from 1
  std::string_view first;
  std::string_view second;
  std::uint64_t imm = 0;
  MemOperand mem;
};

}  // namespace quorvel::frontend
