#include "codegen/encoders.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvel::codegen {
namespace {

using frontend::Instruction;
using frontend::Op;

// ---------------------------------------------------------------------------
// Registers

struct RegisterName {
  std::string_view name;
  std::uint8_t number;
};

// rsp and r11 are never encodable: rsp carries the frame, and r11 is neither
// loaded nor saved by it.
constexpr RegisterName kRegisters[] = {
    {"rax", 0}, {"rcx", 1}, {"rdx", 2},  {"rbx", 3},  {"rbp", 5},  {"rsi", 6},  {"rdi", 7},
    {"r8", 8},  {"r9", 9},  {"r10", 10}, {"r12", 12}, {"r13", 13}, {"r14", 14}, {"r15", 15},
};

// Every name has two or three characters, so the whole text packs into one
// word (length in the top byte). The second and last characters tell all
// fourteen apart; the slot table below is checked collision-free at compile
// time, and a hit is confirmed by comparing the packed words.
constexpr std::uint32_t pack_name(std::string_view name) {
  std::uint32_t key = static_cast<std::uint32_t>(name.size()) << 24;
  for (std::size_t i = 0; i < name.size(); ++i) key |= std::uint32_t{static_cast<unsigned char>(name[i])} << (8 * i);
  return key;
}

constexpr unsigned register_hash(std::string_view name) {
  return (static_cast<unsigned char>(name[1]) * 7u + static_cast<unsigned char>(name.back())) & 31u;
}

struct RegisterSlot {
  std::uint32_t key = 0;  // 0 never matches: every packed name has a length
  std::int8_t number = -1;
};

constexpr auto kRegisterSlots = [] {
  std::array<RegisterSlot, 32> slots{};
  for (const RegisterName& reg : kRegisters) {
    RegisterSlot& slot = slots[register_hash(reg.name)];
    if (slot.key != 0) throw "register hash collision";
    slot = {pack_name(reg.name), static_cast<std::int8_t>(reg.number)};
  }
  return slots;
}();

constexpr std::uint8_t kRexW = 0x48;

constexpr std::uint8_t low3(int number) { return static_cast<std::uint8_t>(number & 7); }
constexpr std::uint8_t high_bit(int number) { return static_cast<std::uint8_t>(number >> 3); }
constexpr std::uint8_t modrm_direct(unsigned reg_field, int rm) {
  return static_cast<std::uint8_t>(0xC0 + 8 * (reg_field & 7) + low3(rm));
}

// ---------------------------------------------------------------------------
// Tables, one per instruction shape

// REX.W op /r between two registers. mov, movl and movq all encode as
// mov r/m64, r64 with the first written operand as destination.
struct RegRegForm {
  Op op;
  std::string_view name;
  std::uint8_t opcode[2];
  std::uint8_t opcode_length;
  bool reg_destination;  // the destination goes into ModRM.reg
};
constexpr RegRegForm kRegReg[] = {
    {Op::MovReg, "mov", {0x89}, 1, false},      {Op::MovL, "mov", {0x89}, 1, false},
    {Op::MovQ, "mov", {0x89}, 1, false},        {Op::AddReg, "add", {0x01}, 1, false},
    {Op::SubReg, "sub", {0x29}, 1, false},      {Op::AndReg, "and", {0x21}, 1, false},
    {Op::OrReg, "or", {0x09}, 1, false},        {Op::XorReg, "xor", {0x31}, 1, false},
    {Op::TestReg, "test", {0x85}, 1, false},    {Op::CmpReg, "cmp", {0x3B}, 1, true},
    {Op::IMul, "imul", {0x0F, 0xAF}, 2, true},
};

// op r/m64, imm32 (sign-extended), with the shorter accumulator form for rax.
struct ImmGroupForm {
  Op op;
  std::string_view name;
  std::uint8_t accumulator_opcode;
  std::uint8_t group_opcode;
  std::uint8_t extension;
};
constexpr ImmGroupForm kImmGroup[] = {
    {Op::AddImm, "add", 0x05, 0x81, 0}, {Op::OrImm, "or", 0x0D, 0x81, 1},   {Op::AndImm, "and", 0x25, 0x81, 4},
    {Op::SubImm, "sub", 0x2D, 0x81, 5}, {Op::XorImm, "xor", 0x35, 0x81, 6}, {Op::CmpImm, "cmp", 0x3D, 0x81, 7},
    {Op::TestImm, "test", 0xA9, 0xF7, 0},
};

// REX.W op /n on one register. mul is always unsigned, also for a
// one-operand imul.
struct OneOperandForm {
  Op op;
  std::uint8_t opcode;
  std::uint8_t extension;
};
constexpr OneOperandForm kOneOperand[] = {
    {Op::Mul, 0xF7, 4}, {Op::Div, 0xF7, 6}, {Op::Neg, 0xF7, 3},
    {Op::Not, 0xF7, 2}, {Op::Inc, 0xFF, 0}, {Op::Dec, 0xFF, 1},
};

// push/pop r64: opcode + low bits, REX.B (41) for r8..r15.
struct StackForm {
  Op op;
  std::uint8_t base_opcode;
};
constexpr StackForm kStack[] = {{Op::Push, 0x50}, {Op::Pop, 0x58}};

// C1 /n ib for a count of 1, otherwise mov cl, count and D3 /n.
struct ShiftForm {
  Op op;
  std::uint8_t extension;
};
constexpr ShiftForm kShift[] = {
    {Op::Rol, 0}, {Op::Ror, 1}, {Op::Rcl, 2}, {Op::Rcr, 3}, {Op::Shl, 4}, {Op::Sal, 4}, {Op::Shr, 5}, {Op::Sar, 7},
};

// Always the rel32 form. ARM's carry after a compare means "no borrow" while
// x86 sets CF on a borrow, so bcs/bhs (unsigned >=) is jae and bcc/blo
// (unsigned <) is jb.
struct JumpForm {
  Op op;
  std::uint8_t opcode[2];
  std::uint8_t opcode_length;
};
constexpr JumpForm kJump[] = {
    {Op::Jmp, {0xE9}, 1},       {Op::B, {0xE9}, 1},         {Op::Bal, {0xE9}, 1},       {Op::Je, {0x0F, 0x84}, 2},
    {Op::Beq, {0x0F, 0x84}, 2}, {Op::Jne, {0x0F, 0x85}, 2}, {Op::Bne, {0x0F, 0x85}, 2}, {Op::Jg, {0x0F, 0x8F}, 2},
    {Op::Bgt, {0x0F, 0x8F}, 2}, {Op::Jge, {0x0F, 0x8D}, 2}, {Op::Bge, {0x0F, 0x8D}, 2}, {Op::Jl, {0x0F, 0x8C}, 2},
    {Op::Blt, {0x0F, 0x8C}, 2}, {Op::Jle, {0x0F, 0x8E}, 2}, {Op::Ble, {0x0F, 0x8E}, 2}, {Op::Ja, {0x0F, 0x87}, 2},
    {Op::Bhi, {0x0F, 0x87}, 2}, {Op::Jae, {0x0F, 0x83}, 2}, {Op::Bcs, {0x0F, 0x83}, 2}, {Op::Jb, {0x0F, 0x82}, 2},
    {Op::Bcc, {0x0F, 0x82}, 2}, {Op::Jbe, {0x0F, 0x86}, 2}, {Op::Bls, {0x0F, 0x86}, 2}, {Op::Bmi, {0x0F, 0x88}, 2},
    {Op::Bpl, {0x0F, 0x89}, 2}, {Op::Bvs, {0x0F, 0x80}, 2}, {Op::Bvc, {0x0F, 0x81}, 2}, {Op::Call, {0xE8}, 1},
    {Op::Bl, {0xE8}, 1},
};

// Records that produce no code at all.
constexpr Op kDirectives[] = {Op::Global, Op::Text, Op::Data, Op::Bss, Op::Start};

// Parsed forms with no x86-64 encoding in this generator.
constexpr Op kNotImplemented[] = {Op::MovLoad, Op::MovStore, Op::Lea, Op::Lsl, Op::Lsr, Op::Asr};

// ---------------------------------------------------------------------------
// Dispatch: every tag maps to one shape and its row in that shape's table.

enum class Shape : std::uint8_t {
  Unassigned, MovImm, RegReg, ImmGroup, OneOperand, Stack, Shift, Jump, Ret, Nop, Label, Directive, NotImplemented,
};

struct Route {
  Shape shape = Shape::Unassigned;
  std::uint8_t row = 0;
};

// Start is the last tag of Op.
constexpr std::size_t kOpCount = static_cast<std::size_t>(Op::Start) + 1;

constexpr auto kRoutes = [] {
  std::array<Route, kOpCount> routes{};
  auto assign = [&routes](Op op, Shape shape, std::size_t row) {
    Route& route = routes[static_cast<std::size_t>(op)];
    if (route.shape != Shape::Unassigned) throw "instruction tag routed twice";
    route = {shape, static_cast<std::uint8_t>(row)};
  };
  for (std::size_t i = 0; i < std::size(kRegReg); ++i) assign(kRegReg[i].op, Shape::RegReg, i);
  for (std::size_t i = 0; i < std::size(kImmGroup); ++i) assign(kImmGroup[i].op, Shape::ImmGroup, i);
  for (std::size_t i = 0; i < std::size(kOneOperand); ++i) assign(kOneOperand[i].op, Shape::OneOperand, i);
  for (std::size_t i = 0; i < std::size(kStack); ++i) assign(kStack[i].op, Shape::Stack, i);
  for (std::size_t i = 0; i < std::size(kShift); ++i) assign(kShift[i].op, Shape::Shift, i);
  for (std::size_t i = 0; i < std::size(kJump); ++i) assign(kJump[i].op, Shape::Jump, i);
  for (Op op : kDirectives) assign(op, Shape::Directive, 0);
  for (Op op : kNotImplemented) assign(op, Shape::NotImplemented, 0);
  assign(Op::MovImm, Shape::MovImm, 0);
  assign(Op::Ret, Shape::Ret, 0);
  assign(Op::Nop, Shape::Nop, 0);
  assign(Op::Label, Shape::Label, 0);
  for (const Route& route : routes) {
    if (route.shape == Shape::Unassigned) throw "instruction tag without an encoder";
  }
  return routes;
}();

// ---------------------------------------------------------------------------
// One routine per shape. Each builds the instruction in a small local buffer
// and appends it in one step; strings are only made for failures.

struct Bytes {
  std::uint8_t data[16]{};
  std::size_t size = 0;

