#pragma once
// Every problem of a program at once: the errors execute() would stop at,
// for each statement on its own, and warnings for the dialect's silent
// traps, which execute() accepts as specified but which rarely mean what
// the writer meant (a write to rbp, a pop of more than was pushed). The
// errors a learner meets first (an immediate in hex, eax for rax, a register
// pair with no encoding) are followed by a warning at the same statement
// that says what to write instead; execute()'s message stays the error.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::lab {

enum class Severity : std::uint8_t { Error, Warning };

struct Diagnostic {
  std::uint32_t statement = 0;
  std::uint32_t line = 0;
  Severity severity = Severity::Error;
  std::string message;
};

// In statement order; within a statement, errors before warnings.
std::vector<Diagnostic> check_program(std::string_view text);

}  // namespace quorvel::lab
