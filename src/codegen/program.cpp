#include "codegen/program.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <string>

#include "codegen/encoders.hpp"
#include "frontend/parser.hpp"

namespace quorvel::codegen {
namespace {

using frontend::Instruction;
using frontend::Op;
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
static_assert(std::size(kLoads) == kLoadedRegisterCount);
static_assert(kPrologueSize + 10 * std::size(kLoads) == kBodyOffset);
static_assert(std::size(kEpilogue) == kEpilogueSize);

// No statement encodes to more than this many bytes.
constexpr std::size_t kLongestStatement = 10;
// Offsets are 32-bit and every rel32 must reach across the whole function.
constexpr std::size_t kLargestFunction = std::numeric_limits<std::int32_t>::max();

void emit_frame_start(Assembler& assembler) {
  assembler.emit(kPrologue, std::size(kPrologue));
  for (const RegisterLoad& load : kLoads) {
    const std::uint8_t bytes[10] = {load.rex, load.opcode};
    assembler.emit(bytes, sizeof bytes);
  }
}

// The prologue pushes five registers below the saved rbp.
constexpr std::uint32_t kSavedRegisters = 5;

// `pops` counts the pops so far. The epilogue returns through the address
// above the rbp the prologue set, so only a write to rbp, or pushes after
// more pops than the five saved registers make room for, can send it
// elsewhere. Code without backward jumps runs each pop at most once until
// then, so five pops in the whole text cannot; with backward jumps the code
// counts as looping anyway.
void note_hazards(const Instruction& instruction, Hazards& hazards, std::uint32_t& pops) {
  switch (instruction.op) {
    case Op::Div: hazards.divides = true; return;
    case Op::Push:
    case Op::Call:
    case Op::Bl: hazards.grows_stack = true; return;
    case Op::Pop:
      if (instruction.first == "rbp" || ++pops > kSavedRegisters) hazards.corrupts_frame = true;
      return;
    case Op::CmpImm:
    case Op::CmpReg:
    case Op::TestImm:
    case Op::TestReg:
    case Op::Mul:
    case Op::Label:
    case Op::Global: return;
    default:
      // Everything else but a jump, whose operand is a label name, writes
      // its first operand, and the epilogue trusts rbp.
      if (!frontend::targets_label(instruction.op) && instruction.first == "rbp") hazards.corrupts_frame = true;
      return;
  }
}

Error named_error(std::string message, std::string_view name, std::uint32_t statement) {
  message += name;
  Error error = value_error(std::move(message));
  error.statement = statement;
  return error;
}

// The failure of the earliest statement among an encoding failure and the
// uses of labels that are defined nowhere; then the first label, in the
// order of first definition, that is defined twice.
std::optional<Error> label_failure(const LabelTable& labels, std::optional<Error> encoding) {
  const LabelEntry* undefined = nullptr;
  for (const LabelEntry& entry : labels.entries()) {
    if (entry.first_definition == 0 && entry.first_use != 0 &&
        (undefined == nullptr || entry.first_use < undefined->first_use)) {
      undefined = &entry;
    }
  }
  if (undefined != nullptr && (!encoding || undefined->first_use < encoding->statement)) {
    return named_error("Undefined label: ", undefined->name, undefined->first_use);
  }
  if (encoding) return encoding;
  const LabelEntry* duplicate = nullptr;
  for (const LabelEntry& entry : labels.entries()) {
    if (entry.second_definition != 0 && (duplicate == nullptr || entry.first_definition < duplicate->first_definition)) {
      duplicate = &entry;
    }
  }
  if (duplicate != nullptr) return named_error("Duplicate label: ", duplicate->name, duplicate->second_definition);
  return std::nullopt;
}

}  // namespace

LoadedValues loaded_values(const registers::RegisterFile& registers) {
  LoadedValues values{};
  for (std::size_t i = 0; i < kLoadedRegisterCount; ++i) values[i] = registers.x86[kLoads[i].slot];
  return values;
}

void write_register_loads(std::uint8_t* function, const LoadedValues& values) {
  std::uint8_t* immediate = function + kRegisterLoadsOffset + 2;
  for (std::uint64_t value : values) {
    for (unsigned i = 0; i < 8; ++i) immediate[i] = static_cast<std::uint8_t>(value >> (8 * i));
    immediate += 10;
  }
}

Result<GeneratedCode> generate_code(std::string_view text, StatementOffsets offsets) {
  const bool record_offsets = offsets == StatementOffsets::Record;
  if (record_offsets && text.size() > std::numeric_limits<std::uint32_t>::max()) {
    return value_error("Program too large: the lab takes at most 4 GiB of text");
  }
  GeneratedCode code;
  Assembler assembler;
  LabelTable table;
  LabelContext labels{table, assembler.new_dynamic_label()};
  const std::size_t statements = frontend::statement_capacity_hint(text);
  // Capacity that is never written costs address space, not memory.
  assembler.reserve(kFrameSize + kLongestStatement * statements);
  if (record_offsets) {
    code.statement_offsets.reserve(statements);
    code.statements.reserve(statements);
  }
  emit_frame_start(assembler);

  std::optional<Error> encoding_failure;
  frontend::StatementCursor cursor(text);
  frontend::Instruction record;
  Error parse_failure;
  std::uint32_t pops = 0;
  for (frontend::Statement statement; cursor.next(statement);) {
    if (record_offsets) {
      code.statement_offsets.push_back(assembler.offset());
      code.statements.push_back({statement.line, static_cast<std::uint32_t>(statement.text.data() - text.data()),
                                 static_cast<std::uint32_t>(statement.text.size()),
                                 static_cast<std::uint32_t>(statement.code.size())});
    }
    switch (frontend::parse_statement(statement.code, statement.number, record, parse_failure)) {
      case frontend::ParseOutcome::Failure: return parse_failure;
      case frontend::ParseOutcome::Nothing: continue;
      case frontend::ParseOutcome::Record: break;
    }
    // After the first encoding failure the rest is still parsed, since a
    // parse failure anywhere wins, and label definitions are still noted,
    // since an earlier jump to a later label is not a failure.
    if (encoding_failure && record.op != Op::Label) continue;
    if (Status encoded = encode_instruction(assembler, record, labels); !encoded) {
      encoding_failure = std::move(encoded).error();
      encoding_failure->statement = statement.number;
      continue;
    }
    note_hazards(record, code.hazards, pops);
  }
  if (auto failure = label_failure(table, std::move(encoding_failure))) return std::move(*failure);

  assembler.define_dynamic_label(labels.exit_label);
  assembler.emit(kEpilogue, std::size(kEpilogue));
  if (assembler.ops().size() > kLargestFunction) {
    return value_error("Program too large: the generated code exceeds 2 GiB");
  }
  assembler.resolve();
  // Code that can make the epilogue return somewhere other than its caller
  // can come back to its start, or anywhere, with forward jumps only.
  code.hazards.loops = labels.backward_transfer || code.hazards.corrupts_frame;
  code.bytes = std::move(assembler.ops());
  return code;
}

std::uint32_t statement_at(const std::vector<std::uint32_t>& statement_offsets, std::size_t code_length,
                           std::size_t offset) {
  if (offset < kBodyOffset || offset + kEpilogueSize >= code_length) return 0;
  // Statements that produce nothing share their offset with the next one;
  // the last statement starting at or before `offset` is the one with bytes.
  const auto after = std::upper_bound(statement_offsets.begin(), statement_offsets.end(), offset);
  if (after == statement_offsets.begin()) return 0;
  return static_cast<std::uint32_t>(after - statement_offsets.begin());
}

}  // namespace quorvel::codegen
