// libFuzzer target: parse_program and split_statements on arbitrary bytes.
// Besides the sanitizers, it checks what callers rely on: statements and
// operand texts are views into the input, statements are trimmed and never
// blank or comments, and a failure carries a message.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "frontend/parser.hpp"
#include "frontend/unicode.hpp"

namespace {

using quorvel::frontend::Instruction;
using quorvel::frontend::MemKind;
using quorvel::frontend::Op;

void require(bool condition) {
  if (!condition) std::abort();
}

bool inside(std::string_view text, std::string_view part) {
  return part.empty() || (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
}

bool has_memory(Op op) { return op == Op::MovLoad || op == Op::MovStore || op == Op::Lea; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto statements = quorvel::frontend::split_statements(text);
  for (std::string_view statement : statements) {
    require(!statement.empty() && inside(text, statement));
    require(statement[0] != ';' && statement[0] != '#');
    require(quorvel::frontend::trim(statement) == statement);
    require(statement.find('\n') == std::string_view::npos && statement.find(";;") == std::string_view::npos);
  }

  const auto result = quorvel::frontend::parse_program(text);
  if (!result.ok()) {
    require(!result.error().message.empty());
    return 0;
  }
  require(result.value().size() <= statements.size());
  for (const Instruction& instruction : result.value()) {
    require(inside(text, instruction.first) && inside(text, instruction.second));
    if (has_memory(instruction.op)) {
      const auto& mem = instruction.mem;
      require(mem.base == "rip" || inside(text, mem.base));
      require(inside(text, mem.index));
      if (mem.kind == MemKind::RipRelative) {
        require(mem.disp >= INT32_MIN && mem.disp <= INT32_MAX);
      }
    }
  }
  return 0;
}
