#include "codegen/program.hpp"

#include <cstdint>
#include <iterator>

#include "codegen/encoders.hpp"

namespace quorvel::codegen {
namespace {

using registers::X86Slot;

// push rbp; mov rbp, rsp; push rbx; push r12; push r13; push r14; push r15
constexpr std::uint8_t kPrologue[] = {0x55, 0x48, 0x89, 0xE5, 0x53, 0x41, 0x54,
                                      0x41, 0x55, 0x41, 0x56, 0x41, 0x57};

// pop r15; pop r14; pop r13; pop r12; pop rbx; mov rsp, rbp; pop rbp; ret
constexpr std::uint8_t kEpilogue[] = {0x41, 0x5F, 0x41, 0x5E, 0x41, 0x5D, 0x41,
                                      0x5C, 0x5B, 0x48, 0x89, 0xEC, 0x5D, 0xC3};

// mov r64, imm64 for each register the frame carries in. rbp, rsp and r11
// are not loaded: rbp and rsp hold the frame.
struct RegisterLoad {
  X86Slot slot;
  std::uint8_t rex;
  std::uint8_t opcode;
};
constexpr RegisterLoad kLoads[] = {
    {registers::kRax, 0x48, 0xB8}, {registers::kRbx, 0x48, 0xBB}, {registers::kRcx, 0x48, 0xB9},
    {registers::kRdx, 0x48, 0xBA}, {registers::kRsi, 0x48, 0xBE}, {registers::kRdi, 0x48, 0xBF},
    {registers::kR8, 0x49, 0xB8},  {registers::kR9, 0x49, 0xB9},  {registers::kR10, 0x49, 0xBA},
    {registers::kR12, 0x49, 0xBC}, {registers::kR13, 0x49, 0xBD}, {registers::kR14, 0x49, 0xBE},
    {registers::kR15, 0x49, 0xBF},
};

static_assert(std::size(kPrologue) == kPrologueSize);
static_assert(kPrologueSize + 10 * std::size(kLoads) == kBodyOffset);
static_assert(std::size(kEpilogue) == kEpilogueSize);

// No instruction encodes to more than this many bytes.
constexpr std::size_t kLongestInstruction = 10;

void emit_register_loads(Assembler& assembler, const registers::RegisterFile& registers) {
  for (const RegisterLoad& load : kLoads) {
    std::uint8_t bytes[10] = {load.rex, load.opcode};
    const std::uint64_t value = registers.x86[load.slot];
    for (unsigned i = 0; i < 8; ++i) bytes[2 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    assembler.emit(bytes, sizeof bytes);
  }
}

}  // namespace

Result<ExecutableBuffer> assemble_program(Assembler assembler, std::span<const frontend::Instruction> program,
                                          const registers::RegisterFile& registers) {
  const DynamicLabel exit_label = assembler.new_dynamic_label();

  // Every label is numbered before any code is emitted so that forward
  // references resolve; a second definition of a name is caught at finish.
  LabelIds label_ids;
  for (const frontend::Instruction& instruction : program) {
    if (instruction.op == frontend::Op::Label) label_ids.add(instruction.first, assembler);
  }

  assembler.reserve(kBodyOffset + kEpilogueSize + kLongestInstruction * program.size());
  assembler.emit(kPrologue, std::size(kPrologue));
  emit_register_loads(assembler, registers);
  for (const frontend::Instruction& instruction : program) {
    if (Status encoded = encode_instruction(assembler, instruction, label_ids, exit_label); !encoded) {
      Error error = std::move(encoded).error();
      error.statement = instruction.statement;
      return error;
    }
  }
  assembler.define_dynamic_label(exit_label);
  assembler.emit(kEpilogue, std::size(kEpilogue));
  return std::move(assembler).finish();
}

}  // namespace quorvel::codegen
