#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "frontend/instruction.hpp"

namespace quorvel::frontend {

// One kept statement of a program text.
struct Statement {
  std::string_view text;     // as written: the piece between separators, trimmed, comment included
  std::string_view code;     // the text before its first lone ';', trimmed
  std::uint32_t number = 0;  // from 1; the N of "Line N: ..." messages
  std::uint32_t line = 0;    // the physical line it is on, from 1
};

// Walks the statements of a program text: lines cut at '\n' and at ";;",
// trimmed, with blank pieces and pieces starting with ';' or '#' dropped.
class StatementCursor {
 public:
  explicit StatementCursor(std::string_view text) : text_(text) {}

  // The next statement, or false at the end.
  bool next(Statement& out);

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t piece_begin_ = 0;
  std::size_t comment_ = std::string_view::npos;
  std::uint32_t number_ = 0;
  std::uint32_t line_ = 1;
  bool done_ = false;
};

enum class ParseOutcome : std::uint8_t {
  Record,   // `out` holds the statement's record
  Nothing,  // the statement makes no record (an ignored directive, "jmp" alone)
  Failure,  // `error` holds the message that ends the parse
};

// Parses the code of statement `number`. The record holds views into `code`.
ParseOutcome parse_statement(std::string_view code, std::uint32_t number, Instruction& out, Error& error);

// A cheap estimate of the number of statements: the number of lines.
std::size_t statement_capacity_hint(std::string_view text);

// The statements' texts, in order.
std::vector<std::string_view> split_statements(std::string_view text);

// The whole program, or the first message. The instructions hold views into
// `text`; they and a failure carry the number of their statement.
Result<std::vector<Instruction>> parse_program(std::string_view text);

// The code of statement `number` (from 1) of `text`; empty if there is none.
std::string_view statement_code(std::string_view text, std::uint32_t number);

}  // namespace quorvel::frontend
