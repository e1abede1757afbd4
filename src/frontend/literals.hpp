#pragma once
// Operand literals and memory operands. Everything here is a pure function of
// its argument; returned views point into the argument (or at static text).

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/result.hpp"
#include "frontend/mem_operand.hpp"

namespace quorvel::frontend {

// Optional '+', then ASCII digits; 0..2^64-1. No hex, no sign, no prefixes.
std::optional<std::uint64_t> parse_decimal_immediate(std::string_view text);

// Shift and rotate counts: optional '+' or '-', then ASCII digits; -128..127.
std::optional<std::int8_t> parse_count(std::string_view text);

// Memory operand scale: optional '+', then ASCII digits; 0..255.
std::optional<std::uint8_t> parse_scale(std::string_view text);

// Decimal, "0x"/"0X" hex or "0b"/"0B" binary, each with an optional '+';
// the text is trimmed first and quoted whole in the message.
Result<std::uint64_t> parse_number(std::string_view text);

// Drops leading '%', then leading '$', then leading '#'.
std::string_view strip_prefixes(std::string_view text);

// Intel "[base+index*scale+disp]" or AT&T "disp(base,index,scale)".
Result<MemOperand> parse_memory_operand(std::string_view text);

}  // namespace quorvel::frontend
