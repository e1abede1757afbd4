#include "frontend/parser.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "frontend/literals.hpp"
#include "frontend/unicode.hpp"

namespace quorvel::frontend {
namespace {

// How a mnemonic reads its operands.
enum class Rule : std::uint8_t {
  Arith,   // dest, then a decimal immediate (alt) or register text (op)
  Move,    // the move rule; alt is MovImm, op the register form
  Lea,     // dest, memory operand
  IMul,    // one operand: alt (Mul); two or more: op
  Shift,   // dest, count; "Invalid shift count"
  Rotate,  // dest, count; "Invalid rotate count"
  Unary,   // one operand, nothing without it
  Jump,    // one label target, nothing without it
  Bare,    // no operands read
};

struct Mnemonic {
  std::string_view name;  // lower case
  Rule rule;
  Op op;
  Op alt;                 // Arith and Move: the immediate form; IMul: the one-operand form
  std::string_view word;  // names the mnemonic in "requires" messages
};

// Every mnemonic the dialect knows; aliases (jz, bhs, blo, ...) share a record kind.
constexpr Mnemonic kMnemonics[] = {
    {"add", Rule::Arith, Op::AddReg, Op::AddImm, "add"},
    {"sub", Rule::Arith, Op::SubReg, Op::SubImm, "sub"},
    {"and", Rule::Arith, Op::AndReg, Op::AndImm, "and"},
    {"or", Rule::Arith, Op::OrReg, Op::OrImm, "or"},
    {"xor", Rule::Arith, Op::XorReg, Op::XorImm, "xor"},
    {"cmp", Rule::Arith, Op::CmpReg, Op::CmpImm, "cmp"},
    {"test", Rule::Arith, Op::TestReg, Op::TestImm, "test"},
    {"mov", Rule::Move, Op::MovReg, Op::MovImm, "mov"},
    {"movl", Rule::Move, Op::MovL, Op::MovImm, "movl"},
    {"movq", Rule::Move, Op::MovQ, Op::MovImm, "movq"},
    {"lea", Rule::Lea, Op::Lea, Op::Lea, "lea"},
    {"imul", Rule::IMul, Op::IMul, Op::Mul, "imul"},
    {"shl", Rule::Shift, Op::Shl, Op::Shl, "shift"},
    {"sal", Rule::Shift, Op::Sal, Op::Sal, "shift"},
    {"shr", Rule::Shift, Op::Shr, Op::Shr, "shr"},
    {"sar", Rule::Shift, Op::Sar, Op::Sar, "sar"},
    {"lsl", Rule::Shift, Op::Lsl, Op::Lsl, "lsl"},
    {"lsr", Rule::Shift, Op::Lsr, Op::Lsr, "lsr"},
    {"asr", Rule::Shift, Op::Asr, Op::Asr, "asr"},
    {"rol", Rule::Rotate, Op::Rol, Op::Rol, "rol"},
    {"ror", Rule::Rotate, Op::Ror, Op::Ror, "ror"},
    {"rcl", Rule::Rotate, Op::Rcl, Op::Rcl, "rcl"},
    {"rcr", Rule::Rotate, Op::Rcr, Op::Rcr, "rcr"},
    {"mul", Rule::Unary, Op::Mul, Op::Mul, "mul"},
    {"div", Rule::Unary, Op::Div, Op::Div, "div"},
    {"inc", Rule::Unary, Op::Inc, Op::Inc, "inc"},
    {"dec", Rule::Unary, Op::Dec, Op::Dec, "dec"},
    {"neg", Rule::Unary, Op::Neg, Op::Neg, "neg"},
    {"not", Rule::Unary, Op::Not, Op::Not, "not"},
    {"push", Rule::Unary, Op::Push, Op::Push, "push"},
    {"pop", Rule::Unary, Op::Pop, Op::Pop, "pop"},
    {"jmp", Rule::Jump, Op::Jmp, Op::Jmp, "jmp"},
    {"je", Rule::Jump, Op::Je, Op::Je, "je"},
    {"jz", Rule::Jump, Op::Je, Op::Je, "jz"},
    {"jne", Rule::Jump, Op::Jne, Op::Jne, "jne"},
    {"jnz", Rule::Jump, Op::Jne, Op::Jne, "jnz"},
    {"jg", Rule::Jump, Op::Jg, Op::Jg, "jg"},
    {"jge", Rule::Jump, Op::Jge, Op::Jge, "jge"},
    {"jl", Rule::Jump, Op::Jl, Op::Jl, "jl"},
    {"jle", Rule::Jump, Op::Jle, Op::Jle, "jle"},
    {"ja", Rule::Jump, Op::Ja, Op::Ja, "ja"},
    {"jae", Rule::Jump, Op::Jae, Op::Jae, "jae"},
    {"jb", Rule::Jump, Op::Jb, Op::Jb, "jb"},
    {"jbe", Rule::Jump, Op::Jbe, Op::Jbe, "jbe"},
    {"b", Rule::Jump, Op::B, Op::B, "b"},
    {"beq", Rule::Jump, Op::Beq, Op::Beq, "beq"},
    {"bne", Rule::Jump, Op::Bne, Op::Bne, "bne"},
    {"bcs", Rule::Jump, Op::Bcs, Op::Bcs, "bcs"},
    {"bhs", Rule::Jump, Op::Bcs, Op::Bcs, "bhs"},
    {"bcc", Rule::Jump, Op::Bcc, Op::Bcc, "bcc"},
    {"blo", Rule::Jump, Op::Bcc, Op::Bcc, "blo"},
    {"bmi", Rule::Jump, Op::Bmi, Op::Bmi, "bmi"},
    {"bpl", Rule::Jump, Op::Bpl, Op::Bpl, "bpl"},
    {"bvs", Rule::Jump, Op::Bvs, Op::Bvs, "bvs"},
    {"bvc", Rule::Jump, Op::Bvc, Op::Bvc, "bvc"},
    {"bhi", Rule::Jump, Op::Bhi, Op::Bhi, "bhi"},
    {"bls", Rule::Jump, Op::Bls, Op::Bls, "bls"},
    {"bge", Rule::Jump, Op::Bge, Op::Bge, "bge"},
    {"blt", Rule::Jump, Op::Blt, Op::Blt, "blt"},
    {"bgt", Rule::Jump, Op::Bgt, Op::Bgt, "bgt"},
    {"ble", Rule::Jump, Op::Ble, Op::Ble, "ble"},
    {"bal", Rule::Jump, Op::Bal, Op::Bal, "bal"},
    {"call", Rule::Jump, Op::Call, Op::Call, "call"},
    {"bl", Rule::Jump, Op::Bl, Op::Bl, "bl"},
    {"ret", Rule::Bare, Op::Ret, Op::Ret, "ret"},
    {"nop", Rule::Bare, Op::Nop, Op::Nop, "nop"},
};

constexpr std::size_t kMnemonicCount = std::size(kMnemonics);
constexpr std::size_t kMaxKeyLength = 7;

// Up to seven ASCII bytes, folded to lower case and packed with their length,
// so that mnemonic lookup compares integers.
constexpr std::optional<std::uint64_t> pack(std::string_view text) {
  if (text.size() > kMaxKeyLength) return std::nullopt;
  std::uint64_t key = text.size();
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return std::nullopt;
    key = (key << 8) | ((byte >= 'A' && byte <= 'Z') ? byte + ('a' - 'A') : byte);
  }
  return key << (8 * (kMaxKeyLength - text.size()));
}

// Open addressing over the packed keys: a statement's mnemonic is found with
// one multiply and, almost always, one probe.
struct Slot {
  std::uint64_t key = 0;
  const Mnemonic* mnemonic = nullptr;  // null: empty slot
};

constexpr std::size_t kSlotCount = 256;
static_assert(kMnemonicCount * 2 < kSlotCount, "the mnemonic table stays sparse");

constexpr std::size_t slot_of(std::uint64_t key) { return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 56); }

