#pragma once
// Helpers shared by the code generator tests: building instruction records
// by hand, encoding one record or one program text, and formatting bytes as
// "48 05 01 00".

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "codegen/assembler.hpp"
#include "codegen/encoders.hpp"
#include "codegen/program.hpp"
#include "frontend/instruction.hpp"

namespace quorvel::codegen::testing {

using frontend::Instruction;
using frontend::Op;

inline Instruction make(Op op, std::string_view first = {}, std::string_view second = {}, std::uint64_t imm = 0,
                        std::int8_t count = 0) {
  Instruction instruction;
  instruction.op = op;
  instruction.first = first;
  instruction.second = second;
  instruction.imm = imm;
  instruction.count = count;
  return instruction;
}

inline Instruction shift(Op op, std::string_view dest, int count) {
  return make(op, dest, {}, 0, static_cast<std::int8_t>(count));
}

inline std::string hex(const std::uint8_t* bytes, std::size_t size) {
  std::string text;
  char piece[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(piece, sizeof piece, "%02X", bytes[i]);
    if (i != 0) text += ' ';
    text += piece;
  }
  return text;
}

inline std::string hex(const std::vector<std::uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }

// The bytes of one record encoded on its own, or "error: <message>".
inline std::string encode_alone(const Instruction& instruction) {
  Assembler assembler;
  LabelTable table;
  LabelContext labels{table, assembler.new_dynamic_label()};
  Status status = encode_instruction(assembler, instruction, labels);
  if (!status) return "error: " + status.error().message;
  return hex(assembler.ops());
}

// The body of a program text, between the register loads and the
// epilogue, or "error: <message>".
inline std::string body_hex(std::string_view text) {
  Result<GeneratedCode> code = generate_code(text);
  if (!code) return "error: " + code.error().message;
  const std::vector<std::uint8_t>& bytes = code.value().bytes;
  return hex(bytes.data() + kBodyOffset, bytes.size() - kFrameSize);
}

}  // namespace quorvel::codegen::testing
