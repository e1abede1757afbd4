// Golden encodings: one record in, the exact bytes (or message) out.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "test_codegen_support.hpp"

namespace quorvel::codegen::testing {
namespace {

struct Golden {
  Instruction instruction;
  std::string_view expected;  // hex bytes, or "error: <message>"
};

void check_all(const std::vector<Golden>& table) {
  for (const Golden& row : table) {
    SCOPED_TRACE(::testing::Message() << "op " << static_cast<int>(row.instruction.op) << " '"
                                      << row.instruction.first << "' '" << row.instruction.second << "'");
    EXPECT_EQ(encode_alone(row.instruction), row.expected);
  }
}

// The fourteen encodable names in register-number order.
constexpr std::string_view kNames[] = {"rax", "rcx", "rdx", "rbx", "rbp", "rsi", "rdi",
                                       "r8",  "r9",  "r10", "r12", "r13", "r14", "r15"};
constexpr int kNumbers[] = {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 12, 13, 14, 15};

// Texts that name no encodable register.
constexpr std::string_view kRejected[] = {"rsp", "r11", "RAX", "Rax", "eax", "ax", "al", "%rax",
                                          "x0",  "r16", "r1",  "",    "0x10", "-1", "rax,", "raxx"};

TEST(CodegenEncoders, RegisterNumbersCoverExactlyTheFourteenNames) {
  for (std::size_t i = 0; i < std::size(kNames); ++i) EXPECT_EQ(register_number(kNames[i]), kNumbers[i]) << kNames[i];
  for (std::string_view name : kRejected) EXPECT_EQ(register_number(name), -1) << name;
}

TEST(CodegenEncoders, MovImmAlwaysTenBytes) {
  constexpr std::uint64_t kImm = 0x0807060504030201;
  check_all({
      {make(Op::MovImm, "rax", {}, kImm), "48 B8 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "rcx", {}, kImm), "48 B9 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "rdx", {}, kImm), "48 BA 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "rbx", {}, kImm), "48 BB 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "rbp", {}, kImm), "48 BD 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "rsi", {}, kImm), "48 BE 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "rdi", {}, kImm), "48 BF 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "r8", {}, kImm), "49 B8 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "r9", {}, kImm), "49 B9 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "r10", {}, kImm), "49 BA 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "r12", {}, kImm), "49 BC 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "r13", {}, kImm), "49 BD 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "r14", {}, kImm), "49 BE 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "r15", {}, kImm), "49 BF 01 02 03 04 05 06 07 08"},
      {make(Op::MovImm, "rax", {}, 0), "48 B8 00 00 00 00 00 00 00 00"},
      {make(Op::MovImm, "r15", {}, 258), "49 BF 02 01 00 00 00 00 00 00"},
      {make(Op::MovImm, "rax", {}, ~std::uint64_t{0}), "48 B8 FF FF FF FF FF FF FF FF"},
  });
  for (std::string_view name : kRejected) {
    EXPECT_EQ(encode_alone(make(Op::MovImm, name, {}, 1)), "error: Unsupported mov imm register") << name;
  }
}

TEST(CodegenEncoders, PushAndPopEveryRegister) {
  const std::string_view push[] = {"50", "51", "52", "53", "55", "56", "57",
                                   "41 50", "41 51", "41 52", "41 54", "41 55", "41 56", "41 57"};
  const std::string_view pop[] = {"58", "59", "5A", "5B", "5D", "5E", "5F",
                                  "41 58", "41 59", "41 5A", "41 5C", "41 5D", "41 5E", "41 5F"};
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    EXPECT_EQ(encode_alone(make(Op::Push, kNames[i])), push[i]) << kNames[i];
    EXPECT_EQ(encode_alone(make(Op::Pop, kNames[i])), pop[i]) << kNames[i];
  }
  for (std::string_view name : kRejected) {
    EXPECT_EQ(encode_alone(make(Op::Push, name)), "error: Unsupported register: " + std::string(name));
    EXPECT_EQ(encode_alone(make(Op::Pop, name)), "error: Unsupported register: " + std::string(name));
  }
}

