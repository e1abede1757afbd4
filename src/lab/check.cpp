#include "lab/check.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "codegen/encoders.hpp"
#include "frontend/parser.hpp"
#include "frontend/unicode.hpp"

namespace quorvel::lab {
namespace {

using frontend::Instruction;
using frontend::Op;
using frontend::ParseOutcome;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct Parsed {
  frontend::Statement statement;
  ParseOutcome outcome = ParseOutcome::Nothing;
  Instruction record;
  Error error;
};

bool is_call(Op op) { return op == Op::Call || op == Op::Bl; }

// How many operands each record reads; tokens after them are ignored.
std::size_t operands_read(Op op) {
  switch (op) {
    case Op::Ret:
    case Op::Nop: return 0;
    case Op::Mul:
    case Op::Div:
    case Op::Inc:
    case Op::Dec:
    case Op::Neg:
    case Op::Not:
    case Op::Push:
    case Op::Pop: return 1;
    default: return frontend::targets_label(op) ? 1 : 2;
  }
}

// The operand kept exactly as written, trailing commas and all.
std::string_view operand_as_written(const Instruction& record) {
  switch (operands_read(record.op)) {
    case 1: return record.first;
    case 2: return record.second;
    default: return {};
  }
}

// What the processor does with the immediate it actually uses.
struct ImmediateVerb {
  Op op;
  const char* verb;
};
constexpr ImmediateVerb kImmediateVerbs[] = {
    {Op::AddImm, "adds"},     {Op::SubImm, "subtracts"}, {Op::CmpImm, "compares with"}, {Op::AndImm, "ands with"},
    {Op::OrImm, "ors with"}, {Op::XorImm, "xors with"}, {Op::TestImm, "tests with"},
};

bool is_shift(Op op) { return op >= Op::Shl && op <= Op::Rcr; }

std::string without_line_prefix(std::string message, std::uint32_t statement) {
  const std::string prefix = "Line " + std::to_string(statement) + ": ";
  if (message.starts_with(prefix)) message.erase(0, prefix.size());
  return message;
}

class Checker {
 public:
  explicit Checker(std::string_view text) : text_(text) {}

  std::vector<Diagnostic> run() {
    read_statements();
    collect_labels();
    bool inside_called_code = false;
    for (const Parsed& parsed : statements_) {
      if (parsed.outcome == ParseOutcome::Record && parsed.record.op == Op::Label &&
          call_targets_.contains(parsed.record.first)) {
        inside_called_code = true;
      }
      check_statement(parsed, inside_called_code);
    }
    return std::move(diagnostics_);
  }

 private:
  void read_statements() {
    frontend::StatementCursor cursor(text_);
    for (frontend::Statement statement; cursor.next(statement);) {
      Parsed& parsed = statements_.emplace_back();
      parsed.statement = statement;
      parsed.outcome = frontend::parse_statement(statement.code, statement.number, parsed.record, parsed.error);
    }
  }

  void collect_labels() {
    for (const Parsed& parsed : statements_) {
      if (parsed.outcome != ParseOutcome::Record) continue;
      if (parsed.record.op == Op::Label) defined_.insert(parsed.record.first);
      if (is_call(parsed.record.op)) call_targets_.insert(parsed.record.first);
    }
  }

  void check_statement(const Parsed& parsed, bool inside_called_code) {
    const frontend::Statement& statement = parsed.statement;
    if (statement.number == 1 && text_.starts_with(kByteOrderMark) && statement.text.data() == text_.data()) {
      warn(statement,
           "the text starts with a UTF-8 byte-order mark (U+FEFF), which is read as part of the first statement");
    }
    switch (parsed.outcome) {
      case ParseOutcome::Failure:
        error(statement, without_line_prefix(parsed.error.message, statement.number));
        hint_missing_space(statement);
        return;
      case ParseOutcome::Nothing:
        explain_nothing(statement);
        return;
      case ParseOutcome::Record: break;
    }
    const Instruction& record = parsed.record;
    if (record.op == Op::Label) {
      if (!seen_labels_.insert(record.first).second) error(statement, "Duplicate label: " + std::string(record.first));
      return;
    }
    if (frontend::targets_label(record.op) && !defined_.contains(record.first)) {
      error(statement, "Undefined label: " + std::string(record.first));
    } else if (Status encoded = encode_alone(record); !encoded) {
      error(statement, encoded.error().message);
      hint_lower_case(statement, record);
    }
    warn_ignored_operands(statement, record);
    warn_immediate(statement, record);
    warn_shift(statement, record);
    if (record.op == Op::Ret && inside_called_code) {
      warn(statement, code_prefix(statement) +
                          "ends the whole program (it jumps to the epilogue); it does not return to the caller");
    }
  }

  Status encode_alone(const Instruction& record) {
    codegen::Assembler assembler;
    codegen::LabelTable table;
    codegen::LabelContext labels{table, assembler.new_dynamic_label()};
    return codegen::encode_instruction(assembler, record, labels);
  }

