// libFuzzer target: the operand readers on arbitrary bytes. Besides the
// sanitizers, it checks that results point into the input and that the
// literal readers agree with each other where their grammars overlap.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "frontend/literals.hpp"
#include "frontend/unicode.hpp"
#include "require.hpp"

namespace {

using namespace quorvel::frontend;

bool inside(std::string_view text, std::string_view part) {
  return part.empty() || (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
}

constexpr std::string_view kMessages[] = {
    "Invalid number: ", "Invalid hex: ", "Invalid binary: ", "Invalid scale",
    "Could not parse memory address: [", "Could not parse AT&T memory: (", "Invalid memory address format: ",
};

bool known_message(std::string_view message) {
  for (std::string_view prefix : kMessages) {
    if (message.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto mem = parse_memory_operand(text);
  if (mem.ok()) {
    const MemOperand& m = mem.value();
    REQUIRE(m.base == "rip" || inside(text, m.base));
    REQUIRE(inside(text, m.index));
    if (m.kind == MemKind::RipRelative) REQUIRE(m.disp >= INT32_MIN && m.disp <= INT32_MAX);
  } else {
    REQUIRE(known_message(mem.error().message));
  }

  // A decimal immediate is a number of the same value; a scale is a decimal
  // immediate; a non-negative count is one too.
  const auto decimal = parse_decimal_immediate(text);
  const auto number = parse_number(text);
  if (decimal) REQUIRE(number.ok() && number.value() == *decimal);
  if (!number.ok()) REQUIRE(known_message(number.error().message));
  if (const auto scale = parse_scale(text)) REQUIRE(decimal && *decimal == *scale);
  if (const auto count = parse_count(text); count && *count >= 0 && !text.starts_with('-')) {
    REQUIRE(decimal && *decimal == static_cast<std::uint64_t>(*count));
  }

  const std::string_view stripped = strip_prefixes(text);
  REQUIRE(inside(text, stripped) && stripped.data() + stripped.size() == text.data() + text.size());
  REQUIRE(!stripped.starts_with('#'));
  return 0;
}