  void put(std::uint8_t byte) { data[size++] = byte; }
  void put_le(std::uint64_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) put(static_cast<std::uint8_t>(value >> (8 * i)));
  }
};

void append(Assembler& assembler, const Bytes& bytes) { assembler.emit_block(bytes.data, bytes.size); }

// mov r64, imm64 has no table of its own.
constexpr std::string_view kMovImmName = "mov";

Status encode_mov_imm(Assembler& assembler, const Instruction& instruction) {
  const int r = register_number(instruction.first);
  if (r < 0) return value_error("Unsupported mov imm register");
  Bytes bytes;
  bytes.put(static_cast<std::uint8_t>(kRexW + high_bit(r)));
  bytes.put(static_cast<std::uint8_t>(0xB8 + low3(r)));
  bytes.put_le(instruction.imm, 8);
  append(assembler, bytes);
  return success();
}

// The same thirty pairs hold for every register-register form: anything with
// rax on either side, and rbx, rcx, rdx with themselves.
bool pair_accepted(int dest, int src) { return dest == 0 || src == 0 || (dest == src && dest >= 1 && dest <= 3); }

Status encode_reg_reg(Assembler& assembler, const Instruction& instruction, const RegRegForm& form) {
  const int dest = register_number(instruction.first);
  const int src = register_number(instruction.second);
  if (dest < 0 || src < 0 || !pair_accepted(dest, src)) {
    std::string message = "Unsupported reg-reg combination: ";
    message += form.name;
    message += ' ';
    message += instruction.first;
    message += ", ";
    message += instruction.second;
    return value_error(std::move(message));
  }
  const int reg = form.reg_destination ? dest : src;
  const int rm = form.reg_destination ? src : dest;
  Bytes bytes;
  bytes.put(static_cast<std::uint8_t>(kRexW + 4 * high_bit(reg) + high_bit(rm)));
  for (std::uint8_t i = 0; i < form.opcode_length; ++i) bytes.put(form.opcode[i]);
  bytes.put(modrm_direct(static_cast<unsigned>(reg), rm));
  append(assembler, bytes);
  return success();
}

