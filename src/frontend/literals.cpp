#include "frontend/literals.hpp"

#include <array>
#include <cstddef>
#include <limits>
#include <string>

#include "frontend/unicode.hpp"
#include "registers/register_file.hpp"

namespace quorvel::frontend {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// Value of one digit of `Base`, or `Base` itself for any other character.
template <unsigned Base>
unsigned digit_value(char c) {
  const auto byte = static_cast<unsigned char>(c);
  unsigned value = Base;
  if (byte >= '0' && byte <= '9') value = byte - '0';
  else if (byte >= 'a' && byte <= 'f') value = byte - 'a' + 10;
  else if (byte >= 'A' && byte <= 'F') value = byte - 'A' + 10;
  return value < Base ? value : Base;
}

// One or more digits of `Base`, the value at most `max`. The last operand of
// most statements comes through here, so the base is a template argument.
template <unsigned Base>
inline std::optional<std::uint64_t> read_unsigned(std::string_view digits, std::uint64_t max) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    const unsigned digit = digit_value<Base>(c);
    // value * Base + digit <= max, checked without overflowing.
    if (digit == Base || value > (max - digit) / Base) return std::nullopt;
    value = value * Base + digit;
  }
  return value;
}

std::string_view without_plus(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  return text;
}

enum class Radix : unsigned char { Decimal, Hex, Binary };

struct NumberText {
  Radix radix;
  std::string_view digits;  // after the radix prefix, sign included
};

NumberText classify(std::string_view trimmed) {
  if (trimmed.starts_with("0x") || trimmed.starts_with("0X")) return {Radix::Hex, trimmed.substr(2)};
  if (trimmed.starts_with("0b") || trimmed.starts_with("0B")) return {Radix::Binary, trimmed.substr(2)};
  return {Radix::Decimal, trimmed};
}

// parse_number without building the message, for the places that only try.
std::optional<std::uint64_t> try_number(std::string_view text) {
  const NumberText number = classify(trim(text));
  const std::string_view digits = without_plus(number.digits);
  switch (number.radix) {
    case Radix::Hex: return read_unsigned<16>(digits, kU64Max);
    case Radix::Binary: return read_unsigned<2>(digits, kU64Max);
    case Radix::Decimal: break;
  }
  return read_unsigned<10>(digits, kU64Max);
}

// The first three pieces of `text` cut at every `separator`, and how many
// pieces there are in all.
struct Pieces {
  std::array<std::string_view, 3> piece{};
  std::size_t count = 0;
};

Pieces cut(std::string_view text, char separator) {
  Pieces result;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    const std::string_view piece = text.substr(start, at == std::string_view::npos ? at : at - start);
    if (result.count < result.piece.size()) result.piece[result.count] = piece;
    ++result.count;
    if (at == std::string_view::npos) return result;
    start = at + 1;
  }
}

std::string_view register_text(std::string_view piece) { return strip_prefixes(trim(piece)); }

bool contains(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }

// One constructor per variant, so each result names only the fields it uses.
MemOperand operand(MemKind kind, std::string_view base = {}, std::string_view index = {}) {
  MemOperand mem;
  mem.kind = kind;
  mem.base = base;
  mem.index = index;
  return mem;
}

MemOperand base_only(std::string_view base) { return operand(MemKind::Base, base); }

MemOperand absolute(std::uint64_t addr) {
  MemOperand mem = operand(MemKind::Absolute);
  mem.addr = addr;
  return mem;
}

MemOperand base_disp(std::string_view base, std::uint64_t disp) {
  MemOperand mem = operand(MemKind::BaseDisp, base);
  mem.disp = static_cast<std::int64_t>(disp);
  return mem;
}

MemOperand base_index(std::string_view base, std::string_view index) {
  return operand(MemKind::BaseIndex, base, index);
}

MemOperand base_index_scale(std::string_view base, std::string_view index, std::uint8_t scale) {
  MemOperand mem = operand(MemKind::BaseIndexScale, base, index);
  mem.scale = scale;
  return mem;
}

MemOperand base_index_scale_disp(std::string_view base, std::string_view index, std::uint64_t disp,
                                 std::uint8_t scale) {
  MemOperand mem = operand(MemKind::BaseIndexScaleDisp, base, index);
  mem.disp = static_cast<std::int64_t>(disp);
  mem.scale = scale;
  return mem;
}

MemOperand rip_relative(std::uint64_t disp) {
  MemOperand mem = operand(MemKind::RipRelative);
  // Only the low 32 bits reach a rip-relative displacement.
  mem.disp = static_cast<std::int32_t>(static_cast<std::uint32_t>(disp));
  return mem;
}

Result<MemOperand> scaled_index(std::string_view left, std::string_view index, std::string_view scale_text) {
  const std::string_view base = register_text(left);
  const std::string_view st = trim(scale_text);
  if (!contains(st, '+')) {
    const auto scale = parse_scale(st);
    if (!scale) return value_error("Invalid scale: " + std::string(st));
    return base_index_scale(base, index, *scale);
  }
  const Pieces parts = cut(st, '+');
  const auto scale = parse_scale(trim(parts.piece[0]));
  if (!scale) return value_error("Invalid scale");
  auto disp = parse_number(parts.piece[1]);
  if (!disp) return std::move(disp).error();
  return base_index_scale_disp(base, index, disp.value(), *scale);
}