TEST(CodegenEncoders, JumpOpcodesWithZeroDisplacementToTheNextInstruction) {
  struct Row {
    std::string_view mnemonic;
    std::string_view opcode;
  };
  const Row rows[] = {
      {"jmp", "E9"},    {"b", "E9"},      {"bal", "E9"},    {"je", "0F 84"},  {"jz", "0F 84"},  {"beq", "0F 84"},
      {"jne", "0F 85"}, {"jnz", "0F 85"}, {"bne", "0F 85"}, {"jg", "0F 8F"},  {"bgt", "0F 8F"}, {"jge", "0F 8D"},
      {"bge", "0F 8D"}, {"jl", "0F 8C"},  {"blt", "0F 8C"}, {"jle", "0F 8E"}, {"ble", "0F 8E"}, {"ja", "0F 87"},
      {"bhi", "0F 87"}, {"jae", "0F 83"}, {"bcs", "0F 83"}, {"bhs", "0F 83"}, {"jb", "0F 82"},  {"bcc", "0F 82"},
      {"blo", "0F 82"}, {"jbe", "0F 86"}, {"bls", "0F 86"}, {"bmi", "0F 88"}, {"bpl", "0F 89"}, {"bvs", "0F 80"},
      {"bvc", "0F 81"}, {"call", "E8"},   {"bl", "E8"},
  };
  for (const Row& row : rows) {
    const std::string mnemonic(row.mnemonic);
    EXPECT_EQ(body_hex(mnemonic + " next\nnext:"), std::string(row.opcode) + " 00 00 00 00") << mnemonic;
    EXPECT_EQ(body_hex(mnemonic + " Next\nnext:"), "error: Undefined label: Next") << mnemonic;
  }
}

TEST(CodegenEncoders, ImmediateGroupAccumulatorAndGeneralForms) {
  constexpr std::uint64_t kImm = 0x1122334455667788;  // only 88 77 66 55 is encoded
  check_all({
      {make(Op::AddImm, "rax", {}, kImm), "48 05 88 77 66 55"},
      {make(Op::AddImm, "rbx", {}, kImm), "48 81 C3 88 77 66 55"},
      {make(Op::AddImm, "r15", {}, kImm), "49 81 C7 88 77 66 55"},
      {make(Op::OrImm, "rax", {}, kImm), "48 0D 88 77 66 55"},
      {make(Op::OrImm, "rbx", {}, kImm), "48 81 CB 88 77 66 55"},
      {make(Op::OrImm, "r15", {}, kImm), "49 81 CF 88 77 66 55"},
      {make(Op::AndImm, "rax", {}, kImm), "48 25 88 77 66 55"},
      {make(Op::AndImm, "rbx", {}, kImm), "48 81 E3 88 77 66 55"},
      {make(Op::AndImm, "r15", {}, kImm), "49 81 E7 88 77 66 55"},
      {make(Op::SubImm, "rax", {}, kImm), "48 2D 88 77 66 55"},
      {make(Op::SubImm, "rbx", {}, kImm), "48 81 EB 88 77 66 55"},
      {make(Op::SubImm, "r15", {}, kImm), "49 81 EF 88 77 66 55"},
      {make(Op::XorImm, "rax", {}, kImm), "48 35 88 77 66 55"},
      {make(Op::XorImm, "rbx", {}, kImm), "48 81 F3 88 77 66 55"},
      {make(Op::XorImm, "r15", {}, kImm), "49 81 F7 88 77 66 55"},
      {make(Op::CmpImm, "rax", {}, kImm), "48 3D 88 77 66 55"},
      {make(Op::CmpImm, "rbx", {}, kImm), "48 81 FB 88 77 66 55"},
      {make(Op::CmpImm, "r15", {}, kImm), "49 81 FF 88 77 66 55"},
      {make(Op::TestImm, "rax", {}, kImm), "48 A9 88 77 66 55"},
      {make(Op::TestImm, "rbx", {}, kImm), "48 F7 C3 88 77 66 55"},
      {make(Op::TestImm, "r15", {}, kImm), "49 F7 C7 88 77 66 55"},
      {make(Op::AddImm, "rax", {}, 1), "48 05 01 00 00 00"},
      {make(Op::AddImm, "rbx", {}, 1), "48 81 C3 01 00 00 00"},
      {make(Op::AddImm, "rax", {}, 4294967296), "48 05 00 00 00 00"},
      {make(Op::AddImm, "rax", {}, 2147483648), "48 05 00 00 00 80"},
      {make(Op::SubImm, "rbx", {}, 4294967295), "48 81 EB FF FF FF FF"},
      {make(Op::TestImm, "r9", {}, 1), "49 F7 C1 01 00 00 00"},
      {make(Op::AddImm, "RAX", {}, 1), "error: Unsupported register for add imm: RAX"},
      {make(Op::AddImm, "eax", {}, 1), "error: Unsupported register for add imm: eax"},
      {make(Op::AddImm, "r11", {}, 1), "error: Unsupported register for add imm: r11"},
      {make(Op::SubImm, "rsp", {}, 1), "error: Unsupported register for sub imm: rsp"},
      {make(Op::AndImm, "x0", {}, 1), "error: Unsupported register for and imm: x0"},
      {make(Op::OrImm, "%rax", {}, 1), "error: Unsupported register for or imm: %rax"},
      {make(Op::XorImm, "al", {}, 1), "error: Unsupported register for xor imm: al"},
      {make(Op::CmpImm, "r16", {}, 1), "error: Unsupported register for cmp imm: r16"},
      {make(Op::TestImm, "", {}, 1), "error: Unsupported register for test imm: "},
  });
}

