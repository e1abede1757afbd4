// The run guard: results, faults and their reasons, signals it must leave
// alone, handlers put in front of it, nested runs, the code stack, and
// single-stepping.

// POSIX only (signals, rlimit and pthreads; test_runtime_guard_windows.cpp covers Windows).
#ifndef _WIN32

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <csetjmp>
#include <string>
#include <thread>

#include "codegen/kept_code.hpp"
#include "runtime/code_stack.hpp"
#include "runtime/guarded_run.hpp"

namespace quorvel::runtime {
namespace {

struct Program {
  codegen::KeptCode code;
  explicit Program(std::string_view text, registers::RegisterFile registers = {}) {
    EXPECT_TRUE(code.update(text, 1, registers).ok()) << text;
  }
};

const CodeStack& stack() {
  static CodeStack shared = CodeStack::create().value();
  return shared;
}

RunOutcome run(const Program& program, GuardNeeds needs = {}) {
  GuardedRun guarded(needs);
  return guarded.run(program.code.entry(), program.code.length(), stack());
}

TEST(Guard, CompletedRunsReturnRax) {
  registers::RegisterFile registers;
  registers.x86[registers::kRax] = 40;
  Program program("add rax, 2", registers);
  RunOutcome outcome = run(program, {false, false, false, false});
  EXPECT_EQ(outcome.status, RunStatus::Completed);
  EXPECT_EQ(outcome.rax, 42u);
}

struct FaultCase {
  std::string_view name;
  std::string_view text;
  std::uint64_t rax, rdx;
  std::string_view message;
};

class Fault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Fault, ComesBackWithItsReasonAndOffset) {
  registers::RegisterFile registers;
  registers.x86[registers::kRax] = GetParam().rax;
  registers.x86[registers::kRdx] = GetParam().rdx;
  registers.x86[registers::kRbx] = 2;
  Program program(GetParam().text, registers);
  RunOutcome outcome = run(program);
  EXPECT_EQ(outcome.status, RunStatus::Faulted);
  EXPECT_EQ(outcome.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, Fault,
    ::testing::Values(
        FaultCase{"DivideByZero", "mov rcx, 0\ndiv rcx", 7, 0,
                  "Execution fault: SIGFPE (integer divide by zero) at code offset 0x99"},
        FaultCase{"DivisionOverflow", "div rbx", 10, 5,
                  "Execution fault: SIGFPE (integer division overflow) at code offset 0x8f"},
        FaultCase{"DivisionOverflowByAnExtendedRegister", "mov r9, 1\ndiv r9", 0, 1,
                  "Execution fault: SIGFPE (integer division overflow) at code offset 0x99"},
        FaultCase{"ReturnToAnUnmappedAddress", "mov rbp, 16", 0, 0,
                  "Execution fault: SIGSEGV (address not mapped: 0x10) at code offset 0xa5"}),
    [](const ::testing::TestParamInfo<FaultCase>& row) { return std::string(row.param.name); });

TEST(Guard, TheFaultOffsetIsWhereTheInstructionStarts) {
  Program program("nop\nmov rcx, 0\ndiv rcx");
  RunOutcome outcome = run(program);
  ASSERT_TRUE(outcome.fault_offset.has_value());
  EXPECT_EQ(*outcome.fault_offset, 154u);
  EXPECT_EQ(program.code.statement_at(*outcome.fault_offset, "nop\nmov rcx, 0\ndiv rcx"), 3u);
}

TEST(Guard, DeepButBalancedStacksRunAsOnAThreadStack) {
  struct rlimit limit {};
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &limit), 0);
  const std::size_t expected = limit.rlim_cur == RLIM_INFINITY ? 8u << 20 : limit.rlim_cur;
  EXPECT_EQ(code_stack_size(), expected);
  Program pushes("mov rcx, 140000\np:\npush rax\ndec rcx\njne p\nmov rcx, 140000\nq:\npop rax\ndec rcx\njne q");
  EXPECT_EQ(run(pushes).status, RunStatus::Completed);
  Program calls("mov rcx, 140000\ncall f\njmp done\nf:\ndec rcx\nje done\ncall f\ndone:\nmov rax, 7");
  RunOutcome outcome = run(calls);
  EXPECT_EQ(outcome.status, RunStatus::Completed);
  EXPECT_EQ(outcome.rax, 7u);
}

