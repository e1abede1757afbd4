// libFuzzer target: the statement cursor, parse_statement (through
// parse_program) and statement_code on arbitrary bytes. Besides the
// sanitizers, it checks what callers rely on: statements and operand texts
// are views into the input, statements are trimmed and never blank or
// comments, their code is the trimmed text before any comment, numbers count
// from 1 and lines are the physical lines; a failure names a statement and
// carries a message numbered with that statement when it is numbered at all.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/parser.hpp"
#include "frontend/unicode.hpp"
#include "require.hpp"

namespace {

using quorvel::frontend::Instruction;
using quorvel::frontend::MemKind;
using quorvel::frontend::Op;
using quorvel::frontend::Statement;

bool inside(std::string_view text, std::string_view part) {
  return part.empty() || (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
}

bool has_memory(Op op) { return op == Op::MovLoad || op == Op::MovStore || op == Op::Lea; }

std::uint32_t line_of(std::string_view text, std::string_view part) {
  const auto before = static_cast<std::size_t>(part.data() - text.data());
  return 1 + static_cast<std::uint32_t>(std::count(text.begin(), text.begin() + before, '\n'));
}

std::vector<Statement> read_statements(std::string_view text) {
  std::vector<Statement> statements;
  quorvel::frontend::StatementCursor cursor(text);
  for (Statement statement; cursor.next(statement);) {
    const std::string_view piece = statement.text;
    REQUIRE(!piece.empty() && inside(text, piece));
    REQUIRE(piece[0] != ';' && piece[0] != '#');
    REQUIRE(quorvel::frontend::trim(piece) == piece);
    REQUIRE(piece.find('\n') == std::string_view::npos && piece.find(";;") == std::string_view::npos);

    // The code is the start of the statement, up to (not including) a comment.
    const std::string_view code = statement.code;
    REQUIRE(!code.empty() && code.data() == piece.data() && code.size() <= piece.size());
    REQUIRE(quorvel::frontend::trim(code) == code && code.find(';') == std::string_view::npos);
    if (code.size() < piece.size()) {
      REQUIRE(piece.find(';', code.size()) != std::string_view::npos);
      REQUIRE(quorvel::frontend::trim(piece.substr(code.size())).starts_with(';'));
    }

    REQUIRE(statement.number == statements.size() + 1);
    REQUIRE(statement.line == line_of(text, piece));
    statements.push_back(statement);
  }
  return statements;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::vector<Statement> statements = read_statements(text);
  const auto pieces = quorvel::frontend::split_statements(text);
  REQUIRE(pieces.size() == statements.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) REQUIRE(pieces[i] == statements[i].text);
  for (const Statement& statement : statements) {
    const std::string_view code = quorvel::frontend::statement_code(text, statement.number);
    REQUIRE(code.data() == statement.code.data() && code.size() == statement.code.size());
  }
  const auto count = static_cast<std::uint32_t>(statements.size());
  REQUIRE(quorvel::frontend::statement_code(text, count + 1).empty());

  const auto result = quorvel::frontend::parse_program(text);
  if (!result.ok()) {
    const quorvel::Error& error = result.error();
    REQUIRE(!error.message.empty());
    REQUIRE(error.kind == quorvel::ErrorKind::Value);
    REQUIRE(error.statement >= 1 && error.statement <= count);
    if (error.message.starts_with("Line ")) {
      REQUIRE(error.message.starts_with("Line " + std::to_string(error.statement) + ": "));
    }
    return 0;
  }
  REQUIRE(result.value().size() <= statements.size());
  std::uint32_t previous = 0;
  for (const Instruction& instruction : result.value()) {
    REQUIRE(instruction.statement > previous && instruction.statement <= count);
    previous = instruction.statement;
    const std::string_view code = statements[instruction.statement - 1].code;
    REQUIRE(inside(code, instruction.first) && inside(code, instruction.second));
    if (has_memory(instruction.op)) {
      const auto& mem = instruction.mem;
      REQUIRE(mem.base == "rip" || inside(code, mem.base));
      REQUIRE(inside(code, mem.index));
      if (mem.kind == MemKind::RipRelative) {
        REQUIRE(mem.disp >= INT32_MIN && mem.disp <= INT32_MAX);
      }
    }
  }
  return 0;
}
