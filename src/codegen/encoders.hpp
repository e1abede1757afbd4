#pragma once
// x86-64 encoders for parsed instructions. Only 64-bit registers written
// exactly in lower case are encodable, and only the operand combinations in
// the tables; anything else is refused with a message, never encoded some
// other way.

#include <string>
#include <string_view>
#include <vector>

#include "codegen/assembler.hpp"
#include "codegen/label_table.hpp"
#include "common/result.hpp"
#include "frontend/instruction.hpp"

namespace quorvel::codegen {

// The 4-bit register number of one of the 14 encodable names, or -1.
int register_number(std::string_view name);

// The forms the encoders accept under the mnemonic that `op` is encoded as
// (mov for MovReg, MovL, MovQ and MovImm; add for AddReg and AddImm; ...),
// written as a manual writes them: "mov r64, imm64", "mov rax, r64",
// "mov rbx, rbx", where r64 is any of the fourteen encodable registers.
// Empty for a tag that has neither a register-register nor an immediate form.
std::vector<std::string> operand_forms(frontend::Op op);

// The labels a generation has seen so far.
struct LabelContext {
  LabelTable& table;
  DynamicLabel exit_label;
  bool backward_transfer = false;  // set by a jump or call to a label already placed
};

// Appends the encoding of `instruction` (and for jumps, calls and ret a
// rel32 reference) or returns the message that ends generation. Jump and
// call targets are entered in the label table when first used; whether each
// is defined somewhere is for the caller to check once every statement is
// encoded.
Status encode_instruction(Assembler& assembler, const frontend::Instruction& instruction, LabelContext& labels);

}  // namespace quorvel::codegen