// A handler that leaves by jumping back into the test, so a guard that fails
// to stay in front makes the test fail instead of looping forever.
sigjmp_buf escape;
volatile sig_atomic_t foreign_calls = 0;
volatile sig_atomic_t foreign_code = 0;
void foreign_handler(int, siginfo_t* info, void*) {
  foreign_calls = foreign_calls + 1;
  foreign_code = info->si_code;
  siglongjmp(escape, 1);
}

struct sigaction install(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  struct sigaction old {};
  sigaction(signal, &action, &old);
  return old;
}

TEST(Guard, AHandlerInstalledAfterTheFirstRunIsPutBehindTheGuard) {
  Program divide("mov rcx, 0\ndiv rcx");
  ASSERT_EQ(run(divide).status, RunStatus::Faulted);
  const struct sigaction saved = install(SIGFPE, foreign_handler);
  foreign_calls = 0;
  RunOutcome outcome;
  if (sigsetjmp(escape, 1) == 0) outcome = run(divide);
  EXPECT_EQ(foreign_calls, 0);
  EXPECT_EQ(outcome.status, RunStatus::Faulted);
  // Outside a run the signal goes on to that handler.
  if (sigsetjmp(escape, 1) == 0) raise(SIGFPE);
  EXPECT_EQ(foreign_calls, 1);
  sigaction(SIGFPE, &saved, nullptr);
}

void count_foreign(int, siginfo_t* info, void*) {
  foreign_calls = foreign_calls + 1;
  foreign_code = info->si_code;
}

TEST(Guard, ASignalSomeoneSendsIsNotACodeFault) {
  Program warm("push rax");
  run(warm);
  const struct sigaction saved = install(SIGSEGV, count_foreign);
  run(warm);  // the guard goes in front of the new handler
  foreign_calls = 0;
  // Long enough for the signal to arrive while it runs, short enough to finish.
  Program loop("mov rcx, 1000000000\nl:\ndec rcx\njne l\npush rax\npop rax");
  const pthread_t runner = pthread_self();
  std::thread sender([&] {
    usleep(20 * 1000);
    pthread_kill(runner, SIGSEGV);
  });
  RunOutcome outcome = run(loop);
  sender.join();
  EXPECT_EQ(foreign_calls, 1);
  EXPECT_EQ(foreign_code, SI_TKILL);
  EXPECT_EQ(outcome.status, RunStatus::Completed);
  sigaction(SIGSEGV, &saved, nullptr);
}

volatile sig_atomic_t alarms = 0;
void count_alarm(int, siginfo_t*, void*) { alarms = alarms + 1; }

TEST(Guard, ANestedRunLeavesTheOuterRunArmed) {
  const struct sigaction saved = install(SIGALRM, count_alarm);
  Program inner("nop");
  Program outer("mov rcx, 4000000000\nl:\ndec rcx\njne l");
  RunOutcome outcome;
  {
    GuardedRun outer_run({});
    {
      // What a host signal handler run between arming and running may do.
      GuardedRun inner_run({});
      EXPECT_EQ(inner_run.run(inner.code.entry(), inner.code.length(), stack()).status, RunStatus::Completed);
    }
    alarms = 0;
    raise(SIGALRM);
    EXPECT_EQ(alarms, 1);
    outcome = outer_run.run(outer.code.entry(), outer.code.length(), stack());
  }
  EXPECT_EQ(outcome.status, RunStatus::Interrupted);
  EXPECT_EQ(outcome.message, "Execution interrupted by signal SIGALRM");
  sigaction(SIGALRM, &saved, nullptr);
}

// A resumed run of a whole function, from its first byte.
struct Resumed {
  MachineState state;
  std::vector<std::uint8_t> marks;
  Resumption resumption;
  explicit Resumed(const Program& program) : marks(program.code.length(), 0) {
    state = initial_state(program.code.entry(), stack());
    resumption.state = &state;
    resumption.stack = &stack();
    resumption.code = program.code.entry();
    resumption.length = program.code.length();
    resumption.marks = marks.data();
    resumption.exit_offset = program.code.length() - 14;
    resumption.program_rsp = state.gpr[kRsp] - 6 * 8;
  }
  RunOutcome go() {
    GuardedRun guarded({});
    return guarded.resume(resumption);
  }
};