// The register-register forms in the column order of kPairs.
struct RegRegVariant {
  Op op;
  std::string_view name;
};
constexpr RegRegVariant kRegRegVariants[] = {
    {Op::MovReg, "mov"}, {Op::AddReg, "add"},   {Op::SubReg, "sub"}, {Op::AndReg, "and"},  {Op::OrReg, "or"},
    {Op::XorReg, "xor"}, {Op::TestReg, "test"}, {Op::CmpReg, "cmp"}, {Op::IMul, "imul"},
};

// The thirty accepted pairs and the bytes of each form, every one of them
// decoded by objdump to the intended instruction before it was written here.
// The first seven forms put the source in ModRM.reg, cmp and imul the
// destination.
struct PairRow {
  std::string_view dest;
  std::string_view src;
  std::string_view bytes[std::size(kRegRegVariants)];
};
constexpr PairRow kPairs[] = {
    {"rax", "rax",  {"48 89 C0", "48 01 C0", "48 29 C0", "48 21 C0", "48 09 C0", "48 31 C0", "48 85 C0",
                     "48 3B C0", "48 0F AF C0"}},
    {"rax", "rcx",  {"48 89 C8", "48 01 C8", "48 29 C8", "48 21 C8", "48 09 C8", "48 31 C8", "48 85 C8",
                     "48 3B C1", "48 0F AF C1"}},
    {"rax", "rdx",  {"48 89 D0", "48 01 D0", "48 29 D0", "48 21 D0", "48 09 D0", "48 31 D0", "48 85 D0",
                     "48 3B C2", "48 0F AF C2"}},
    {"rax", "rbx",  {"48 89 D8", "48 01 D8", "48 29 D8", "48 21 D8", "48 09 D8", "48 31 D8", "48 85 D8",
                     "48 3B C3", "48 0F AF C3"}},
    {"rax", "rbp",  {"48 89 E8", "48 01 E8", "48 29 E8", "48 21 E8", "48 09 E8", "48 31 E8", "48 85 E8",
                     "48 3B C5", "48 0F AF C5"}},
    {"rax", "rsi",  {"48 89 F0", "48 01 F0", "48 29 F0", "48 21 F0", "48 09 F0", "48 31 F0", "48 85 F0",
                     "48 3B C6", "48 0F AF C6"}},
    {"rax", "rdi",  {"48 89 F8", "48 01 F8", "48 29 F8", "48 21 F8", "48 09 F8", "48 31 F8", "48 85 F8",
                     "48 3B C7", "48 0F AF C7"}},
    {"rax", "r8",   {"4C 89 C0", "4C 01 C0", "4C 29 C0", "4C 21 C0", "4C 09 C0", "4C 31 C0", "4C 85 C0",
                     "49 3B C0", "49 0F AF C0"}},
    {"rax", "r9",   {"4C 89 C8", "4C 01 C8", "4C 29 C8", "4C 21 C8", "4C 09 C8", "4C 31 C8", "4C 85 C8",
                     "49 3B C1", "49 0F AF C1"}},
    {"rax", "r10",  {"4C 89 D0", "4C 01 D0", "4C 29 D0", "4C 21 D0", "4C 09 D0", "4C 31 D0", "4C 85 D0",
                     "49 3B C2", "49 0F AF C2"}},
    {"rax", "r12",  {"4C 89 E0", "4C 01 E0", "4C 29 E0", "4C 21 E0", "4C 09 E0", "4C 31 E0", "4C 85 E0",
                     "49 3B C4", "49 0F AF C4"}},
    {"rax", "r13",  {"4C 89 E8", "4C 01 E8", "4C 29 E8", "4C 21 E8", "4C 09 E8", "4C 31 E8", "4C 85 E8",
                     "49 3B C5", "49 0F AF C5"}},
    {"rax", "r14",  {"4C 89 F0", "4C 01 F0", "4C 29 F0", "4C 21 F0", "4C 09 F0", "4C 31 F0", "4C 85 F0",
                     "49 3B C6", "49 0F AF C6"}},
    {"rax", "r15",  {"4C 89 F8", "4C 01 F8", "4C 29 F8", "4C 21 F8", "4C 09 F8", "4C 31 F8", "4C 85 F8",
                     "49 3B C7", "49 0F AF C7"}},
    {"rcx", "rax",  {"48 89 C1", "48 01 C1", "48 29 C1", "48 21 C1", "48 09 C1", "48 31 C1", "48 85 C1",
                     "48 3B C8", "48 0F AF C8"}},
    {"rdx", "rax",  {"48 89 C2", "48 01 C2", "48 29 C2", "48 21 C2", "48 09 C2", "48 31 C2", "48 85 C2",
                     "48 3B D0", "48 0F AF D0"}},
    {"rbx", "rax",  {"48 89 C3", "48 01 C3", "48 29 C3", "48 21 C3", "48 09 C3", "48 31 C3", "48 85 C3",
                     "48 3B D8", "48 0F AF D8"}},
    {"rbp", "rax",  {"48 89 C5", "48 01 C5", "48 29 C5", "48 21 C5", "48 09 C5", "48 31 C5", "48 85 C5",
                     "48 3B E8", "48 0F AF E8"}},
    {"rsi", "rax",  {"48 89 C6", "48 01 C6", "48 29 C6", "48 21 C6", "48 09 C6", "48 31 C6", "48 85 C6",
                     "48 3B F0", "48 0F AF F0"}},
    {"rdi", "rax",  {"48 89 C7", "48 01 C7", "48 29 C7", "48 21 C7", "48 09 C7", "48 31 C7", "48 85 C7",
                     "48 3B F8", "48 0F AF F8"}},
    {"r8", "rax",   {"49 89 C0", "49 01 C0", "49 29 C0", "49 21 C0", "49 09 C0", "49 31 C0", "49 85 C0",
                     "4C 3B C0", "4C 0F AF C0"}},
    {"r9", "rax",   {"49 89 C1", "49 01 C1", "49 29 C1", "49 21 C1", "49 09 C1", "49 31 C1", "49 85 C1",
                     "4C 3B C8", "4C 0F AF C8"}},
    {"r10", "rax",  {"49 89 C2", "49 01 C2", "49 29 C2", "49 21 C2", "49 09 C2", "49 31 C2", "49 85 C2",
                     "4C 3B D0", "4C 0F AF D0"}},
    {"r12", "rax",  {"49 89 C4", "49 01 C4", "49 29 C4", "49 21 C4", "49 09 C4", "49 31 C4", "49 85 C4",
                     "4C 3B E0", "4C 0F AF E0"}},
    {"r13", "rax",  {"49 89 C5", "49 01 C5", "49 29 C5", "49 21 C5", "49 09 C5", "49 31 C5", "49 85 C5",
                     "4C 3B E8", "4C 0F AF E8"}},
    {"r14", "rax",  {"49 89 C6", "49 01 C6", "49 29 C6", "49 21 C6", "49 09 C6", "49 31 C6", "49 85 C6",
                     "4C 3B F0", "4C 0F AF F0"}},
    {"r15", "rax",  {"49 89 C7", "49 01 C7", "49 29 C7", "49 21 C7", "49 09 C7", "49 31 C7", "49 85 C7",
                     "4C 3B F8", "4C 0F AF F8"}},
    {"rbx", "rbx",  {"48 89 DB", "48 01 DB", "48 29 DB", "48 21 DB", "48 09 DB", "48 31 DB", "48 85 DB",
                     "48 3B DB", "48 0F AF DB"}},
    {"rcx", "rcx",  {"48 89 C9", "48 01 C9", "48 29 C9", "48 21 C9", "48 09 C9", "48 31 C9", "48 85 C9",
                     "48 3B C9", "48 0F AF C9"}},
    {"rdx", "rdx",  {"48 89 D2", "48 01 D2", "48 29 D2", "48 21 D2", "48 09 D2", "48 31 D2", "48 85 D2",
                     "48 3B D2", "48 0F AF D2"}},
};

