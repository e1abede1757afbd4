#pragma once
#include <span>

#include "codegen/assembler.hpp"
#include "codegen/executable_buffer.hpp"
#include "common/result.hpp"
#include "frontend/instruction.hpp"
#include "registers/register_file.hpp"

namespace quorvel::codegen {

// Offsets of the fixed frame around the program body.
inline constexpr std::size_t kPrologueSize = 13;
inline constexpr std::size_t kBodyOffset = 143;  // prologue and thirteen 10-byte register loads
inline constexpr std::size_t kEpilogueSize = 14;

// Emits the whole function for an already parsed program into `assembler`
// and finishes it: prologue, register loads with the values of `registers`,
// the body, the exit label and the epilogue.
Result<ExecutableBuffer> assemble_program(Assembler assembler, std::span<const frontend::Instruction> program,
                                          const registers::RegisterFile& registers);

}  // namespace quorvel::codegen
