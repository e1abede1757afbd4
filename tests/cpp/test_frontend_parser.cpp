#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/parser.hpp"
#include "test_param_names.hpp"

namespace quorvel::frontend {
namespace {

using testing_names::quoted;
using Statements = std::vector<std::string_view>;

struct SplitCase {
  std::string_view text;
  Statements statements;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << quoted(c.text) << " ->";
  for (std::string_view statement : c.statements) *os << ' ' << quoted(statement);
}

class SplitStatements : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitStatements, CutsTrimsAndDrops) {
  EXPECT_EQ(split_statements(GetParam().text), GetParam().statements);
}

INSTANTIATE_TEST_SUITE_P(
    Frontend, SplitStatements,
    testing::Values(SplitCase{"", {}}, SplitCase{"\n\n \t\r\n", {}}, SplitCase{"a\nb\n", {"a", "b"}},
                    SplitCase{"a\r\nb", {"a", "b"}}, SplitCase{"a ;; b;;c", {"a", "b", "c"}},
                    SplitCase{"a;; ;; b", {"a", "b"}}, SplitCase{"x;;;y", {"x"}}, SplitCase{";;;;", {}},
                    SplitCase{"# c\n;c\n  #x\nnop ; tail # t", {"nop ; tail # t"}},
                    SplitCase{"nop ;; # note", {"nop"}},
                    SplitCase{"\xe3\x80\x80" "a\xc2\xa0\r", {"a"}},
                    SplitCase{"a\xe2\x80\xa8" "b", {"a\xe2\x80\xa8" "b"}},  // U+2028 is space, not a line end
                    SplitCase{"a;b;;c", {"a;b", "c"}}), testing_names::ByText());

// One expected record. `mem` and `base`/`disp` are checked for the memory forms.
struct Rec {
  Op op;
  std::string_view first = {};
  std::string_view second = {};
  std::uint64_t imm = 0;
  int count = 0;
  MemKind mem = MemKind::Base;
  std::string_view base = {};
  std::int64_t disp = 0;
};

bool has_memory(Op op) { return op == Op::MovLoad || op == Op::MovStore || op == Op::Lea; }

struct ProgramCase {
  std::string_view text;
  std::vector<Rec> records;
};

void PrintTo(const ProgramCase& c, std::ostream* os) { *os << quoted(c.text) << " -> records: " << c.records.size(); }

class ParseProgram : public testing::TestWithParam<ProgramCase> {};

TEST_P(ParseProgram, Records) {
  const std::string text(GetParam().text);
  const auto result = parse_program(text);
  ASSERT_TRUE(result.ok()) << text << ": " << result.error().message;
  const std::vector<Instruction>& got = result.value();
  const std::vector<Rec>& want = GetParam().records;
  ASSERT_EQ(got.size(), want.size()) << text;
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(text + " #" + std::to_string(i));
    EXPECT_EQ(got[i].op, want[i].op);
    EXPECT_EQ(got[i].first, want[i].first);
    EXPECT_EQ(got[i].second, want[i].second);
    EXPECT_EQ(got[i].imm, want[i].imm);
    EXPECT_EQ(got[i].count, want[i].count);
    if (has_memory(want[i].op)) {
      EXPECT_EQ(got[i].mem.kind, want[i].mem);
      EXPECT_EQ(got[i].mem.base, want[i].base);
      EXPECT_EQ(got[i].mem.disp, want[i].disp);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Moves, ParseProgram,
    testing::Values(
        ProgramCase{"mov rax, 5", {{Op::MovImm, "rax", "", 5}}},
        ProgramCase{"mov rax 5", {{Op::MovImm, "rax", "", 5}}},
        ProgramCase{"MOV RAX, 5", {{Op::MovImm, "RAX", "", 5}}},
        ProgramCase{"mov rax,,, +7", {{Op::MovImm, "rax", "", 7}}},
        ProgramCase{"mov rax, 18446744073709551615", {{Op::MovImm, "rax", "", UINT64_MAX}}},
        ProgramCase{"mov rax, 18446744073709551616", {{Op::MovReg, "rax", "18446744073709551616"}}},
        ProgramCase{"mov rax, 0x10", {{Op::MovReg, "rax", "0x10"}}},
        ProgramCase{"mov rax, -1", {{Op::MovReg, "rax", "-1"}}},
        ProgramCase{"mov rax, rbx,", {{Op::MovReg, "rax", "rbx,"}}},
        ProgramCase{"movq $5, %rax", {{Op::MovQ, "$5", "%rax"}}},
        ProgramCase{"movl %eax, %ebx", {{Op::MovL, "%eax", "%ebx"}}},
        ProgramCase{"movq rax, 5", {{Op::MovImm, "rax", "", 5}}},
        ProgramCase{"MovL eax, 6", {{Op::MovImm, "eax", "", 6}}},
        ProgramCase{"mov [rbx+8], rax", {{Op::MovStore, "[rbx+8]", "rax", 0, 0, MemKind::BaseDisp, "rbx", 8}}},
        ProgramCase{"movq [rbx], 5", {{Op::MovStore, "[rbx]", "5", 0, 0, MemKind::Base, "rbx"}}},
        ProgramCase{"mov rax, [rbp-8]", {{Op::MovLoad, "rax", "", 0, 0, MemKind::BaseDisp, "rbp", -8}}},
        ProgramCase{"movl eax, [0x10]", {{Op::MovLoad, "eax", "", 0, 0, MemKind::Absolute}}},
        ProgramCase{"lea rax, 8(%rbx)", {{Op::Lea, "rax", "", 0, 0, MemKind::BaseDisp, "rbx", 8}}},
        ProgramCase{"lea rax, [rip+0x10]", {{Op::Lea, "rax", "", 0, 0, MemKind::RipRelative, "", 16}}}), testing_names::ByText());

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, ParseProgram,
    testing::Values(
        ProgramCase{"add rax, 1", {{Op::AddImm, "rax", "", 1}}},
        ProgramCase{"add rax, rbx", {{Op::AddReg, "rax", "rbx"}}},
        ProgramCase{"add rax, 5, 6", {{Op::AddReg, "rax", "5,"}}},
        ProgramCase{"SUB rcx, 2 ;; sub rcx, rdx", {{Op::SubImm, "rcx", "", 2}, {Op::SubReg, "rcx", "rdx"}}},
        ProgramCase{"and a, 1 ;; and a, b", {{Op::AndImm, "a", "", 1}, {Op::AndReg, "a", "b"}}},
        ProgramCase{"or a, 1 ;; or a, b", {{Op::OrImm, "a", "", 1}, {Op::OrReg, "a", "b"}}},
        ProgramCase{"xor a,, 1 ;; xor a, b", {{Op::XorImm, "a", "", 1}, {Op::XorReg, "a", "b"}}},
        ProgramCase{"cmp a, 0 ;; cmp a, 0x5", {{Op::CmpImm, "a", "", 0}, {Op::CmpReg, "a", "0x5"}}},
        ProgramCase{"test a, 3 ;; test a, $3", {{Op::TestImm, "a", "", 3}, {Op::TestReg, "a", "$3"}}},
        ProgramCase{"imul rax", {{Op::Mul, "rax"}}},
        ProgramCase{"imul rax,", {{Op::Mul, "rax,"}}},
        ProgramCase{"imul rax, rbx, 3", {{Op::IMul, "rax", "rbx,"}}},
        ProgramCase{"imul rax, 5", {{Op::IMul, "rax", "5"}}},
        ProgramCase{"imul", {}},
        ProgramCase{"mul rbx ;; div rbx, ;; inc a ;; dec b ;; neg c ;; not d",
                    {{Op::Mul, "rbx"}, {Op::Div, "rbx,"}, {Op::Inc, "a"}, {Op::Dec, "b"}, {Op::Neg, "c"},
                     {Op::Not, "d"}}},
        ProgramCase{"push rax, ;; pop rbx extra", {{Op::Push, "rax,"}, {Op::Pop, "rbx"}}},
        ProgramCase{"push ;; pop ;; mul ;; div ;; inc ;; dec ;; neg ;; not", {}},
        ProgramCase{"shl rax, 64", {{Op::Shl, "rax", "", 0, 64}}},
        ProgramCase{"shl rax, -1", {{Op::Shl, "rax", "", 0, -1}}},
        ProgramCase{"sal a, +127 ;; shr a, -128 ;; sar a, 0",
                    {{Op::Sal, "a", "", 0, 127}, {Op::Shr, "a", "", 0, -128}, {Op::Sar, "a", "", 0, 0}}},
        ProgramCase{"lsl x0, 1 ;; lsr x0, 2 ;; asr x0, 3",
                    {{Op::Lsl, "x0", "", 0, 1}, {Op::Lsr, "x0", "", 0, 2}, {Op::Asr, "x0", "", 0, 3}}},
        ProgramCase{"rol a,, 1 ;; ror a, 2 ;; rcl a, 3 ;; rcr a, 4",
                    {{Op::Rol, "a", "", 0, 1}, {Op::Ror, "a", "", 0, 2}, {Op::Rcl, "a", "", 0, 3},
                     {Op::Rcr, "a", "", 0, 4}}}), testing_names::ByText());

INSTANTIATE_TEST_SUITE_P(
    Branches, ParseProgram,
    testing::Values(
        ProgramCase{"jmp L ;; je L ;; jz L ;; jne L ;; jnz L ;; jg L ;; jge L ;; jl L ;; jle L",
                    {{Op::Jmp, "L"}, {Op::Je, "L"}, {Op::Je, "L"}, {Op::Jne, "L"}, {Op::Jne, "L"},
                     {Op::Jg, "L"}, {Op::Jge, "L"}, {Op::Jl, "L"}, {Op::Jle, "L"}}},
        ProgramCase{"ja L ;; jae L ;; jb L ;; jbe L ;; call L ;; bl L",
                    {{Op::Ja, "L"}, {Op::Jae, "L"}, {Op::Jb, "L"}, {Op::Jbe, "L"}, {Op::Call, "L"}, {Op::Bl, "L"}}},
        ProgramCase{"b L ;; beq L ;; bne L ;; bcs L ;; bhs L ;; bcc L ;; blo L ;; bmi L ;; bpl L",
                    {{Op::B, "L"}, {Op::Beq, "L"}, {Op::Bne, "L"}, {Op::Bcs, "L"}, {Op::Bcs, "L"},
                     {Op::Bcc, "L"}, {Op::Bcc, "L"}, {Op::Bmi, "L"}, {Op::Bpl, "L"}}},
        ProgramCase{"bvs L ;; bvc L ;; bhi L ;; bls L ;; bge L ;; blt L ;; bgt L ;; ble L ;; bal L",
                    {{Op::Bvs, "L"}, {Op::Bvc, "L"}, {Op::Bhi, "L"}, {Op::Bls, "L"}, {Op::Bge, "L"},
                     {Op::Blt, "L"}, {Op::Bgt, "L"}, {Op::Ble, "L"}, {Op::Bal, "L"}}},
        ProgramCase{"JNZ Loop, x", {{Op::Jne, "Loop,"}}},
        ProgramCase{"jmp ;; b ;; call ;; bal", {}},
        ProgramCase{"nop ; a ;; b", {{Op::Nop}}},
        ProgramCase{"ret 8 ;; nop nop ;; RET", {{Op::Ret}, {Op::Nop}, {Op::Ret}}}), testing_names::ByText());

INSTANTIATE_TEST_SUITE_P(
    LabelsAndDirectives, ParseProgram,
    testing::Values(
        ProgramCase{"loop:", {{Op::Label, "loop"}}}, ProgramCase{"loop: ; start", {{Op::Label, "loop"}}},
        ProgramCase{"my label:", {{Op::Label, "my label"}}}, ProgramCase{"x:::", {{Op::Label, "x"}}},
        ProgramCase{":", {{Op::Label, ""}}}, ProgramCase{"_start:", {{Op::Label, "_start"}}},
        ProgramCase{"_start", {{Op::Start}}},
        ProgramCase{".text\n.data\n.bss", {{Op::Text}, {Op::Data}, {Op::Bss}}},
        ProgramCase{".global main", {{Op::Global, "main"}}},
        ProgramCase{".global   main ; entry", {{Op::Global, "main"}}},
        ProgramCase{".L1:\n.globl main\n.section .text\n.global\tmain\n.TEXT\n.text x", {}},
        ProgramCase{"mov rax, 1 # one", {{Op::MovImm, "rax", "", 1}}},
        ProgramCase{"nop ;; # note", {{Op::Nop}}},
        ProgramCase{"mov\xc2\xa0rax,\xe3\x80\x80" "5", {{Op::MovImm, "rax", "", 5}}},  // NBSP, U+3000
        ProgramCase{"", {}}, ProgramCase{"\n\n; only\n# comments\n", {}}), testing_names::ByText());

struct ErrorCase {
  std::string_view text;
  std::string_view message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << quoted(c.text) << " -> " << quoted(c.message); }

class ParseProgramError : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseProgramError, FirstMessage) {
  const auto result = parse_program(GetParam().text);
  ASSERT_FALSE(result.ok()) << GetParam().text;
  EXPECT_EQ(result.error().kind, ErrorKind::Value);
  EXPECT_EQ(result.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Frontend, ParseProgramError,
    testing::Values(
        ErrorCase{"mov rax,5", "Line 1: mov requires 2 operands"},
        ErrorCase{"MOVQ rax", "Line 1: movq requires 2 operands"},
        ErrorCase{"movl", "Line 1: movl requires 2 operands"},
        ErrorCase{"add rax", "Line 1: add requires 2 operands"},
        ErrorCase{"SUB rax", "Line 1: sub requires 2 operands"},
        ErrorCase{"and a", "Line 1: and requires 2 operands"}, ErrorCase{"or a", "Line 1: or requires 2 operands"},
        ErrorCase{"xor a", "Line 1: xor requires 2 operands"}, ErrorCase{"cmp", "Line 1: cmp requires 2 operands"},
        ErrorCase{"test a", "Line 1: test requires 2 operands"},
        ErrorCase{"lea rax", "Line 1: lea requires 2 operands"},
        ErrorCase{"shl rax", "Line 1: shift requires count"}, ErrorCase{"sal", "Line 1: shift requires count"},
        ErrorCase{"shr a", "Line 1: shr requires count"}, ErrorCase{"sar a", "Line 1: sar requires count"},
        ErrorCase{"lsl a", "Line 1: lsl requires count"}, ErrorCase{"lsr a", "Line 1: lsr requires count"},
        ErrorCase{"asr a", "Line 1: asr requires count"}, ErrorCase{"rol a", "Line 1: rol requires count"},
        ErrorCase{"ror rax", "Line 1: ror requires count"}, ErrorCase{"rcl a", "Line 1: rcl requires count"},
        ErrorCase{"rcr a", "Line 1: rcr requires count"},
        ErrorCase{"shl rax, 200", "Invalid shift count"}, ErrorCase{"shl rax, cl", "Invalid shift count"},
        ErrorCase{"asr rax, 128", "Invalid shift count"}, ErrorCase{"sar rax, -129", "Invalid shift count"},
        ErrorCase{"rol rax, 128", "Invalid rotate count"}, ErrorCase{"rcr rax, 0x1", "Invalid rotate count"},
        ErrorCase{"mov [rbx + 8], rax", "Invalid memory address format: [rbx"},
        ErrorCase{"mov rax, [rbx+foo]", "Could not parse memory address: [rbx+foo]"},
        ErrorCase{"movq [rax+rbx*9x], 1", "Invalid scale: 9x"},
        ErrorCase{"lea rax, rbx", "Invalid memory address format: rbx"},
        ErrorCase{"lea rax, -8(%rbp)", "Invalid number: -8"},
        ErrorCase{"loop: inc rax", "Line 1: Unknown instruction: loop:"},
        ErrorCase{"_START", "Line 1: Unknown instruction: _start"},
        ErrorCase{"pushq rax", "Line 1: Unknown instruction: pushq"},
        ErrorCase{"addq $1, %rax", "Line 1: Unknown instruction: addq"},
        ErrorCase{"SYSCALL", "Line 1: Unknown instruction: syscall"},
        ErrorCase{"VeryLongMnemonicIndeed x", "Line 1: Unknown instruction: verylongmnemonicindeed"},
        ErrorCase{"MOV\xc4\xb0 x", "Line 1: Unknown instruction: movi\xcc\x87"},
        ErrorCase{"\xce\x9d\xce\x9f\xce\xa0\xce\xa3 x", "Line 1: Unknown instruction: \xce\xbd\xce\xbf\xcf\x80\xcf\x82"},
        ErrorCase{"mov\xe2\x80\x8brax, 5", "Line 1: Unknown instruction: mov\xe2\x80\x8brax,"},  // U+200B joins
        ErrorCase{"\xff\xfe x", "Line 1: Unknown instruction: \xff\xfe"},
        // statement numbering skips dropped pieces and counts everything kept
        ErrorCase{"; c\n\nfoo", "Line 1: Unknown instruction: foo"},
        ErrorCase{"mov rax, 1 ;; done", "Line 2: Unknown instruction: done"},
        ErrorCase{"nop ; a ;; c", "Line 2: Unknown instruction: c"},  // ";;" is cut before comments
        ErrorCase{"nop\r\n\r\n# x\n  ; y\n.ignored\njmp\nlabel:\nbad", "Line 5: Unknown instruction: bad"},
        ErrorCase{"nop ;; ;x ;; #y ;;; z\nbad", "Line 2: Unknown instruction: bad"},
        ErrorCase{"nop\nfirst\nsecond", "Line 2: Unknown instruction: first"},
        ErrorCase{"nop\nnop\nnop\nnop\nnop\nnop\nnop\nnop\nnop\nshl a", "Line 10: shift requires count"}), testing_names::ByText());

TEST(ParseProgram, OperandsAreViewsIntoTheText) {
  const std::string text = "mov rax, rbx\nmov [rcx+8], rdx\nloop:\njmp loop\n";
  const auto result = parse_program(text);
  ASSERT_TRUE(result.ok());
  const auto inside = [&](std::string_view view) {
    return view.data() >= text.data() && view.data() + view.size() <= text.data() + text.size();
  };
  for (const Instruction& instruction : result.value()) {
    EXPECT_TRUE(inside(instruction.first)) << instruction.first;
    if (!instruction.second.empty()) {
      EXPECT_TRUE(inside(instruction.second)) << instruction.second;
    }
  }
  EXPECT_TRUE(inside(result.value()[1].mem.base));
}

TEST(ParseProgram, LongProgramKeepsOrderAndNumbering) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "add rax, " + std::to_string(i) + " ;; label" + std::to_string(i) + ":\n";
  const auto result = parse_program(text);
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(result.value().size(), 10000u);
  EXPECT_EQ(result.value()[9998].imm, 4999u);
  EXPECT_EQ(result.value()[9999].first, "label4999");

  const auto failed = parse_program(text + "nop\noops\n");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message, "Line 10002: Unknown instruction: oops");
}

TEST(ParseProgram, RecordsAndFailuresKnowTheirStatement) {
  const std::string_view text = "nop ; first\n# dropped\n\n.L1:\n  jmp  x ;; x:\nshl rax, cl ; bad";
  auto ok = parse_program(text.substr(0, text.find("shl")));
  ASSERT_TRUE(ok.ok());
  std::vector<std::uint32_t> numbers;
  for (const Instruction& instruction : ok.value()) numbers.push_back(instruction.statement);
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{1, 3, 4}));

  auto failed = parse_program(text);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message, "Invalid shift count");
  EXPECT_EQ(failed.error().statement, 5u);
  EXPECT_EQ(statement_code(text, 5), "shl rax, cl");
  EXPECT_EQ(statement_code(text, 1), "nop");
  EXPECT_EQ(statement_code(text, 3), "jmp  x");
  EXPECT_EQ(statement_code(text, 6), "");
}

}  // namespace
}  // namespace quorvel::frontend
