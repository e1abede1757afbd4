#include "registers/register_file.hpp"

#include <optional>

#include "registers/number_suffix.hpp"

namespace quorvel::registers {
namespace {

struct X86Name {
  std::string_view name;
  X86Slot slot;
};

// The names that address a 64-bit x86-64 slot; sub-registers address none.
constexpr X86Name kX86Names[] = {
    {"rax", kRax}, {"rbx", kRbx}, {"rcx", kRcx}, {"rdx", kRdx}, {"rsi", kRsi},
    {"rdi", kRdi}, {"rsp", kRsp}, {"rbp", kRbp}, {"r8", kR8},   {"r9", kR9},
    {"r10", kR10}, {"r11", kR11}, {"r12", kR12}, {"r13", kR13}, {"r14", kR14},
    {"r15", kR15}, {"rip", kRip}, {"rflags", kRflags}, {"eflags", kRflags},
};

std::optional<X86Slot> find_x86_slot(std::string_view lowered) {
  for (const X86Name& entry : kX86Names) {
    if (entry.name == lowered) return entry.slot;
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
  LoweredName lowered(name);
  std::string_view text = lowered.view();
  if (text.empty()) return 0;
  if (starts_x86(text[0])) {
    auto slot = find_x86_slot(text);
    return slot ? x86[*slot] : 0;
  }
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
  LoweredName lowered(name);
  std::string_view text = lowered.view();
  if (text.empty()) return unknown("Unknown register: ", name);
  if (starts_arm(text[0])) {
    auto index = arm_x_index(text);
    if (!index) return unknown("Unknown ARM register: ", name);
    x[*index] = value;
    if (*index == 30) lr = value;
    if (*index == 29) fp = value;
    return success();
  }
  if (starts_x86(text[0])) {
    auto slot = find_x86_slot(text);
    if (!slot) return unknown("Unknown x86 register: ", name);
    x86[*slot] = value;
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