constexpr std::array<Slot, kSlotCount> make_slots() {
  std::array<Slot, kSlotCount> slots{};
  for (const Mnemonic& mnemonic : kMnemonics) {
    const std::uint64_t key = *pack(mnemonic.name);
    std::size_t i = slot_of(key);
    while (slots[i].mnemonic) i = (i + 1) % kSlotCount;
    slots[i] = {key, &mnemonic};
  }
  return slots;
}

constexpr auto kSlots = make_slots();

constexpr bool keys_unique() {
  for (std::size_t i = 0; i < kMnemonicCount; ++i) {
    for (std::size_t j = i + 1; j < kMnemonicCount; ++j) {
      if (*pack(kMnemonics[i].name) == *pack(kMnemonics[j].name)) return false;
    }
  }
  return true;
}
static_assert(keys_unique(), "each mnemonic is listed once");

// Mnemonics are ASCII, so an ASCII word is folded while it is packed; any
// other word is lower-cased in full first (a few letters fold to ASCII).
const Mnemonic* find_mnemonic(std::string_view word) {
  auto key = pack(word);
  if (!key) key = pack(LoweredText(word).view());
  if (!key) return nullptr;
  for (std::size_t i = slot_of(*key);; i = (i + 1) % kSlotCount) {
    const Slot& slot = kSlots[i];
    if (!slot.mnemonic || slot.key == *key) return slot.mnemonic;
  }
}

