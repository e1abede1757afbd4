// libFuzzer target: lab::check_program on arbitrary bytes, against
// generation. Besides the sanitizers:
//   - every diagnostic names a statement of the text and that statement's
//     physical line, and carries a message;
//   - diagnostics come in statement order, errors before warnings within a
//     statement;
//   - text that generates has no error; text that does not has an error at
//     the statement generation names, with generation's message less any
//     "Line N: " prefix.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codegen/program.hpp"
#include "frontend/parser.hpp"
#include "lab/check.hpp"
#include "require.hpp"

namespace {

using quorvel::lab::Diagnostic;
using quorvel::lab::Severity;

std::vector<std::uint32_t> statement_lines(std::string_view text) {
  std::vector<std::uint32_t> lines;
  quorvel::frontend::StatementCursor cursor(text);
  for (quorvel::frontend::Statement statement; cursor.next(statement);) lines.push_back(statement.line);
  return lines;
}

std::string without_line_prefix(const std::string& message, std::uint32_t statement) {
  const std::string prefix = "Line " + std::to_string(statement) + ": ";
  return message.starts_with(prefix) ? message.substr(prefix.size()) : message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<Diagnostic> diagnostics = quorvel::lab::check_program(text);
  const std::vector<std::uint32_t> lines = statement_lines(text);

  bool any_error = false;
  const Diagnostic* previous = nullptr;
  for (const Diagnostic& diagnostic : diagnostics) {
    REQUIRE(diagnostic.statement >= 1 && diagnostic.statement <= lines.size());
    REQUIRE(diagnostic.line == lines[diagnostic.statement - 1]);
    REQUIRE(!diagnostic.message.empty());
    if (previous != nullptr) {
      REQUIRE(previous->statement <= diagnostic.statement);
      REQUIRE(previous->statement < diagnostic.statement || previous->severity <= diagnostic.severity);
    }
    any_error = any_error || diagnostic.severity == Severity::Error;
    previous = &diagnostic;
  }

  const auto generated = quorvel::codegen::generate_code(text);
  if (generated) {
    REQUIRE(!any_error);
    return 0;
  }
  const quorvel::Error& failure = generated.error();
  const std::string expected = without_line_prefix(failure.message, failure.statement);
  bool reported = false;
  for (const Diagnostic& diagnostic : diagnostics) {
    reported = reported || (diagnostic.severity == Severity::Error && diagnostic.statement == failure.statement &&
                            diagnostic.message == expected);
  }
  REQUIRE(reported);
  return 0;
}
