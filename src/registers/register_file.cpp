#include "registers/register_file.hpp"

#include <optional>

#include "registers/number_suffix.hpp"

namespace quorvel::registers {
namespace {

// A name of one to seven bytes with its ASCII letters lower-cased, packed
// into one word with the length in the top byte, so that a 64-bit x86-64
// name in any case compares as one integer. Anything longer is no such name
// and gets kNoKey, which no entry has.
constexpr std::uint64_t kNoKey = 0;

constexpr std::uint64_t folded_key(std::string_view name) {
  if (name.empty() || name.size() > 7) return kNoKey;
  std::uint64_t key = std::uint64_t{name.size()} << 56;
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<unsigned char>(name[i]);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
    key |= std::uint64_t{c} << (8 * i);
  }
  return key;
}

struct X86Name {
  std::uint64_t key;
  X86Slot slot;
};

constexpr X86Name x86_name(std::string_view name, X86Slot slot) { return {folded_key(name), slot}; }

// The names that address a 64-bit x86-64 slot; sub-registers address none.
constexpr X86Name kX86Names[] = {
    x86_name("rax", kRax), x86_name("rbx", kRbx), x86_name("rcx", kRcx), x86_name("rdx", kRdx),
    x86_name("rsi", kRsi), x86_name("rdi", kRdi), x86_name("rsp", kRsp), x86_name("rbp", kRbp),
    x86_name("r8", kR8),   x86_name("r9", kR9),   x86_name("r10", kR10), x86_name("r11", kR11),
    x86_name("r12", kR12), x86_name("r13", kR13), x86_name("r14", kR14), x86_name("r15", kR15),
    x86_name("rip", kRip), x86_name("rflags", kRflags), x86_name("eflags", kRflags),
};

// `name` in any case.
std::optional<X86Slot> find_x86_slot(std::string_view name) {
  const std::uint64_t key = folded_key(name);
  for (const X86Name& entry : kX86Names) {
    if (entry.key == key) return entry.slot;
  }
  return std::nullopt;
}

// x0..x30, also written w0..w30; both address the whole 64-bit slot.
std::optional<unsigned> arm_x_index(std::string_view lowered) {
  if (lowered.size() < 2) return std::nullopt;
  auto number = parse_number_suffix<std::uint64_t>(lowered.substr(1));
  if (!number || *number > 30) return std::nullopt;
  return static_cast<unsigned>(*number);
}

bool starts_x86(char c) { return c == 'r' || c == 'e'; }
bool starts_arm(char c) { return c == 'x' || c == 'w'; }

Status unknown(std::string_view prefix, std::string_view name) {
  std::string message(prefix);
  message.append(name);
  return value_error(std::move(message));
}

void append_hex(std::string& out, std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}

void append_field(std::string& out, std::string_view label, std::uint64_t value, int digits = 16) {
  out.append(label);
  append_hex(out, value, digits);
}

}  // namespace

std::uint64_t RegisterFile::get(std::string_view name) const {
  if (auto slot = find_x86_slot(name)) return x86[*slot];
  LoweredName lowered(name);
  std::string_view text = lowered.view();
  if (text.empty() || starts_x86(text[0])) return 0;
  if (starts_arm(text[0])) {
    auto index = arm_x_index(text);
    return index ? x[*index] : 0;
  }
  if (text == "sp") return sp;
  if (text == "pc") return pc;
  if (text == "lr") return lr;
  if (text == "fp") return fp;
  return 0;
}

Status RegisterFile::mov(std::string_view name, std::uint64_t value) {
  if (auto slot = find_x86_slot(name)) {
    x86[*slot] = value;
    return success();
  }
  LoweredName lowered(name);
  std::string_view text = lowered.view();
  if (text.empty()) return unknown("Unknown register: ", name);
  if (starts_x86(text[0])) return unknown("Unknown x86 register: ", name);
  if (starts_arm(text[0])) {
    auto index = arm_x_index(text);
    if (!index) return unknown("Unknown ARM register: ", name);
    x[*index] = value;
    if (*index == 30) lr = value;
    if (*index == 29) fp = value;
    return success();
  }
  if (text == "sp") {
    sp = value;
  } else if (text == "pc") {
    pc = value;
  } else if (text == "lr") {
    lr = x[30] = value;
  } else if (text == "fp") {
    fp = x[29] = value;
  } else {
    return unknown("Unknown register: ", name);
  }
  return success();
}

std::string dump_x86(const RegisterFile& r) {
  std::string out;
  out.reserve(480);
  out += "=== x86-64 Registers ===\n";
  append_field(out, "RAX=", r.x86[kRax]);
  append_field(out, " RBX=", r.x86[kRbx]);
  append_field(out, " RCX=", r.x86[kRcx]);
  append_field(out, " RDX=", r.x86[kRdx]);
  append_field(out, "\nRSI=", r.x86[kRsi]);
  append_field(out, " RDI=", r.x86[kRdi]);
  append_field(out, " RBP=", r.x86[kRbp]);
  append_field(out, " RSP=", r.x86[kRsp]);
  append_field(out, "\nR8 =", r.x86[kR8]);
  append_field(out, " R9 =", r.x86[kR9]);
  append_field(out, " R10=", r.x86[kR10]);
  append_field(out, " R11=", r.x86[kR11]);
  append_field(out, "\nR12=", r.x86[kR12]);
  append_field(out, " R13=", r.x86[kR13]);
  append_field(out, " R14=", r.x86[kR14]);
  append_field(out, " R15=", r.x86[kR15]);
  append_field(out, "\nRIP=", r.x86[kRip]);
  append_field(out, " RFLAGS=", r.x86[kRflags]);
  static constexpr std::string_view kSegmentLabels[] = {"\nSegment: CS=", " DS=", " ES=", " FS=", " GS=", " SS="};
  for (std::size_t i = 0; i < r.segments.size(); ++i) append_field(out, kSegmentLabels[i], r.segments[i], 4);
  return out;
}

std::string dump_arm(const RegisterFile& r) {
  std::string out;
  out.reserve(800);
  out += "=== ARM64 Registers ===\n";
  for (unsigned n = 0; n <= 30; ++n) {
    out.push_back('X');
    out.push_back(static_cast<char>('0' + n / 10));
    out.push_back(static_cast<char>('0' + n % 10));
    out.push_back('=');
    append_hex(out, r.x[n], 16);
    out.push_back(' ');
    if (n % 4 == 3) out.push_back('\n');
  }
  append_field(out, "\nSP =", r.sp);
  append_field(out, " PC =", r.pc);
  append_field(out, " LR =", r.lr);
  append_field(out, " FP =", r.fp);
  append_field(out, "\nPSTATE=", r.pstate);
  append_field(out, " CPSR=", r.cpsr, 8);
  return out;
}

}  // namespace quorvel::registers