std::string_view without_trailing(std::string_view text, char c) {
  while (text.ends_with(c)) text.remove_suffix(1);
  return text;
}

constexpr std::size_t npos = std::string_view::npos;

// Statement cutting looks at every byte, so it reads eight at a time.
static_assert(std::endian::native == std::endian::little, "the byte scans read words little-endian");
constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7FULL;

// The high bit of each byte of `word` that equals `c` (exact: no carry
// crosses a byte).
std::uint64_t bytes_equal(std::uint64_t word, char c) {
  const std::uint64_t x = word ^ (0x0101010101010101ULL * static_cast<unsigned char>(c));
  return ~(((x & kLowBits) + kLowBits) | x) & ~kLowBits;
}

std::uint64_t load_word(std::string_view text, std::size_t pos) {
  std::uint64_t word;
  std::memcpy(&word, text.data() + pos, sizeof word);
  return word;
}

// Index of the first '\n' or ';' at or after `from`, or the text's size.
std::size_t find_separator(std::string_view text, std::size_t from) {
  for (; from + 8 <= text.size(); from += 8) {
    const std::uint64_t word = load_word(text, from);
    const std::uint64_t hits = bytes_equal(word, '\n') | bytes_equal(word, ';');
    if (hits) return from + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
  }
  while (from < text.size() && text[from] != '\n' && text[from] != ';') ++from;
  return from;
}

std::size_t count_lines(std::string_view text) {
  std::size_t lines = 1;
  std::size_t pos = 0;
  for (; pos + 8 <= text.size(); pos += 8) {
    // One flag per matching byte, summed into the top byte by the multiply.
    const std::uint64_t flags = bytes_equal(load_word(text, pos), '\n') >> 7;
    lines += static_cast<std::size_t>((flags * 0x0101010101010101ULL) >> 56);
  }
  for (; pos < text.size(); ++pos) lines += text[pos] == '\n';
  return lines;
}

// The statement without its comment.
std::string_view without_comment(std::string_view statement, std::size_t comment) {
  return comment == npos ? statement : trim(statement.substr(0, comment));
}

// Fills one record from one statement's code (comment removed). Records are
// built in place; nothing is allocated unless a message is.
class StatementParser {
 public:
  StatementParser(std::uint32_t n, Instruction& out, Error& error) : n_(n), out_(out), error_(error) {}

  ParseOutcome parse(std::string_view s) {
    if (s.starts_with('.')) return directive(s);
    if (s.ends_with(':')) return emit(Op::Label, without_trailing(s, ':'));
    if (s == "_start") return emit(Op::Start);
    return instruction(s);
  }

 private:
  ParseOutcome directive(std::string_view s) {
    if (s == ".text") return emit(Op::Text);
    if (s == ".data") return emit(Op::Data);
    if (s == ".bss") return emit(Op::Bss);
    constexpr std::string_view kGlobal = ".global ";
    if (s.starts_with(kGlobal)) return emit(Op::Global, trim(s.substr(kGlobal.size())));
    return ParseOutcome::Nothing;
  }

  ParseOutcome instruction(std::string_view s) {
    WhitespaceTokens tokens(s);
    const std::string_view word = tokens.next().value_or(std::string_view());
    const auto second = tokens.next();
    const auto third = tokens.next();
    const Mnemonic* mnemonic = find_mnemonic(word);
    if (!mnemonic) return numbered("Unknown instruction: " + std::string(LoweredText(word).view()));
    switch (mnemonic->rule) {
      case Rule::Bare: return emit(mnemonic->op);
      case Rule::Unary:
      case Rule::Jump:
        if (!second) return ParseOutcome::Nothing;
        return emit(mnemonic->op, *second);
      case Rule::IMul:
        if (!second) return ParseOutcome::Nothing;
        if (!third) return emit(mnemonic->alt, *second);
        return emit(mnemonic->op, without_trailing(*second, ','), *third);
      case Rule::Arith:
      case Rule::Move:
      case Rule::Lea:
      case Rule::Shift:
      case Rule::Rotate: break;
    }
    if (!third) return missing(*mnemonic);
    const std::string_view dest = without_trailing(*second, ',');
    switch (mnemonic->rule) {
      case Rule::Arith:
        if (const auto imm = parse_decimal_immediate(*third)) return emit_imm(mnemonic->alt, dest, *imm);
        return emit(mnemonic->op, dest, *third);
      case Rule::Move: return move(*mnemonic, dest, *third);
      case Rule::Lea: return emit_memory(Op::Lea, dest, {}, *third);
      default: return shift(*mnemonic, dest, *third);  // Shift and Rotate: the rules left
    }
  }

