// The generated function as a whole: the frame, whole programs from source
// text, which failure wins, where each statement's bytes are, and what the
// code may need the run guard for.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "test_codegen_support.hpp"

namespace quorvel::codegen::testing {
namespace {

TEST(CodegenProgram, EmptyProgramIsTheFixedFrameWithTheLoadedValues) {
  registers::RegisterFile registers;
  for (unsigned slot = 0; slot < registers::kX86SlotCount; ++slot) {
    registers.x86[slot] = 0x1000000000000000u * (slot + 1) + slot;
  }
  Result<GeneratedCode> code = generate_code("");
  ASSERT_TRUE(code.ok());
  std::vector<std::uint8_t> bytes = code.value().bytes;
  ASSERT_EQ(bytes.size(), 157u);
  write_register_loads(bytes.data(), loaded_values(registers));
  // rax rbx rcx rdx rsi rdi r8 r9 r10 r12 r13 r14 r15; rsp, rbp, r11 are not loaded.
  EXPECT_EQ(hex(bytes),
            "55 48 89 E5 53 41 54 41 55 41 56 41 57 "
            "48 B8 00 00 00 00 00 00 00 10 48 BB 01 00 00 00 00 00 00 20 48 B9 02 00 00 00 00 00 00 30 "
            "48 BA 03 00 00 00 00 00 00 40 48 BE 04 00 00 00 00 00 00 50 48 BF 05 00 00 00 00 00 00 60 "
            "49 B8 08 00 00 00 00 00 00 90 49 B9 09 00 00 00 00 00 00 A0 49 BA 0A 00 00 00 00 00 00 B0 "
            "49 BC 0C 00 00 00 00 00 00 D0 49 BD 0D 00 00 00 00 00 00 E0 49 BE 0E 00 00 00 00 00 00 F0 "
            "49 BF 0F 00 00 00 00 00 00 00 "
            "41 5F 41 5E 41 5D 41 5C 5B 48 89 EC 5D C3");
}

struct Golden {
  std::string_view name;
  std::string_view text;
  std::string_view body;  // hex, or "error: <message>"
};

void PrintTo(const Golden& golden, std::ostream* out) { *out << golden.text; }

class Program : public ::testing::TestWithParam<Golden> {};

TEST_P(Program, Body) { EXPECT_EQ(body_hex(GetParam().text), GetParam().body); }

INSTANTIATE_TEST_SUITE_P(
    Codegen, Program,
    ::testing::Values(
        Golden{"Empty", "", ""},
        Golden{"CommentsAndBlankLines", "; c\n\n# d\n", ""},
        Golden{"AddImmediate", "add rax, 1", "48 05 01 00 00 00"},
        Golden{"TwoStatementsOnOneLine", "mov rax, 1 ;; add rax, 2",
               "48 B8 01 00 00 00 00 00 00 00 48 05 02 00 00 00"},
        Golden{"BackwardJump", "loop:\njmp loop", "E9 FB FF FF FF"},
        Golden{"ForwardJumpToTheNextStatement", "je done\ndone:", "0F 84 00 00 00 00"},
        Golden{"RetJumpsToTheEpilogue", "ret\nnop", "E9 01 00 00 00 90"},
        Golden{"CallForward", "call f\nf:\nnop", "E8 00 00 00 00 90"},
        Golden{"ShiftByCountLoadsCl", "shl rax, 3", "B1 03 48 D3 E0"},
        Golden{"DirectivesAndLabelsEmitNothing", ".text\n.global main\n.data\n.bss\n_start\nmain:\n.L1:", ""},
        Golden{"ParseFailure", "nop\nfoo", "error: Line 2: Unknown instruction: foo"},
        Golden{"EncodingFailure", "mov rsp, 1", "error: Unsupported mov imm register"},
        Golden{"UndefinedLabel", "jmp nowhere", "error: Undefined label: nowhere"},
        Golden{"JumpTargetsAreCaseSensitive", "loop:\njmp Loop", "error: Undefined label: Loop"},
        Golden{"NotImplemented", "lea rax, [rbx]", "error: Instruction not implemented for x86-64"},
        Golden{"DuplicateLabel", "a:\na:", "error: Duplicate label: a"}),
    [](const ::testing::TestParamInfo<Golden>& row) { return std::string(row.param.name); });

struct Failure {
  std::string_view name;
  std::string_view text;
  std::string_view message;
  std::uint32_t statement;
};

void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.text; }

class WinningFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(WinningFailure, IsReportedWithItsStatement) {
  Result<GeneratedCode> code = generate_code(GetParam().text);
  ASSERT_FALSE(code.ok());
  EXPECT_EQ(code.error().message, GetParam().message);
  EXPECT_EQ(code.error().statement, GetParam().statement);
  EXPECT_EQ(code.error().kind, ErrorKind::Value);
}

INSTANTIATE_TEST_SUITE_P(
    Codegen, WinningFailure,
    ::testing::Values(
        Failure{"ParseFailureAfterAnEncodingFailure", "push r11\nfoo", "Line 2: Unknown instruction: foo", 2},
        Failure{"EarliestEncodingFailure", "nop\npush r11\nmov rsp, 1", "Unsupported register: r11", 2},
        Failure{"UndefinedLabelBeforeAnEncodingFailure", "jmp x\npush r11", "Undefined label: x", 1},
        Failure{"EncodingFailureBeforeAnUndefinedLabel", "push r11\njmp x", "Unsupported register: r11", 1},
        Failure{"LabelDefinedAfterAFailureStillCounts", "jmp x\npush r11\nx:", "Unsupported register: r11", 2},
        Failure{"FirstUseOfTheEarliestUndefinedLabel", "nop\njmp b\njmp a\njmp b", "Undefined label: b", 2},
        Failure{"EncodingFailureWinsOverADuplicate", "a:\na:\npush r11", "Unsupported register: r11", 3},
        Failure{"DuplicateNamesItsSecondDefinition", "a:\nb:\nnop\nb:", "Duplicate label: b", 4},
        Failure{"FirstDefinedOfSeveralDuplicates", "a:\nb:\nb:\na:", "Duplicate label: a", 4},
        Failure{"DuplicateAfterComments", "x: ; one\n; skipped\nx:", "Duplicate label: x", 2}),
    [](const ::testing::TestParamInfo<Failure>& row) { return std::string(row.param.name); });

TEST(CodegenProgram, StatementOffsetsAndTheStatementAtAnOffset) {
  // 1 mov (10 bytes), 2 label, 3 add (6), 4 directive, 5 shl by 3 (5), 6 jmp (5)
  const std::string_view text = "mov rax, 1\nl:\nadd rax, 2\n.text\nshl rax, 3\njmp l\n";
  EXPECT_TRUE(generate_code(text).value().statement_offsets.empty());
  Result<GeneratedCode> code = generate_code(text, StatementOffsets::Record);
  ASSERT_TRUE(code.ok());
  const std::vector<std::uint32_t> expected = {143, 153, 153, 159, 159, 164};
  EXPECT_EQ(code.value().statement_offsets, expected);
  const std::size_t length = code.value().bytes.size();
  ASSERT_EQ(length, 143u + 26 + 14);
  const std::vector<std::uint32_t>& offsets = code.value().statement_offsets;
  EXPECT_EQ(statement_at(offsets, length, 0), 0u);
  EXPECT_EQ(statement_at(offsets, length, 142), 0u);
  EXPECT_EQ(statement_at(offsets, length, 143), 1u);
  EXPECT_EQ(statement_at(offsets, length, 152), 1u);
  EXPECT_EQ(statement_at(offsets, length, 153), 3u);
  EXPECT_EQ(statement_at(offsets, length, 161), 5u);
  EXPECT_EQ(statement_at(offsets, length, 168), 6u);
  EXPECT_EQ(statement_at(offsets, length, 169), 0u);
}

struct HazardCase {
  std::string_view name;
  std::string_view text;
  Hazards expected;
};

void PrintTo(const HazardCase& hazard, std::ostream* out) { *out << hazard.text; }

class HazardAnalysis : public ::testing::TestWithParam<HazardCase> {};

TEST_P(HazardAnalysis, KnowsWhatTheCodeCanDo) {
  Result<GeneratedCode> code = generate_code(GetParam().text);
  ASSERT_TRUE(code.ok());
  const Hazards& found = code.value().hazards;
  const Hazards& expected = GetParam().expected;
  EXPECT_EQ(found.divides, expected.divides);
  EXPECT_EQ(found.grows_stack, expected.grows_stack);
  EXPECT_EQ(found.corrupts_frame, expected.corrupts_frame);
  EXPECT_EQ(found.loops, expected.loops);
}

// Hazards{divides, grows_stack, corrupts_frame, loops}: a corrupted frame can
// return anywhere, so it can loop.
INSTANTIATE_TEST_SUITE_P(
    Codegen, HazardAnalysis,
    ::testing::Values(
        HazardCase{"Arithmetic", "mov rax, 1\nadd rax, rbx\nimul rax, rcx\nmul rbx\nshl rax, 3", {}},
        HazardCase{"ForwardJumps", "cmp rax, 1\nje a\njmp a\na:\nret", {}},
        HazardCase{"Division", "div rbx", {true, false, false, false}},
        HazardCase{"Push", "push rax", {false, true, false, false}},
        HazardCase{"Call", "call f\nf:", {false, true, false, false}},
        HazardCase{"PopsIntoTheSavedRegisters", "pop rax\npop rbx\npop rcx\npop rdx\npop rsi", {}},
        HazardCase{"PopsPastTheSavedRegisters", "pop rax\npush rax\npop rax\npop rax\npop rax\npop rax\npop rax",
                   {false, true, true, true}},
        HazardCase{"PopToRbp", "pop rbp", {false, false, true, true}},
        HazardCase{"WriteToRbp", "mov rbp, 16", {false, false, true, true}},
        HazardCase{"ArithmeticOnRbp", "add rbp, 8", {false, false, true, true}},
        HazardCase{"ReadingRbpIsHarmless", "mov rax, rbp\ncmp rbp, rax\ntest rbp, 1\nmul rbp", {}},
        HazardCase{"ALabelNamedRbp", "je rbp\nrbp:", {}},
        HazardCase{"BackwardJump", "l:\ndec rcx\njne l", {false, false, false, true}},
        HazardCase{"JumpToItself", "l:\njmp l", {false, false, false, true}},
        HazardCase{"RecursiveCall", "f:\ncall f", {false, true, false, true}}),
    [](const ::testing::TestParamInfo<HazardCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace quorvel::codegen::testing