// "rax, r64" and "r64, rax" where every register pairs with rax that way,
// then each other accepted pair by name.
void append_pair_forms(const std::string& prefix, std::vector<std::string>& forms) {
  const auto accepted_for_all = [](auto&& pair_with) {
    return std::all_of(std::begin(kRegisters), std::end(kRegisters),
                       [&](const RegisterName& reg) { return pair_with(reg.number); });
  };
  const bool any_into_rax = accepted_for_all([](int src) { return pair_accepted(0, src); });
  const bool rax_into_any = accepted_for_all([](int dest) { return pair_accepted(dest, 0); });
  if (any_into_rax) forms.push_back(prefix + "rax, r64");
  if (rax_into_any) forms.push_back(prefix + "r64, rax");
  for (const RegisterName& dest : kRegisters) {
    for (const RegisterName& src : kRegisters) {
      if (!pair_accepted(dest.number, src.number)) continue;
      if ((dest.number == 0 && any_into_rax) || (src.number == 0 && rax_into_any)) continue;
      forms.push_back(prefix + std::string(dest.name) + ", " + std::string(src.name));
    }
  }
}

std::string_view mnemonic_of(Op op) {
  if (op == Op::MovImm) return kMovImmName;
  for (const RegRegForm& form : kRegReg) {
    if (form.op == op) return form.name;
  }
  for (const ImmGroupForm& form : kImmGroup) {
    if (form.op == op) return form.name;
  }
  return {};
}