bool is_accepted_pair(std::string_view dest, std::string_view src) {
  return std::any_of(std::begin(kPairs), std::end(kPairs),
                     [&](const PairRow& row) { return row.dest == dest && row.src == src; });
}

TEST(CodegenEncoders, RegRegEveryFormOfTheThirtyPairs) {
  for (const PairRow& row : kPairs) {
    for (std::size_t form = 0; form < std::size(kRegRegVariants); ++form) {
      const RegRegVariant& variant = kRegRegVariants[form];
      EXPECT_EQ(encode_alone(make(variant.op, row.dest, row.src)), row.bytes[form])
          << variant.name << ' ' << row.dest << ", " << row.src;
    }
    // movl and movq encode exactly like mov, first operand as destination.
    EXPECT_EQ(encode_alone(make(Op::MovL, row.dest, row.src)), row.bytes[0]) << row.dest << ", " << row.src;
    EXPECT_EQ(encode_alone(make(Op::MovQ, row.dest, row.src)), row.bytes[0]) << row.dest << ", " << row.src;
  }
}

TEST(CodegenEncoders, RegRegRejectsEveryOtherPair) {
  for (const RegRegVariant& variant : kRegRegVariants) {
    const std::string prefix = "error: Unsupported reg-reg combination: " + std::string(variant.name) + ' ';
    for (std::string_view dest : kNames) {
      for (std::string_view src : kNames) {
        if (is_accepted_pair(dest, src)) continue;
        EXPECT_EQ(encode_alone(make(variant.op, dest, src)), prefix + std::string(dest) + ", " + std::string(src));
      }
    }
    for (std::string_view other : kRejected) {
      EXPECT_EQ(encode_alone(make(variant.op, "rax", other)), prefix + "rax, " + std::string(other));
      EXPECT_EQ(encode_alone(make(variant.op, other, "rax")), prefix + std::string(other) + ", rax");
    }
  }
  check_all({
      {make(Op::MovReg, "rbx", "rcx"), "error: Unsupported reg-reg combination: mov rbx, rcx"},
      {make(Op::MovReg, "rax", "0x10"), "error: Unsupported reg-reg combination: mov rax, 0x10"},
      {make(Op::MovReg, "rax", "-1"), "error: Unsupported reg-reg combination: mov rax, -1"},
      {make(Op::MovQ, "%rax", "%rbx"), "error: Unsupported reg-reg combination: mov %rax, %rbx"},
      {make(Op::MovL, "rax", "$5"), "error: Unsupported reg-reg combination: mov rax, $5"},
      {make(Op::MovL, "r8", "r9"), "error: Unsupported reg-reg combination: mov r8, r9"},
      {make(Op::MovReg, "rax,", "rbx"), "error: Unsupported reg-reg combination: mov rax,, rbx"},
      {make(Op::IMul, "rax", "rbx,"), "error: Unsupported reg-reg combination: imul rax, rbx,"},
  });
}

