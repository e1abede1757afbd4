#include "lab/check.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <unordered_map>
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

// The 32-, 16- and 8-bit names of the sixteen registers, and the 64-bit
// register each is part of.
struct PartialRegister {
  std::string_view name;
  std::string_view full;
};
constexpr PartialRegister kPartialRegisters[] = {
    {"eax", "rax"},  {"ax", "rax"},   {"al", "rax"},   {"ah", "rax"},   {"ebx", "rbx"},  {"bx", "rbx"},
    {"bl", "rbx"},   {"bh", "rbx"},   {"ecx", "rcx"},  {"cx", "rcx"},   {"cl", "rcx"},   {"ch", "rcx"},
    {"edx", "rdx"},  {"dx", "rdx"},   {"dl", "rdx"},   {"dh", "rdx"},   {"esi", "rsi"},  {"si", "rsi"},
    {"sil", "rsi"},  {"edi", "rdi"},  {"di", "rdi"},   {"dil", "rdi"},  {"ebp", "rbp"},  {"bp", "rbp"},
    {"bpl", "rbp"},  {"esp", "rsp"},  {"sp", "rsp"},   {"spl", "rsp"},  {"r8d", "r8"},   {"r8w", "r8"},
    {"r8b", "r8"},   {"r8l", "r8"},   {"r9d", "r9"},   {"r9w", "r9"},   {"r9b", "r9"},   {"r9l", "r9"},
    {"r10d", "r10"}, {"r10w", "r10"}, {"r10b", "r10"}, {"r10l", "r10"}, {"r11d", "r11"}, {"r11w", "r11"},
    {"r11b", "r11"}, {"r11l", "r11"}, {"r12d", "r12"}, {"r12w", "r12"}, {"r12b", "r12"}, {"r12l", "r12"},
    {"r13d", "r13"}, {"r13w", "r13"}, {"r13b", "r13"}, {"r13l", "r13"}, {"r14d", "r14"}, {"r14w", "r14"},
    {"r14b", "r14"}, {"r14l", "r14"}, {"r15d", "r15"}, {"r15w", "r15"}, {"r15b", "r15"}, {"r15l", "r15"},
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "0x10", "-1", "1_000", "1.5": a number, though not one the dialect reads.
bool looks_numeric(std::string_view text) {
  if (text.starts_with('-') || text.starts_with('+')) text.remove_prefix(1);
  return !text.empty() && is_digit(text.front());
}

// What a number written as in other assemblers means: a sign, a 0x or 0b
// prefix, '_' between digits. None when it is not a whole number, or when
// its magnitude does not fit 64 bits.
struct WrittenNumber {
  bool negative = false;
  std::uint64_t magnitude = 0;
};
std::optional<WrittenNumber> read_written_number(std::string_view text) {
  WrittenNumber number;
  if (text.starts_with('-') || text.starts_with('+')) {
    number.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) base = 16;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) base = 2;
  if (base != 10) text.remove_prefix(2);
  bool any_digit = false;
  for (char c : text) {
    if (c == '_') continue;
    unsigned digit = base;
    if (is_digit(c)) digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    if (digit >= base || number.magnitude > (UINT64_MAX - digit) / base) return std::nullopt;
    number.magnitude = number.magnitude * base + digit;
    any_digit = true;
  }
  if (!any_digit) return std::nullopt;
  return number;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += separator;
    text += part;
  }
  return text;
}

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
    warn_pop_beyond_pushes();
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
        hint_count(statement);
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
      hint_register_width(statement, record);
      hint_immediate(statement, record);
      hint_register_pair(statement, record);
    } else {
      warn_frame_pointer(statement, record);
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

  // The epilogue restores rsp from rbp, so any other value there ends the run
  // somewhere else or in a fault.
  void warn_frame_pointer(const frontend::Statement& statement, const Instruction& record) {
    if (!frontend::writes_first_operand(record.op) || record.first != "rbp") return;
    warn(statement, code_prefix(statement) +
                        "writes rbp, the frame pointer: the epilogue restores rsp from rbp to end the run, so rbp "
                        "must hold its first value again by then");
  }

  // Follows the statements from the start while the way is certain: through
  // jumps and calls, up to the first conditional jump, ret or statement seen
  // twice. A pop there with nothing of the program's left to pop takes a word
  // of the frame, which the epilogue pops to end the run.
  void warn_pop_beyond_pushes() {
    std::unordered_map<std::string_view, std::size_t> label_at;
    for (std::size_t i = 0; i < statements_.size(); ++i) {
      const Parsed& parsed = statements_[i];
      if (parsed.outcome == ParseOutcome::Record && parsed.record.op == Op::Label) {
        label_at.try_emplace(parsed.record.first, i);
      }
    }
    std::vector<bool> visited(statements_.size());
    std::uint32_t pushed = 0;
    std::uint32_t popped = 0;
    for (std::size_t i = 0; i < statements_.size() && !visited[i];) {
      visited[i] = true;
      const Parsed& parsed = statements_[i];
      ++i;
      if (parsed.outcome != ParseOutcome::Record) continue;
      const Op op = parsed.record.op;
      if (op == Op::Ret) return;
      if (op == Op::Push || is_call(op)) ++pushed;
      if (op == Op::Pop && ++popped > pushed) {
        warn(parsed.statement, code_prefix(parsed.statement) +
                                   "pops more than was pushed on the way here from the start (" +
                                   count_of(pushed, "word") + " pushed, " + std::to_string(popped) +
                                   " popped): the word comes from the frame (saved registers, the return address), "
                                   "and the epilogue may fault");
        return;
      }
      if (frontend::targets_label(op)) {
        const bool always_taken = is_call(op) || op == Op::Jmp || op == Op::B || op == Op::Bal;
        const auto target = label_at.find(parsed.record.first);
        if (!always_taken || target == label_at.end()) return;
        i = target->second;
      }
    }
  }

  static std::string count_of(std::uint32_t count, std::string_view unit) {
    return std::to_string(count) + " " + std::string(unit) + (count == 1 ? "" : "s");
  }

  // "mov eax, 5": only the 64-bit names exist; "push rsp": and not all of them.
  void hint_register_width(const frontend::Statement& statement, const Instruction& record) {
    for (std::string_view operand : {record.first, record.second}) {
      const frontend::LoweredText lowered(operand);
      if (lowered.view() == "rsp" || lowered.view() == "r11") {
        warn(statement, code_prefix(statement) + "a program cannot name " + std::string(lowered.view()) +
                            ": the 14 registers it can name are " + std::string(kNameable));
        return;
      }
      const auto* partial = std::find_if(std::begin(kPartialRegisters), std::end(kPartialRegisters),
                                         [&](const PartialRegister& row) { return row.name == lowered.view(); });
      if (partial == std::end(kPartialRegisters)) continue;
      std::string message = code_prefix(statement) + "only the 64-bit register names exist: '" + std::string(operand) +
                            "' is part of " + std::string(partial->full);
      if (codegen::register_number(partial->full) >= 0) {
        message += ", write " + std::string(partial->full);
      } else {
        message += ", which a program cannot name: the 14 registers it can name are " + std::string(kNameable);
      }
      warn(statement, std::move(message));
      return;
    }
  }

  // "mov rax, 0x10", "add rax, -1": an immediate is decimal digits and
  // nothing else, and a text that is not one is taken for a register name.
  void hint_immediate(const frontend::Statement& statement, const Instruction& record) {
    if (!is_register_form(record.op) || !looks_numeric(record.second)) return;
    std::string message = code_prefix(statement) + "immediates are written in decimal digits only";
    const auto number = read_written_number(record.second);
    if (!number) {
      message += ": '" + std::string(record.second) + "' is not a whole number of 64 bits";
    } else {
      const std::uint64_t value = number->negative ? 0 - number->magnitude : number->magnitude;
      const bool fits = !number->negative || number->magnitude <= (std::uint64_t{1} << 63);
      if (!fits) {
        message += ": '" + std::string(record.second) + "' is below -9223372036854775808";
      } else {
        message += ", so write " + std::to_string(value) + " for " + std::string(record.second);
        if (number->negative) message += " (its 64-bit two's complement)";
      }
    }
    warn(statement, std::move(message));
  }

  // "shl rax, 0x3", "rol rax, 200": a count is decimal, from -128 to 127.
  void hint_count(const frontend::Statement& statement) {
    frontend::WhitespaceTokens tokens(statement.code);
    tokens.next();
    const auto target = tokens.next();
    const auto count = tokens.next();
    if (!target || !count || tokens.next() || !looks_numeric(*count)) return;
    if (!parsed_error_is_count(statement.number)) return;
    std::string message = code_prefix(statement) + "a count is written in decimal digits, from -128 to 127";
    const auto number = read_written_number(*count);
    if (number && number->magnitude <= 128 && (number->negative || number->magnitude < 128)) {
      message += ": write " + std::string(number->negative ? "-" : "") + std::to_string(number->magnitude) + " for " +
                 std::string(*count);
    }
    warn(statement, std::move(message));
  }

  bool parsed_error_is_count(std::uint32_t number) const {
    const std::string& message = statements_[number - 1].error.message;
    return message.ends_with("Invalid shift count") || message.ends_with("Invalid rotate count");
  }

  // "mov rbx, rcx": both registers exist, but not that pair in that form.
  void hint_register_pair(const frontend::Statement& statement, const Instruction& record) {
    if (!is_register_form(record.op) || codegen::register_number(record.first) < 0 ||
        codegen::register_number(record.second) < 0) {
      return;
    }
    const std::vector<std::string> forms = codegen::operand_forms(record.op);
    std::string message = code_prefix(statement) + "this pair of registers has no encoding; the forms are " +
                          join(forms, "; ") + " (r64: any of the 14 registers)";
    if (is_move(record.op)) {
      message += "; push " + std::string(record.second) + " then pop " + std::string(record.first) +
                 " copies without touching rax";
    }
    warn(statement, std::move(message));
  }

  static bool is_register_form(Op op) {
    switch (op) {
      case Op::MovReg:
      case Op::MovL:
      case Op::MovQ:
      case Op::AddReg:
      case Op::SubReg:
      case Op::AndReg:
      case Op::OrReg:
      case Op::XorReg:
      case Op::CmpReg:
      case Op::TestReg:
      case Op::IMul: return true;
      default: return false;
    }
  }

  static bool is_move(Op op) { return op == Op::MovReg || op == Op::MovL || op == Op::MovQ; }

  static constexpr std::string_view kNameable = "rax, rbx, rcx, rdx, rsi, rdi, rbp, r8, r9, r10, r12, r13, r14, r15";

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
