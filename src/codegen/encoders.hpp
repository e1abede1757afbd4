#pragma once
// x86-64 encoders for parsed instructions. Only 64-bit registers written
// exactly in lower case are encodable, and only the operand combinations in
// the tables; anything else is refused with a message, never encoded some
// other way.

#include <string_view>

#include "codegen/assembler.hpp"
#include "codegen/label_ids.hpp"
#include "common/result.hpp"
#include "frontend/instruction.hpp"

namespace quorvel::codegen {

// The 4-bit register number of one of the 14 encodable names, or -1.
int register_number(std::string_view name);

// Appends the encoding of `instruction` (and for jumps, calls and ret a
// rel32 reference) or returns the message that ends generation. `label_ids`
// holds every label the program defines, so forward references resolve.
Status encode_instruction(Assembler& assembler, const frontend::Instruction& instruction, const LabelIds& label_ids,
                          DynamicLabel exit_label);

}  // namespace quorvel::codegen