  ParseOutcome shift(const Mnemonic& mnemonic, std::string_view dest, std::string_view count_text) {
    const auto count = parse_count(count_text);
    if (!count) return fail(value_error(mnemonic.rule == Rule::Shift ? "Invalid shift count" : "Invalid rotate count"));
    emit(mnemonic.op, dest);
    out_.count = *count;
    return ParseOutcome::Record;
  }

  ParseOutcome move(const Mnemonic& mnemonic, std::string_view dest, std::string_view src) {
    if (dest.starts_with('[')) return emit_memory(Op::MovStore, dest, src, dest);
    if (src.starts_with('[')) return emit_memory(Op::MovLoad, dest, {}, src);
    if (const auto imm = parse_decimal_immediate(src)) return emit_imm(mnemonic.alt, dest, *imm);
    return emit(mnemonic.op, dest, src);
  }

  ParseOutcome missing(const Mnemonic& mnemonic) {
    const bool counted = mnemonic.rule == Rule::Shift || mnemonic.rule == Rule::Rotate;
    return numbered(std::string(mnemonic.word) + (counted ? " requires count" : " requires 2 operands"));
  }

  ParseOutcome numbered(const std::string& message) {
    return fail(value_error("Line " + std::to_string(n_) + ": " + message));
  }

  ParseOutcome fail(Error error) {
    error_ = std::move(error);
    error_.statement = n_;
    return ParseOutcome::Failure;
  }

  ParseOutcome emit(Op op, std::string_view first = {}, std::string_view second = {}) {
    out_.op = op;
    out_.count = 0;
    out_.statement = n_;
    out_.first = first;
    out_.second = second;
    out_.imm = 0;
    return ParseOutcome::Record;
  }

  ParseOutcome emit_imm(Op op, std::string_view dest, std::uint64_t imm) {
    emit(op, dest);
    out_.imm = imm;
    return ParseOutcome::Record;
  }

  // The memory operand must parse before anything is recorded.
  ParseOutcome emit_memory(Op op, std::string_view first, std::string_view second, std::string_view operand) {
    auto mem = parse_memory_operand(operand);
    if (!mem) return fail(std::move(mem).error());
    emit(op, first, second);
    out_.mem = mem.value();
    return ParseOutcome::Record;
  }

  std::uint32_t n_;
  Instruction& out_;
  Error& error_;
};

}  // namespace

bool StatementCursor::next(Statement& out) {
  for (;;) {
    if (done_) return false;
    const std::size_t at = find_separator(text_, pos_);
    const bool end = at == text_.size();
    if (!end && text_[at] == ';' && (at + 1 == text_.size() || text_[at + 1] != ';')) {
      if (comment_ == npos) comment_ = at;
      pos_ = at + 1;
      continue;
    }
    const std::string_view piece = trim(text_.substr(piece_begin_, at - piece_begin_));
    const std::size_t comment = comment_;
    const std::uint32_t line = line_;
    if (end) {
      done_ = true;
    } else {
      if (text_[at] == '\n') ++line_;
      pos_ = piece_begin_ = at + (text_[at] == '\n' ? 1 : 2);
      comment_ = npos;
    }
    if (piece.empty() || piece[0] == ';' || piece[0] == '#') continue;
    // A ';' is never trimmed away, so a comment lies inside the piece.
    const std::size_t start = static_cast<std::size_t>(piece.data() - text_.data());
    out.text = piece;
    out.code = without_comment(piece, comment == npos ? npos : comment - start);
    out.number = ++number_;
    out.line = line;
    return true;
  }
}

ParseOutcome parse_statement(std::string_view code, std::uint32_t number, Instruction& out, Error& error) {
  return StatementParser(number, out, error).parse(code);
}

std::size_t statement_capacity_hint(std::string_view text) { return count_lines(text); }

std::vector<std::string_view> split_statements(std::string_view text) {
  std::vector<std::string_view> statements;
  StatementCursor cursor(text);
  for (Statement statement; cursor.next(statement);) statements.push_back(statement.text);
  return statements;
}

Result<std::vector<Instruction>> parse_program(std::string_view text) {
  std::vector<Instruction> instructions;
  instructions.reserve(count_lines(text));
  StatementCursor cursor(text);
  Instruction record;
  Error error;
  for (Statement statement; cursor.next(statement);) {
    switch (parse_statement(statement.code, statement.number, record, error)) {
      case ParseOutcome::Record: instructions.push_back(record); break;
      case ParseOutcome::Nothing: break;
      case ParseOutcome::Failure: return error;
    }
  }
  return instructions;
}

std::string_view statement_code(std::string_view text, std::uint32_t number) {
  StatementCursor cursor(text);
  for (Statement statement; cursor.next(statement);) {
    if (statement.number == number) return statement.code;
  }
  return {};
}

}  // namespace quorvel::frontend
