// The stepper: where it starts, breakpoints, counted and full-speed runs,
// and what it says about a fault in the frame.

#include "lab/stepper.hpp"

#include <gtest/gtest.h>

#include <string>

#include "codegen/kept_code.hpp"
#include "codegen/program.hpp"

namespace quorvel::lab {
namespace {

using runtime::RunOutcome;

struct DirectRunner final : Runner {
  bool resume(runtime::Resumption& resumption, RunOutcome& outcome) override {
    runtime::GuardedRun run({});
    outcome = run.resume(resumption);
    return true;
  }
};

Stepper make(std::string_view text, registers::RegisterFile registers = {}) {
  Result<Stepper> made = Stepper::create(text, registers);
  EXPECT_TRUE(made.ok()) << text;
  return std::move(made).value();
}

std::uint64_t reg(const Stepper& stepper, runtime::Gpr number) { return stepper.state().gpr[number]; }

TEST(Stepper, StartsWhereTheFramesOwnPrologueAndLoadsLeaveTheCode) {
  registers::RegisterFile registers;
  for (std::size_t slot = 0; slot < 16; ++slot) registers.x86[slot] = 0x1000 + slot;
  const std::string_view text = "nop";
  Stepper stepper = make(text, registers);

  // The frame run natively, stopped before the first statement.
  codegen::KeptCode code;
  ASSERT_TRUE(code.update(text, 1, registers).ok());
  const runtime::CodeStack stack = runtime::CodeStack::create().value();
  runtime::MachineState native = runtime::initial_state(code.entry(), stack);
  std::vector<std::uint8_t> marks(code.length(), 0);
  marks[codegen::kBodyOffset] = runtime::kStopBefore;
  runtime::Resumption resumption;
  resumption.state = &native;
  resumption.stack = &stack;
  resumption.code = code.entry();
  resumption.length = code.length();
  resumption.marks = marks.data();
  resumption.exit_offset = code.length() - codegen::kEpilogueSize;
  resumption.stepping = true;
  runtime::GuardedRun run({});
  ASSERT_EQ(run.resume(resumption).status, runtime::RunStatus::Breakpoint);

  for (int number = 0; number < 16; ++number) {
    if (number == runtime::kRsp || number == runtime::kRbp) continue;
    EXPECT_EQ(reg(stepper, static_cast<runtime::Gpr>(number)), native.gpr[number]) << number;
  }
  EXPECT_EQ(reg(stepper, runtime::kRsp), stepper.program_rsp());
  EXPECT_EQ(reg(stepper, runtime::kRbp) - reg(stepper, runtime::kRsp), native.gpr[runtime::kRbp] - native.gpr[runtime::kRsp]);
  EXPECT_EQ(stepper.state().rflags, native.rflags);
  const auto* mine = reinterpret_cast<const std::uint64_t*>(stepper.program_rsp());
  const auto* theirs = reinterpret_cast<const std::uint64_t*>(native.gpr[runtime::kRsp]);
  EXPECT_TRUE(std::equal(mine, mine + Stepper::kFrameWords, theirs));
  EXPECT_EQ(stepper.statement(), 1u);
  EXPECT_EQ(stepper.stack_depth(), 0);
}

TEST(Stepper, ABreakpointStopsBeforeItsStatementEveryTimeRound) {
  // 1 mov, 2 label, 3 dec, 4 jne; a breakpoint on the label stands for dec.
  Stepper stepper = make("mov rcx, 3\nl:\ndec rcx\njne l\nmov rax, 9");
  DirectRunner runner;
  const std::uint32_t breakpoints[] = {2};
  for (std::uint64_t rcx : {3u, 2u, 1u}) {
    ASSERT_EQ(stepper.run(runner, std::nullopt, breakpoints), Pause::Breakpoint);
    EXPECT_EQ(stepper.statement(), 3u);
    EXPECT_EQ(reg(stepper, runtime::kRcx), rcx);
  }
  EXPECT_EQ(stepper.steps(), std::nullopt);
  ASSERT_EQ(stepper.run(runner, std::nullopt, breakpoints), Pause::Ended);
  EXPECT_TRUE(stepper.completed());
  EXPECT_EQ(stepper.rax(), 9u);
  EXPECT_EQ(reg(stepper, runtime::kRcx), 0u);  // as the program left it
}

TEST(Stepper, CountedRunsStopAfterTheirStepsAndCountThem) {
  Stepper stepper = make("mov rcx, 3\nl:\ndec rcx\njne l");
  DirectRunner runner;
  ASSERT_EQ(stepper.run(runner, 4, {}), Pause::StepLimit);
  EXPECT_EQ(stepper.steps(), 4u);
  EXPECT_EQ(reg(stepper, runtime::kRcx), 1u);
  runtime::StepRecord record;
  ASSERT_EQ(stepper.step(runner, record), Pause::Step);
  EXPECT_EQ(stepper.program()->statement_at(record.offset), 4u);
  EXPECT_EQ(stepper.run(runner, 100, {}), Pause::Ended);
  EXPECT_EQ(stepper.steps(), 7u);
}

struct EpilogueCase {
  std::string_view name;
  std::string_view text;
  std::string_view note;  // the start of it
};

class EpilogueFault : public ::testing::TestWithParam<EpilogueCase> {};

TEST_P(EpilogueFault, IsExplainedByWhatTheProgramDidToTheFrame) {
  for (bool stepping : {false, true}) {
    Stepper stepper = make(GetParam().text);
    DirectRunner runner;
    ASSERT_EQ(stepper.run(runner, stepping ? std::optional<std::uint64_t>(1000) : std::nullopt, {}), Pause::Ended);
    EXPECT_FALSE(stepper.completed());
    EXPECT_EQ(stepper.fault_statement(), 0u);
    EXPECT_TRUE(stepper.note().starts_with(GetParam().note)) << stepper.note();
  }
}

// A frame overwritten by pushes faults alike everywhere. A corrupted rbp
// and a few pops too many are only caught on POSIX: Windows cannot deliver
// an exception once rsp holds no stack, and keeps 32 bytes of shadow space
// above the return address for pops to read.
const EpilogueCase kEpilogueCases[] = {
#ifndef _WIN32
    {"RbpWritten", "mov rbp, 5",
     "in the epilogue, which restores rsp from rbp: rbp holds 0x5, not the frame's 0x"},
    {"MorePopsThanPushes", "pop rbx\npop rbx\npop rbx",
     "in the epilogue, which pops the caller's registers from the top of the stack: the program popped 3 more "
     "words than it pushed"},
#endif
    {"FrameOverwritten",
     "mov rax, 99\npop rcx\npop rcx\npop rcx\npop rcx\npop rcx\npop rcx\npop rcx\n"
     "push rax\npush rax\npush rax\npush rax\npush rax\npush rax\npush rax",
     "after the epilogue: the program popped past where its stack began and pushed over the frame the epilogue "
     "restores the caller from, so it returned to 0x63"}};

INSTANTIATE_TEST_SUITE_P(Stepper, EpilogueFault, ::testing::ValuesIn(kEpilogueCases),
                         [](const ::testing::TestParamInfo<EpilogueCase>& row) { return std::string(row.param.name); });

#ifndef _WIN32
TEST(Stepper, NamesTheStatementThatWroteRbp) {
  Stepper stepper = make("nop\nmov rbp, 5\nnop");
  DirectRunner runner;
  ASSERT_EQ(stepper.run(runner, std::nullopt, {}), Pause::Ended);
  EXPECT_TRUE(stepper.note().ends_with("; statement 2 (mov rbp, 5) writes rbp")) << stepper.note();
}
#endif

}  // namespace
}  // namespace quorvel::lab