Result<MemOperand> parse_bracket(std::string_view inner) {
  if (const auto addr = try_number(inner)) return absolute(*addr);

  const std::size_t plus = inner.find('+');
  if (LoweredText(inner).view().find("rip") != std::string_view::npos) {
    if (plus == std::string_view::npos) return base_only("rip");
    auto disp = parse_number(inner.substr(plus + 1));
    if (!disp) return std::move(disp).error();
    return rip_relative(disp.value());
  }

  if (inner.find_first_of("+-*") == std::string_view::npos) return base_only(strip_prefixes(inner));

  if (plus != std::string_view::npos) {
    const std::string_view left = trim(inner.substr(0, plus));
    const std::string_view rest = trim(inner.substr(plus + 1));
    const Pieces factors = cut(rest, '*');
    if (factors.count == 2) return scaled_index(left, register_text(factors.piece[0]), factors.piece[1]);
    if (registers::is_register_name(LoweredText(strip_prefixes(rest)).view())) {
      return base_index(strip_prefixes(left), strip_prefixes(rest));
    }
    if (const auto disp = try_number(rest)) return base_disp(strip_prefixes(left), *disp);
  }

  const std::size_t minus = inner.find('-');
  if (minus != std::string_view::npos) {
    if (const auto value = try_number(inner.substr(minus + 1))) {
      return base_disp(strip_prefixes(trim(inner.substr(0, minus))), 0 - *value);
    }
  }
  return value_error("Could not parse memory address: [" + std::string(inner) + "]");
}

// `s` contains '(' and ends with ')'.
Result<MemOperand> parse_parenthesis(std::string_view s) {
  const std::size_t open = s.find('(');
  const std::string_view inner = s.substr(open + 1, s.size() - open - 2);
  const Pieces parts = cut(inner, ',');
  const bool indexed = parts.count > 1;
  const std::string_view base = register_text(parts.piece[0]);
  const std::string_view index = register_text(parts.piece[1]);

  if (open > 0) {
    auto disp = parse_number(s.substr(0, open));
    if (!disp) return std::move(disp).error();
    if (!indexed) return base_disp(strip_prefixes(inner), disp.value());
    std::uint8_t scale = 1;
    if (parts.count == 3) {
      const auto parsed = parse_scale(trim(parts.piece[2]));
      if (!parsed) return value_error("Invalid scale");
      scale = *parsed;
    }
    return base_index_scale_disp(base, index, disp.value(), scale);
  }

  if (indexed) {
    if (parts.count != 3) return base_index(base, index);
    const auto scale = parse_scale(trim(parts.piece[2]));
    if (!scale) return value_error("Invalid scale in AT&T syntax");
    return base_index_scale(base, index, *scale);
  }
  if (contains(inner, '+')) return value_error("Could not parse AT&T memory: (" + std::string(inner) + ")");
  return base_only(strip_prefixes(inner));
}

}  // namespace

std::optional<std::uint64_t> parse_decimal_immediate(std::string_view text) {
  return read_unsigned<10>(without_plus(text), kU64Max);
}

std::optional<std::int8_t> parse_count(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  else text = without_plus(text);
  constexpr int kMin = std::numeric_limits<std::int8_t>::min();
  constexpr int kMax = std::numeric_limits<std::int8_t>::max();
  const auto magnitude = read_unsigned<10>(text, negative ? static_cast<std::uint64_t>(-kMin) : kMax);
  if (!magnitude) return std::nullopt;
  const int value = static_cast<int>(*magnitude);
  return static_cast<std::int8_t>(negative ? -value : value);
}

std::optional<std::uint8_t> parse_scale(std::string_view text) {
  const auto value = read_unsigned<10>(without_plus(text), std::numeric_limits<std::uint8_t>::max());
  if (!value) return std::nullopt;
  return static_cast<std::uint8_t>(*value);
}

Result<std::uint64_t> parse_number(std::string_view text) {
  const std::string_view t = trim(text);
  if (const auto value = try_number(t)) return *value;
  switch (classify(t).radix) {
    case Radix::Hex: return value_error("Invalid hex: " + std::string(t));
    case Radix::Binary: return value_error("Invalid binary: " + std::string(t));
    case Radix::Decimal: break;
  }
  return value_error("Invalid number: " + std::string(t));
}

std::string_view strip_prefixes(std::string_view text) {
  for (char prefix : {'%', '$', '#'}) {
    while (text.starts_with(prefix)) text.remove_prefix(1);
  }
  return text;
}

Result<MemOperand> parse_memory_operand(std::string_view text) {
  const std::string_view s = trim(text);
  if (s.starts_with('[') && s.ends_with(']')) return parse_bracket(trim(s.substr(1, s.size() - 2)));
  if (contains(s, '(') && s.ends_with(')')) return parse_parenthesis(s);
  return value_error("Invalid memory address format: " + std::string(s));
}

}  // namespace quorvel::frontend