Status encode_imm_group(Assembler& assembler, const Instruction& instruction, const ImmGroupForm& form) {
  const int r = register_number(instruction.first);
  if (r < 0) {
    std::string message = "Unsupported register for ";
    message += form.name;
    message += " imm: ";
    message += instruction.first;
    return value_error(std::move(message));
  }
  Bytes bytes;
  if (r == 0) {
    bytes.put(kRexW);
    bytes.put(form.accumulator_opcode);
  } else {
    bytes.put(static_cast<std::uint8_t>(kRexW + high_bit(r)));
    bytes.put(form.group_opcode);
    bytes.put(modrm_direct(form.extension, r));
  }
  // Only the low 32 bits are encoded; the processor sign-extends them.
  bytes.put_le(instruction.imm, 4);
  append(assembler, bytes);
  return success();
}

Error unsupported_register(std::string_view operand) {
  std::string message = "Unsupported register: ";
  message += operand;
  return value_error(std::move(message));
}

Status encode_one_operand(Assembler& assembler, const Instruction& instruction, const OneOperandForm& form) {
  const int r = register_number(instruction.first);
  if (r < 0) return unsupported_register(instruction.first);
  Bytes bytes;
  bytes.put(static_cast<std::uint8_t>(kRexW + high_bit(r)));
  bytes.put(form.opcode);
  bytes.put(modrm_direct(form.extension, r));
  append(assembler, bytes);
  return success();
}

Status encode_stack(Assembler& assembler, const Instruction& instruction, const StackForm& form) {
  const int r = register_number(instruction.first);
  if (r < 0) return unsupported_register(instruction.first);
  Bytes bytes;
  if (high_bit(r) != 0) bytes.put(0x41);
  bytes.put(static_cast<std::uint8_t>(form.base_opcode + low3(r)));
  append(assembler, bytes);
  return success();
}

Status encode_shift(Assembler& assembler, const Instruction& instruction, const ShiftForm& form) {
  const int r = register_number(instruction.first);
  if (r < 0) {
    return value_error(instruction.count == 1 ? "Shift not supported on register" : "Variable shift not supported");
  }
  Bytes bytes;
  if (instruction.count == 1) {
    bytes.put(static_cast<std::uint8_t>(kRexW + high_bit(r)));
    bytes.put(0xC1);
    bytes.put(modrm_direct(form.extension, r));
    bytes.put(0x01);
  } else {
    // mov cl, count; the shift then uses the low six bits of cl, so a
    // negative count shifts by 64 minus its magnitude.
    bytes.put(0xB1);
    bytes.put(static_cast<std::uint8_t>(instruction.count));
    bytes.put(static_cast<std::uint8_t>(kRexW + high_bit(r)));
    bytes.put(0xD3);
    bytes.put(modrm_direct(form.extension, r));
  }
  append(assembler, bytes);
  return success();
}