// A form's operands, with "r64" standing for any register.
bool form_covers(std::string_view form, std::string_view dest, std::string_view src) {
  const std::size_t space = form.find(' ');
  const std::size_t comma = form.find(", ");
  const std::string_view form_dest = form.substr(space + 1, comma - space - 1);
  const std::string_view form_src = form.substr(comma + 2);
  return (form_dest == "r64" || form_dest == dest) && (form_src == "r64" || form_src == src);
}

TEST(CodegenEncoders, OperandFormsDescribeExactlyThePairsThatEncode) {
  for (const RegRegVariant& variant : kRegRegVariants) {
    const std::vector<std::string> forms = operand_forms(variant.op);
    for (const std::string& form : forms) EXPECT_TRUE(form.starts_with(std::string(variant.name) + ' ')) << form;
    for (std::string_view dest : kNames) {
      for (std::string_view src : kNames) {
        const bool listed = std::any_of(forms.begin(), forms.end(),
                                        [&](const std::string& form) { return form_covers(form, dest, src); });
        EXPECT_EQ(listed, is_accepted_pair(dest, src)) << variant.name << ' ' << dest << ", " << src;
      }
    }
  }
}

TEST(CodegenEncoders, OperandFormsNameTheImmediateFormsOfTheMnemonic) {
  using Forms = std::vector<std::string>;
  const Forms pairs = {"rax, r64", "r64, rax", "rcx, rcx", "rdx, rdx", "rbx, rbx"};
  const auto with = [&](std::string_view mnemonic, std::vector<std::string_view> immediate) {
    Forms forms;
    for (std::string_view form : immediate) forms.push_back(std::string(mnemonic) + ' ' + std::string(form));
    for (const std::string& pair : pairs) forms.push_back(std::string(mnemonic) + ' ' + pair);
    return forms;
  };
  EXPECT_EQ(operand_forms(Op::MovReg), with("mov", {"r64, imm64"}));
  EXPECT_EQ(operand_forms(Op::MovQ), with("mov", {"r64, imm64"}));
  EXPECT_EQ(operand_forms(Op::MovImm), with("mov", {"r64, imm64"}));
  EXPECT_EQ(operand_forms(Op::AddReg), with("add", {"r64, imm32"}));
  EXPECT_EQ(operand_forms(Op::TestImm), with("test", {"r64, imm32"}));
  EXPECT_EQ(operand_forms(Op::IMul), with("imul", {}));
  EXPECT_EQ(operand_forms(Op::Push), Forms{});
  EXPECT_EQ(operand_forms(Op::Shl), Forms{});
}