TEST(Resume, SteppingRecordsEachStatementOnceThenStopsAtTheEpilogue) {
  // 1 mov rcx (10 bytes), 2 label, 3 dec, 4 jne, 5 shl by 2 (two instructions), 6 push
  Program program("mov rcx, 2\nl:\ndec rcx\njne l\nshl rax, 2\npush rcx");
  Resumed run(program);
  for (std::size_t offset : {143, 153, 156, 164, 167}) run.marks[offset] = kStepPoint;
  StepRecord records[16];
  run.resumption.stepping = true;
  run.resumption.step_budget = 16;
  run.resumption.records = records;
  RunOutcome outcome = run.go();
  ASSERT_EQ(outcome.status, RunStatus::AtExit);
  ASSERT_EQ(run.resumption.steps_taken, 7u);
  const std::uint32_t offsets[] = {143, 153, 156, 153, 156, 164, 167};
  const std::uint64_t rcx[] = {2, 1, 1, 0, 0, 2, 2};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(records[i].offset, offsets[i]) << i;
    EXPECT_EQ(records[i].registers[2], rcx[i]) << i;
  }
  EXPECT_EQ(records[4].rflags & 0x40, 0x40u);  // ZF after the last dec
  EXPECT_EQ(records[6].rsp, run.resumption.program_rsp - 8);
  EXPECT_EQ(records[6].stack_top, 2u);
  EXPECT_EQ(run.state.rip, reinterpret_cast<std::uint64_t>(program.code.entry()) + program.code.length() - 14);
  // The rest runs free and returns through the host's trampoline.
  run.resumption.stepping = false;
  run.resumption.records = nullptr;
  outcome = run.go();
  EXPECT_EQ(outcome.status, RunStatus::Completed);
}

TEST(Resume, StopsAfterItsBudgetAndGoesOnFromThere) {
  registers::RegisterFile registers;
  registers.x86[registers::kRax] = 1;
  Program program("add rax, rax\nadd rax, rax\nadd rax, rax", registers);
  Resumed run(program);
  for (std::size_t offset : {143, 146, 149}) run.marks[offset] = kStepPoint;
  run.resumption.stepping = true;
  run.resumption.step_budget = 2;
  ASSERT_EQ(run.go().status, RunStatus::Paused);
  EXPECT_EQ(run.state.gpr[kRax], 4u);
  EXPECT_EQ(run.state.rip - reinterpret_cast<std::uint64_t>(program.code.entry()), 149u);
  run.resumption.stepping = false;
  RunOutcome outcome = run.go();
  ASSERT_EQ(outcome.status, RunStatus::Completed);
  EXPECT_EQ(outcome.rax, 8u);
}

volatile sig_atomic_t resume_alarms = 0;
void count_resume_alarm(int) { resume_alarms = resume_alarms + 1; }

TEST(Resume, AnInterruptKeepsWhereTheCodeWasAndItGoesOnFromThere) {
  struct sigaction counting {}, saved {};
  counting.sa_handler = count_resume_alarm;
  sigemptyset(&counting.sa_mask);
  sigaction(SIGALRM, &counting, &saved);
  Program program("mov rcx, 3000000000\nl:\ndec rcx\njne l\nmov rax, 77");
  Resumed run(program);
  resume_alarms = 0;
  itimerval once{{0, 0}, {0, 20000}};
  setitimer(ITIMER_REAL, &once, nullptr);
  RunOutcome outcome = run.go();
  ASSERT_EQ(outcome.status, RunStatus::Interrupted);
  EXPECT_EQ(resume_alarms, 1);
  const std::uint64_t offset = run.state.rip - reinterpret_cast<std::uint64_t>(program.code.entry());
  EXPECT_TRUE(offset == 153 || offset == 156) << offset;
  EXPECT_LT(run.state.gpr[kRcx], 3000000000u);
  EXPECT_GT(run.state.gpr[kRcx], 0u);
  run.state.gpr[kRcx] = 1;  // finish quickly: what the code left is what goes on
  outcome = run.go();
  ASSERT_EQ(outcome.status, RunStatus::Completed);
  EXPECT_EQ(outcome.rax, 77u);
  sigaction(SIGALRM, &saved, nullptr);
}

TEST(Resume, AFaultKeepsTheRegistersAtTheFaultingInstruction) {
  Program program("mov rax, 7\nmov rcx, 0\ndiv rcx");
  Resumed run(program);
  RunOutcome outcome = run.go();
  ASSERT_EQ(outcome.status, RunStatus::Faulted);
  EXPECT_EQ(outcome.message, "Execution fault: SIGFPE (integer divide by zero) at code offset 0xa3");
  EXPECT_EQ(run.state.gpr[kRax], 7u);
  EXPECT_EQ(run.state.rip - reinterpret_cast<std::uint64_t>(program.code.entry()), 0xa3u);
}

}  // namespace
}  // namespace quorvel::runtime

#endif  // _WIN32
