#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "frontend/instruction.hpp"

namespace quorvel::frontend {

// The statements of a program text: lines cut at '\n' and at ";;", trimmed,
// with blank pieces and pieces starting with ';' or '#' dropped.
std::vector<std::string_view> split_statements(std::string_view text);

// The whole program, or the first message. The instructions hold views into
// `text`; they and a failure carry the number of their statement.
Result<std::vector<Instruction>> parse_program(std::string_view text);

// Statement `number` (from 1) of `text` without its comment; empty if there
// is no such statement.
std::string_view statement_code(std::string_view text, std::uint32_t number);

}  // namespace quorvel::frontend