  void explain_nothing(const frontend::Statement& statement) {
    const std::string_view code = statement.code;
    if (code.starts_with('.')) {
      if (code.ends_with(':')) {
        std::string message = "'";
        message += code;
        message += "' is taken for a directive and ignored: a label name cannot start with '.'";
        warn(statement, std::move(message));
      } else if (code.starts_with(".global") && code.size() > 7 && code[7] != ' ') {
        warn(statement, code_prefix(statement) + "ignored: .global takes its name after a single space");
      } else {
        warn(statement, code_prefix(statement) + "unknown directive, ignored");
      }
      return;
    }
    warn(statement, code_prefix(statement) + "without an operand this statement does nothing");
  }

  void warn_ignored_operands(const frontend::Statement& statement, const Instruction& record) {
    frontend::WhitespaceTokens tokens(statement.code);
    const std::size_t used = 1 + operands_read(record.op);
    for (std::size_t i = 0; i < used; ++i) tokens.next();
    if (const auto extra = tokens.next()) {
      const std::size_t start = static_cast<std::size_t>(extra->data() - statement.code.data());
      warn(statement, code_prefix(statement) + "'" + std::string(statement.code.substr(start)) +
                          "' is ignored: only " + std::to_string(used - 1) + " operand" + (used == 2 ? "" : "s") +
                          " are read");
    }
    const std::string_view kept = operand_as_written(record);
    if (kept.ends_with(',')) {
      warn(statement, code_prefix(statement) + "the comma is part of the operand '" + std::string(kept) + "'");
    }
  }

  // The processor sign-extends the 32-bit immediate field.
  void warn_immediate(const frontend::Statement& statement, const Instruction& record) {
    const auto* verb = std::find_if(std::begin(kImmediateVerbs), std::end(kImmediateVerbs),
                                    [&](const ImmediateVerb& row) { return row.op == record.op; });
    if (verb == std::end(kImmediateVerbs) || codegen::register_number(record.first) < 0) return;
    const auto used = static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(record.imm)));
    if (static_cast<std::uint64_t>(used) == record.imm) return;
    warn(statement, code_prefix(statement) + "the processor " + verb->verb + " " + std::to_string(used));
  }

  void warn_shift(const frontend::Statement& statement, const Instruction& record) {
    if (!is_shift(record.op) || record.count == 1 || codegen::register_number(record.first) < 0) return;
    const unsigned cl = static_cast<std::uint8_t>(record.count);
    std::string message = code_prefix(statement) + "the count is loaded into cl first, so rcx's low byte becomes " +
                          std::to_string(cl);
    if (record.first == "rcx") message += ", and that is part of the value shifted";
    const unsigned effective = cl & 63;
    if (effective != cl) message += "; the processor shifts by " + std::to_string(effective);
    warn(statement, message);
  }

  // "mov rax,5": without a space the comma joins two operands into one.
  void hint_missing_space(const frontend::Statement& statement) {
    frontend::WhitespaceTokens tokens(statement.code);
    tokens.next();
    while (const auto operand = tokens.next()) {
      const std::size_t comma = operand->find(',');
      if (comma != std::string_view::npos && comma + 1 < operand->size()) {
        warn(statement, code_prefix(statement) + "'" + std::string(*operand) +
                            "' is one operand: operands are separated by whitespace, so put a space after the comma");
        return;
      }
    }
  }

  // "MOV RAX, 5": registers are only known by their lower-case names.
  void hint_lower_case(const frontend::Statement& statement, const Instruction& record) {
    for (std::string_view operand : {record.first, record.second}) {
      if (operand.empty() || codegen::register_number(operand) >= 0) continue;
      const frontend::LoweredText lowered(operand);
      if (codegen::register_number(lowered.view()) >= 0) {
        warn(statement, code_prefix(statement) + "register names are written in lower case: '" +
                            std::string(operand) + "' is not '" + std::string(lowered.view()) + "'");
        return;
      }
    }
  }

  static std::string code_prefix(const frontend::Statement& statement) {
    return std::string(statement.code) + ": ";
  }

  void error(const frontend::Statement& statement, std::string message) {
    diagnostics_.push_back({statement.number, statement.line, Severity::Error, std::move(message)});
  }
  void warn(const frontend::Statement& statement, std::string message) {
    diagnostics_.push_back({statement.number, statement.line, Severity::Warning, std::move(message)});
  }

  std::string_view text_;
  std::vector<Parsed> statements_;
  std::unordered_set<std::string_view> defined_;
  std::unordered_set<std::string_view> call_targets_;
  std::unordered_set<std::string_view> seen_labels_;
  std::vector<Diagnostic> diagnostics_;
};

}  // namespace

std::vector<Diagnostic> check_program(std::string_view text) {
  std::vector<Diagnostic> diagnostics = Checker(text).run();
  std::stable_sort(diagnostics.begin(), diagnostics.end(), [](const Diagnostic& a, const Diagnostic& b) {
    return a.statement != b.statement ? a.statement < b.statement : a.severity < b.severity;
  });
  return diagnostics;
}

}  // namespace quorvel::lab