TEST(CodegenEncoders, OneOperandForms) {
  check_all({
      {make(Op::Mul, "rax"), "48 F7 E0"}, {make(Op::Mul, "rbx"), "48 F7 E3"}, {make(Op::Mul, "r15"), "49 F7 E7"},
      {make(Op::Div, "rax"), "48 F7 F0"}, {make(Op::Div, "rbx"), "48 F7 F3"}, {make(Op::Div, "r15"), "49 F7 F7"},
      {make(Op::Neg, "rax"), "48 F7 D8"}, {make(Op::Neg, "rbx"), "48 F7 DB"}, {make(Op::Neg, "r15"), "49 F7 DF"},
      {make(Op::Not, "rax"), "48 F7 D0"}, {make(Op::Not, "rbx"), "48 F7 D3"}, {make(Op::Not, "r15"), "49 F7 D7"},
      {make(Op::Inc, "rax"), "48 FF C0"}, {make(Op::Inc, "rbx"), "48 FF C3"}, {make(Op::Inc, "r15"), "49 FF C7"},
      {make(Op::Dec, "rax"), "48 FF C8"}, {make(Op::Dec, "rbx"), "48 FF CB"}, {make(Op::Dec, "r15"), "49 FF CF"},
      {make(Op::Inc, "r8"), "49 FF C0"},  {make(Op::Neg, "rbp"), "48 F7 DD"}, {make(Op::Div, "r12"), "49 F7 F4"},
  });
  for (Op op : {Op::Mul, Op::Div, Op::Neg, Op::Not, Op::Inc, Op::Dec}) {
    for (std::string_view name : kRejected) {
      EXPECT_EQ(encode_alone(make(op, name)), "error: Unsupported register: " + std::string(name));
    }
  }
}