void emit_rel32_to(Assembler& assembler, const std::uint8_t* opcode, std::size_t opcode_length, DynamicLabel label) {
  Bytes bytes;
  for (std::size_t i = 0; i < opcode_length; ++i) bytes.put(opcode[i]);
  bytes.put_le(0, 4);
  append(assembler, bytes);
  assembler.add_rel32_reference(label);
}

Status encode_jump(Assembler& assembler, const Instruction& instruction, const JumpForm& form,
                   LabelContext& labels) {
  LabelEntry& target = labels.table.entry(instruction.first, assembler);
  if (target.first_use == 0) target.first_use = instruction.statement;
  if (assembler.is_defined(target.label)) labels.backward_transfer = true;
  emit_rel32_to(assembler, form.opcode, form.opcode_length, target.label);
  return success();
}

// The first definition places the label; a second one is only remembered,
// and the generation reports it once every statement is encoded.
Status define_label(Assembler& assembler, const Instruction& instruction, LabelContext& labels) {
  LabelEntry& label = labels.table.entry(instruction.first, assembler);
  if (label.first_definition == 0) {
    label.first_definition = instruction.statement;
    assembler.define_dynamic_label(label.label);
  } else if (label.second_definition == 0) {
    label.second_definition = instruction.statement;
  }
  return success();
}

}  // namespace

int register_number(std::string_view name) {
  if (name.size() < 2 || name.size() > 3) return -1;
  const RegisterSlot& slot = kRegisterSlots[register_hash(name)];
  return slot.key == pack_name(name) ? slot.number : -1;
}

std::vector<std::string> operand_forms(Op op) {
  std::vector<std::string> forms;
  const std::string_view mnemonic = mnemonic_of(op);
  if (mnemonic.empty()) return forms;
  const std::string prefix = std::string(mnemonic) + ' ';
  if (mnemonic == kMovImmName) forms.push_back(prefix + "r64, imm64");
  for (const ImmGroupForm& form : kImmGroup) {
    if (form.name == mnemonic) forms.push_back(prefix + "r64, imm32");
  }
  const auto named = [&](const RegRegForm& form) { return form.name == mnemonic; };
  if (std::any_of(std::begin(kRegReg), std::end(kRegReg), named)) append_pair_forms(prefix, forms);
  return forms;
}

Status encode_instruction(Assembler& assembler, const Instruction& instruction, LabelContext& labels) {
  const auto tag = static_cast<std::size_t>(instruction.op);
  if (tag >= kOpCount) return value_error("Instruction not implemented for x86-64");
  const Route route = kRoutes[tag];
  switch (route.shape) {
    case Shape::MovImm: return encode_mov_imm(assembler, instruction);
    case Shape::RegReg: return encode_reg_reg(assembler, instruction, kRegReg[route.row]);
    case Shape::ImmGroup: return encode_imm_group(assembler, instruction, kImmGroup[route.row]);
    case Shape::OneOperand: return encode_one_operand(assembler, instruction, kOneOperand[route.row]);
    case Shape::Stack: return encode_stack(assembler, instruction, kStack[route.row]);
    case Shape::Shift: return encode_shift(assembler, instruction, kShift[route.row]);
    case Shape::Jump: return encode_jump(assembler, instruction, kJump[route.row], labels);
    case Shape::Ret: {
      // ret never returns inside the program: it leaves through the epilogue.
      constexpr std::uint8_t kJmp[] = {0xE9};
      emit_rel32_to(assembler, kJmp, 1, labels.exit_label);
      return success();
    }
    case Shape::Nop: {
      constexpr std::uint8_t kNop[] = {0x90};
      assembler.emit(kNop, 1);
      return success();
    }
    case Shape::Label: return define_label(assembler, instruction, labels);
    case Shape::Directive: return success();
    case Shape::Unassigned:
    case Shape::NotImplemented: break;
  }
  return value_error("Instruction not implemented for x86-64");
}

}  // namespace quorvel::codegen