TEST(CodegenEncoders, ShiftsAndRotates) {
  check_all({
      {shift(Op::Rol, "rbx", 1), "48 C1 C3 01"},    {shift(Op::Rol, "r9", 3), "B1 03 49 D3 C1"},
      {shift(Op::Ror, "rbx", 1), "48 C1 CB 01"},    {shift(Op::Ror, "r9", 3), "B1 03 49 D3 C9"},
      {shift(Op::Rcl, "rbx", 1), "48 C1 D3 01"},    {shift(Op::Rcl, "r9", 3), "B1 03 49 D3 D1"},
      {shift(Op::Rcr, "rbx", 1), "48 C1 DB 01"},    {shift(Op::Rcr, "r9", 3), "B1 03 49 D3 D9"},
      {shift(Op::Shl, "rbx", 1), "48 C1 E3 01"},    {shift(Op::Shl, "r9", 3), "B1 03 49 D3 E1"},
      {shift(Op::Sal, "rbx", 1), "48 C1 E3 01"},    {shift(Op::Sal, "r9", 3), "B1 03 49 D3 E1"},
      {shift(Op::Shr, "rbx", 1), "48 C1 EB 01"},    {shift(Op::Shr, "r9", 3), "B1 03 49 D3 E9"},
      {shift(Op::Sar, "rbx", 1), "48 C1 FB 01"},    {shift(Op::Sar, "r9", 3), "B1 03 49 D3 F9"},
      {shift(Op::Shl, "rax", 1), "48 C1 E0 01"},    {shift(Op::Shl, "rax", 0), "B1 00 48 D3 E0"},
      {shift(Op::Shl, "rax", -1), "B1 FF 48 D3 E0"}, {shift(Op::Shl, "rax", -128), "B1 80 48 D3 E0"},
      {shift(Op::Shl, "rax", 127), "B1 7F 48 D3 E0"}, {shift(Op::Shl, "rax", 64), "B1 40 48 D3 E0"},
      {shift(Op::Shl, "rcx", 4), "B1 04 48 D3 E1"},  {shift(Op::Sar, "r9", 2), "B1 02 49 D3 F9"},
      {shift(Op::Rcr, "rbx", 1), "48 C1 DB 01"},    {shift(Op::Shr, "r15", 1), "49 C1 EF 01"},
  });
  for (Op op : {Op::Shl, Op::Sal, Op::Shr, Op::Sar, Op::Rol, Op::Ror, Op::Rcl, Op::Rcr}) {
    for (std::string_view name : kRejected) {
      EXPECT_EQ(encode_alone(shift(op, name, 1)), "error: Shift not supported on register") << name;
      EXPECT_EQ(encode_alone(shift(op, name, 2)), "error: Variable shift not supported") << name;
      EXPECT_EQ(encode_alone(shift(op, name, -1)), "error: Variable shift not supported") << name;
    }
  }
}

TEST(CodegenEncoders, NopDirectivesAndUnimplementedForms) {
  check_all({
      {make(Op::Nop), "90"},
      {make(Op::Global, "main"), ""},
      {make(Op::Text), ""},
      {make(Op::Data), ""},
      {make(Op::Bss), ""},
      {make(Op::Start), ""},
      {make(Op::MovLoad, "rax"), "error: Instruction not implemented for x86-64"},
      {make(Op::MovStore, {}, "rax"), "error: Instruction not implemented for x86-64"},
      {make(Op::Lea, "rax"), "error: Instruction not implemented for x86-64"},
      {shift(Op::Lsl, "x0", 1), "error: Instruction not implemented for x86-64"},
      {shift(Op::Lsr, "rax", 1), "error: Instruction not implemented for x86-64"},
      {shift(Op::Asr, "rax", 2), "error: Instruction not implemented for x86-64"},
  });
}

}  // namespace
}  // namespace quorvel::codegen::testing
