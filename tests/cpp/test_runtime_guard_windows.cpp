// The run guard on Windows: results, a fault of every class with its reason
// and offset, the host's preserved registers and stack bounds intact after
// all of them, the guard page at the bottom of the code stack, nested runs,
// single-stepping, and no handle or memory left behind by many runs.

#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "codegen/kept_code.hpp"
#include "platform/code_pages.hpp"
#include "runtime/code_stack.hpp"
#include "runtime/guarded_run.hpp"
#include "runtime/stack_bounds_windows.hpp"

// call_keeping_registers(function, argument, seen): loads marker values into
// every register a Windows caller expects preserved, calls
// function(argument), and stores what those registers hold afterwards into
// seen[0..9]: rsi rdi rbx rbp r12 r13 r14 r15, then the low halves of xmm6
// and xmm15. Compiled code would keep its own values in them; this way a
// register the guard fails to restore shows up as a changed marker.
extern "C" void call_keeping_registers(void (*function)(void*), void* argument, std::uint64_t* seen);
asm(R"(
    .text
    .globl call_keeping_registers
call_keeping_registers:
    pushq %rbx
    pushq %rbp
    pushq %rsi
    pushq %rdi
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $72, %rsp
    movdqu %xmm6, 32(%rsp)
    movdqu %xmm15, 48(%rsp)
    movq %r8, 64(%rsp)
    movabsq $0x5151515151515151, %rsi
    movabsq $0xD1D1D1D1D1D1D1D1, %rdi
    movabsq $0xB0B0B0B0B0B0B0B0, %rbx
    movabsq $0xB9B9B9B9B9B9B9B9, %rbp
    movabsq $0x1212121212121212, %r12
    movabsq $0x1313131313131313, %r13
    movabsq $0x1414141414141414, %r14
    movabsq $0x1515151515151515, %r15
    movabsq $0x6666666666666666, %rax
    movq %rax, %xmm6
    movabsq $0xF5F5F5F5F5F5F5F5, %rax
    movq %rax, %xmm15
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    movq 64(%rsp), %rax
    movq %rsi, 0(%rax)
    movq %rdi, 8(%rax)
    movq %rbx, 16(%rax)
    movq %rbp, 24(%rax)
    movq %r12, 32(%rax)
    movq %r13, 40(%rax)
    movq %r14, 48(%rax)
    movq %r15, 56(%rax)
    movq %xmm6, 64(%rax)
    movq %xmm15, 72(%rax)
    movdqu 32(%rsp), %xmm6
    movdqu 48(%rsp), %xmm15
    addq $72, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rdi
    popq %rsi
    popq %rbp
    popq %rbx
    retq
)");

namespace quorvel::runtime {
namespace {

constexpr std::uint64_t kMarkers[10] = {0x5151515151515151, 0xD1D1D1D1D1D1D1D1, 0xB0B0B0B0B0B0B0B0,
                                        0xB9B9B9B9B9B9B9B9, 0x1212121212121212, 0x1313131313131313,
                                        0x1414141414141414, 0x1515151515151515, 0x6666666666666666,
                                        0xF5F5F5F5F5F5F5F5};

const CodeStack& stack() {
  static CodeStack shared = CodeStack::create().value();
  return shared;
}

// Generated code, or raw machine code for what the generator never emits.
struct Program {
  codegen::KeptCode kept;
  platform::CodePages raw;
  const std::uint8_t* entry = nullptr;
  std::size_t length = 0;

  static Program generated(std::string_view text, registers::RegisterFile registers = {}) {
    Program program;
    EXPECT_TRUE(program.kept.update(text, 1, registers).ok()) << text;
    program.entry = program.kept.entry();
    program.length = program.kept.length();
    return program;
  }
  static Program machine_code(const std::vector<std::uint8_t>& bytes) {
    Program program;
    EXPECT_EQ(platform::CodePages::create(4096, program.raw), 0);
    EXPECT_EQ(program.raw.begin_write(), 0);
    std::memcpy(program.raw.writable(), bytes.data(), bytes.size());
    EXPECT_EQ(program.raw.end_write(), 0);
    program.entry = program.raw.executable();
    program.length = bytes.size();
    return program;
  }
};

RunOutcome run(const Program& program) {
  GuardedRun guarded({true, true});
  return guarded.run(program.entry, program.length, stack());
}

struct Guarded {
  const Program* program;
  RunOutcome outcome;
};

// Runs the program from inside call_keeping_registers; returns what the
// preserved registers held when the run was over.
std::vector<std::uint64_t> run_keeping_registers(Guarded& guarded) {
  std::uint64_t seen[10] = {};
  call_keeping_registers([](void* argument) {
    auto* target = static_cast<Guarded*>(argument);
    target->outcome = run(*target->program);
  }, &guarded, seen);
  return {std::begin(seen), std::end(seen)};
}

TEST(GuardWindows, CompletedRunsReturnRax) {
  registers::RegisterFile registers;
  registers.x86[registers::kRax] = 40;
  Program program = Program::generated("add rax, 2", registers);
  RunOutcome outcome = run(program);
  EXPECT_EQ(outcome.status, RunStatus::Completed);
  EXPECT_EQ(outcome.rax, 42u);
}

struct FaultCase {
  std::string_view name;
  std::string_view text;          // generated code, or
  std::vector<std::uint8_t> raw;  // machine code
  std::uint64_t rax, rbx, rdx;
  std::string_view message;
};

class FaultWindows : public ::testing::TestWithParam<FaultCase> {};

// Every fault comes back as its message, and the host finds its preserved
// registers and its own stack bounds as it left them.
TEST_P(FaultWindows, ComesBackWithItsReasonAndTheHostIntact) {
  const FaultCase& c = GetParam();
  Program program = [&] {
    if (!c.raw.empty()) return Program::machine_code(c.raw);
    registers::RegisterFile registers;
    registers.x86[registers::kRax] = c.rax;
    registers.x86[registers::kRbx] = c.rbx;
    registers.x86[registers::kRdx] = c.rdx;
    registers.x86[registers::kRsi] = 0xAAAA;
    registers.x86[registers::kRdi] = 0xBBBB;
    return Program::generated(c.text, registers);
  }();
  const StackBounds before = current_stack_bounds();
  Guarded guarded{&program, {}};
  const std::vector<std::uint64_t> seen = run_keeping_registers(guarded);
  EXPECT_EQ(guarded.outcome.status, RunStatus::Faulted);
  EXPECT_EQ(guarded.outcome.message, c.message);
  EXPECT_EQ(seen, std::vector<std::uint64_t>(std::begin(kMarkers), std::end(kMarkers)));
  const StackBounds after = current_stack_bounds();
  EXPECT_EQ(after.base, before.base);
  EXPECT_EQ(after.limit, before.limit);
  EXPECT_EQ(after.deallocation, before.deallocation);
  EXPECT_EQ(after.guaranteed, before.guaranteed);
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, FaultWindows,
    ::testing::Values(
        FaultCase{"DivideByZero", "mov rcx, 0\ndiv rcx", {}, 7, 2, 0,
                  "Execution fault: EXCEPTION_INT_DIVIDE_BY_ZERO (integer divide by zero) at code offset 0x99"},
        FaultCase{"DivisionOverflow", "div rbx", {}, 10, 2, 5,
                  "Execution fault: EXCEPTION_INT_OVERFLOW (integer division overflow) at code offset 0x8f"},
        FaultCase{"DivisionOverflowByAnExtendedRegister", "mov r9, 1\ndiv r9", {}, 0, 2, 1,
                  "Execution fault: EXCEPTION_INT_OVERFLOW (integer division overflow) at code offset 0x99"},
        // mov ebx, 0x10; mov rax, [rbx]
        FaultCase{"ReadingAnUnmappedAddress", "", {0xBB, 0x10, 0, 0, 0, 0x48, 0x8B, 0x03}, 0, 0, 0,
                  "Execution fault: EXCEPTION_ACCESS_VIOLATION (access violation reading 0x10) at code offset 0x5"},
        // mov ebx, 0x20; mov [rbx], rax
        FaultCase{"WritingAnUnmappedAddress", "", {0xBB, 0x20, 0, 0, 0, 0x48, 0x89, 0x03}, 0, 0, 0,
                  "Execution fault: EXCEPTION_ACCESS_VIOLATION (access violation writing 0x20) at code offset 0x5"},
        FaultCase{"PushingPastTheGuardPage", "l:\npush rax\njmp l", {}, 0, 0, 0,
                  "Execution fault: EXCEPTION_STACK_OVERFLOW (stack overflow) at code offset 0x8f"},
        // push rax; push rax; clobber rsi rdi rbx rbp r12 xmm6 xmm15; ud2
        FaultCase{"IllegalInstructionOnAnUnbalancedStack", "",
                  {0x50, 0x50, 0x31, 0xF6, 0x31, 0xFF, 0x31, 0xDB, 0x31, 0xED, 0x45, 0x31, 0xE4, 0x66, 0x0F, 0xEF,
                   0xF6, 0x66, 0x45, 0x0F, 0xEF, 0xFF, 0x0F, 0x0B},
                  0, 0, 0, "Execution fault: EXCEPTION_ILLEGAL_INSTRUCTION (illegal instruction) at code offset 0x16"},
        FaultCase{"PrivilegedInstruction", "", {0x90, 0xF4}, 0, 0, 0,
                  "Execution fault: EXCEPTION_PRIV_INSTRUCTION (privileged instruction) at code offset 0x1"},
        FaultCase{"Breakpoint", "", {0x90, 0x90, 0xCC}, 0, 0, 0,
                  "Execution fault: EXCEPTION_BREAKPOINT (breakpoint) at code offset 0x2"}),
    [](const ::testing::TestParamInfo<FaultCase>& row) { return std::string(row.param.name); });

TEST(GuardWindows, RunningNonExecutableMemoryIsAnExecuteViolation) {
  static std::uint8_t data[16] = {0xC3};
  const auto address = reinterpret_cast<std::uint64_t>(data);
  // mov rax, imm64; call rax
  std::vector<std::uint8_t> bytes = {0x48, 0xB8};
  for (int k = 0; k < 8; ++k) bytes.push_back(static_cast<std::uint8_t>(address >> (8 * k)));
  bytes.insert(bytes.end(), {0xFF, 0xD0});
  Program program = Program::machine_code(bytes);
  RunOutcome outcome = run(program);
  EXPECT_EQ(outcome.status, RunStatus::Faulted);
  char expected[120];
  std::snprintf(expected, sizeof expected, "Execution fault: EXCEPTION_ACCESS_VIOLATION (access violation executing 0x%llx)",
                static_cast<unsigned long long>(address));
  EXPECT_EQ(outcome.message, expected);
  EXPECT_FALSE(outcome.fault_offset.has_value());
}

// Code that returns normally after clobbering every preserved register and
// leaving pushes behind: the trampoline puts them all back.
TEST(GuardWindows, AnUnbalancedStackReturnsWithTheHostsRegisters) {
  registers::RegisterFile registers;
  registers.x86[registers::kRsi] = 0xAAAA;
  registers.x86[registers::kRdi] = 0xBBBB;
  registers.x86[registers::kRax] = 5;
  Program generated = Program::generated("push rax\npush rsi\npush rdi\nmov r12, 1\nmov rbx, 2", registers);
  // push rax; clobber rsi rdi rbx r12 r15 xmm6 xmm15; add rsp, 8; mov eax, 9; ret
  Program raw = Program::machine_code({0x50, 0x31, 0xF6, 0x31, 0xFF, 0x31, 0xDB, 0x45, 0x31, 0xE4, 0x45, 0x31, 0xFF,
                                       0x66, 0x0F, 0xEF, 0xF6, 0x66, 0x45, 0x0F, 0xEF, 0xFF, 0x48, 0x83, 0xC4, 0x08,
                                       0xB8, 0x09, 0, 0, 0, 0xC3});
  const std::uint64_t expected_rax[] = {5, 9};
  const Program* programs[] = {&generated, &raw};
  for (int i = 0; i < 2; ++i) {
    Guarded guarded{programs[i], {}};
    const std::vector<std::uint64_t> seen = run_keeping_registers(guarded);
    EXPECT_EQ(guarded.outcome.status, RunStatus::Completed) << i;
    EXPECT_EQ(guarded.outcome.rax, expected_rax[i]) << i;
    EXPECT_EQ(seen, std::vector<std::uint64_t>(std::begin(kMarkers), std::end(kMarkers))) << i;
  }
}

TEST(GuardWindows, TheFaultOffsetIsWhereTheInstructionStarts) {
  Program program = Program::generated("nop\nmov rcx, 0\ndiv rcx");
  RunOutcome outcome = run(program);
  ASSERT_TRUE(outcome.fault_offset.has_value());
  EXPECT_EQ(*outcome.fault_offset, 154u);
  EXPECT_EQ(program.kept.statement_at(*outcome.fault_offset, "nop\nmov rcx, 0\ndiv rcx"), 3u);
}

// The stack is what Windows gives this executable's threads; it holds deep
// balanced work, and after an overflow its guard page is back in place, so
// the next overflow is caught as well.
TEST(GuardWindows, TheCodeStackIsAThreadStackWithAGuardPage) {
  const auto* image = reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
  EXPECT_EQ(code_stack_size(), (nt->OptionalHeader.SizeOfStackReserve + 4095) / 4096 * 4096);

  const std::string depth = std::to_string(code_stack_size() / 8 - 64);
  Program pushes = Program::generated("mov rcx, " + depth + "\np:\npush rax\ndec rcx\njne p\nmov rcx, " + depth +
                                      "\nq:\npop rax\ndec rcx\njne q\nmov rax, 3");
  Program overflow = Program::generated("l:\npush rax\njmp l");
  for (int round = 0; round < 3; ++round) {
    RunOutcome deep = run(pushes);
    EXPECT_EQ(deep.status, RunStatus::Completed) << round;
    EXPECT_EQ(deep.rax, 3u) << round;
    RunOutcome overflowed = run(overflow);
    EXPECT_EQ(overflowed.message, "Execution fault: EXCEPTION_STACK_OVERFLOW (stack overflow) at code offset 0x8f")
        << round;
  }
  MEMORY_BASIC_INFORMATION guard{};
  const auto* bottom = static_cast<const std::uint8_t*>(stack().top()) - stack().size();
  ASSERT_NE(VirtualQuery(bottom - 1, &guard, sizeof guard), 0u);
  EXPECT_EQ(guard.State, static_cast<DWORD>(MEM_COMMIT));
  EXPECT_EQ(guard.Protect, static_cast<DWORD>(PAGE_READWRITE | PAGE_GUARD));
  MEMORY_BASIC_INFORMATION room{};
  ASSERT_NE(VirtualQuery(bottom - 4097, &room, sizeof room), 0u);
  EXPECT_EQ(room.Protect, static_cast<DWORD>(PAGE_READWRITE));
}

TEST(GuardWindows, ANestedRunLeavesTheOuterRunGuarded) {
  Program inner = Program::generated("nop");
  Program outer = Program::generated("mov rcx, 0\ndiv rcx");
  GuardedRun outer_run({true, true});
  {
    GuardedRun inner_run({true, true});
    EXPECT_EQ(inner_run.run(inner.entry, inner.length, stack()).status, RunStatus::Completed);
  }
  RunOutcome outcome = outer_run.run(outer.entry, outer.length, stack());
  EXPECT_EQ(outcome.status, RunStatus::Faulted);
  EXPECT_EQ(outcome.fault_offset, std::optional<std::size_t>(0x99));
}

// A resumed run of a whole function, from its first byte.
Resumption resumption_of(const Program& program, MachineState& state, std::vector<std::uint8_t>& marks) {
  marks.assign(program.length, 0);
  state = initial_state(program.entry, stack());
  Resumption resumption;
  resumption.state = &state;
  resumption.stack = &stack();
  resumption.code = program.entry;
  resumption.length = program.length;
  resumption.marks = marks.data();
  resumption.exit_offset = program.length - 14;
  resumption.program_rsp = state.gpr[kRsp] - 6 * 8;
  return resumption;
}

RunOutcome resume(Resumption& resumption) {
  GuardedRun guarded({true, true});
  return guarded.resume(resumption);
}

TEST(GuardWindows, SteppingRecordsEachStatementOnceThenStopsAtTheEpilogue) {
  // 1 mov rcx (10 bytes), 2 label, 3 dec, 4 jne, 5 shl by 2 (two instructions), 6 push
  Program program = Program::generated("mov rcx, 2\nl:\ndec rcx\njne l\nshl rax, 2\npush rcx");
  MachineState state;
  std::vector<std::uint8_t> marks;
  Resumption run = resumption_of(program, state, marks);
  for (std::size_t offset : {143, 153, 156, 164, 167}) marks[offset] = kStepPoint;
  StepRecord records[16];
  run.stepping = true;
  run.step_budget = 16;
  run.records = records;
  ASSERT_EQ(resume(run).status, RunStatus::AtExit);
  ASSERT_EQ(run.steps_taken, 7u);
  const std::uint32_t offsets[] = {143, 153, 156, 153, 156, 164, 167};
  const std::uint64_t rcx[] = {2, 1, 1, 0, 0, 2, 2};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(records[i].offset, offsets[i]) << i;
    EXPECT_EQ(records[i].registers[2], rcx[i]) << i;
    EXPECT_EQ(records[i].rflags & 0x100, 0u) << i;
  }
  EXPECT_EQ(records[4].rflags & 0x40, 0x40u);  // ZF after the last dec
  EXPECT_EQ(records[6].stack_top, 2u);
  run.stepping = false;
  run.records = nullptr;
  EXPECT_EQ(resume(run).status, RunStatus::Completed);
  // A run after a stepped one is not stepped.
  EXPECT_EQ(::quorvel::runtime::run(program).status, RunStatus::Completed);
}

TEST(GuardWindows, APlantedTrapStopsAFreeRunBeforeItsInstruction) {
  // mov rax, 5 (10 bytes) at 143, then a nop at 153 and mov rax, 6.
  Program generated = Program::generated("mov rax, 5\nnop\nmov rax, 6");
  std::vector<std::uint8_t> bytes(generated.entry, generated.entry + generated.length);
  bytes[153] = 0xCC;
  Program program = Program::machine_code(bytes);
  MachineState state;
  std::vector<std::uint8_t> marks;
  Resumption run = resumption_of(program, state, marks);
  marks[153] = kStopBefore;
  ASSERT_EQ(resume(run).status, RunStatus::Breakpoint);
  EXPECT_EQ(state.rip - reinterpret_cast<std::uint64_t>(program.entry), 153u);
  EXPECT_EQ(state.gpr[kRax], 5u);
  state.rip += 1;  // past the nop the trap stands for
  RunOutcome outcome = resume(run);
  ASSERT_EQ(outcome.status, RunStatus::Completed);
  EXPECT_EQ(outcome.rax, 6u);
}

// Handles of this process, from the system's handle table: Wine's
// GetProcessHandleCount always answers 0.
std::size_t handle_count() {
  struct Entry {
    PVOID object;
    ULONG_PTR process;
    ULONG_PTR handle;
    ULONG access;
    USHORT creator_back_trace;
    USHORT object_type;
    ULONG attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  // Asked for by number: mingw's SYSTEM_INFORMATION_CLASS stops before it.
  using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  static const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<std::uint8_t> buffer(1 << 20);
  ULONG needed = 0;
  while (query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                                  &needed) != 0) {
    if (buffer.size() > (1u << 28)) return 0;
    buffer.resize(buffer.size() * 2);
  }
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  std::size_t count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) count += table->entries[i].process == GetCurrentProcessId();
  return count;
}

// Committed memory of this process: every committed region, walked with
// VirtualQuery, and the system's own count.
struct Committed {
  std::size_t regions = 0;
  std::size_t pagefile = 0;
};
Committed committed() {
  Committed total;
  MEMORY_BASIC_INFORMATION region{};
  for (const std::uint8_t* address = nullptr;
       VirtualQuery(address, &region, sizeof region) != 0;
       address = static_cast<const std::uint8_t*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type != MEM_IMAGE) total.regions += region.RegionSize;
  }
  PROCESS_MEMORY_COUNTERS_EX counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
  total.pagefile = counters.PagefileUsage;
  return total;
}

TEST(GuardWindows, TenThousandRunsLeaveNoHandleOrMemoryBehind) {
  // The measures see one handle and one megabyte.
  const std::size_t handles_before_event = handle_count();
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(handle_count(), handles_before_event + 1);
  CloseHandle(event);
  const Committed before_block = committed();
  void* block = VirtualAlloc(nullptr, 1 << 20, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  std::memset(block, 1, 1 << 20);
  EXPECT_GE(committed().regions, before_block.regions + (1 << 20));
  EXPECT_GE(committed().pagefile, before_block.pagefile + (1 << 20));
  VirtualFree(block, 0, MEM_RELEASE);

  Program completes = Program::generated("push rax\npush rbx\nadd rax, 1");
  Program faults = Program::generated("mov rcx, 0\ndiv rcx");
  Program overflows = Program::generated("l:\npush rax\njmp l");
  for (int warm = 0; warm < 10; ++warm) {
    run(completes);
    run(faults);
    run(overflows);
  }
  const std::size_t handles = handle_count();
  const Committed memory = committed();
  for (int i = 0; i < 10000; ++i) {
    const Program& program = i % 100 == 99 ? overflows : i % 2 == 0 ? completes : faults;
    ASSERT_EQ(run(program).status, &program == &completes ? RunStatus::Completed : RunStatus::Faulted) << i;
  }
  EXPECT_EQ(handle_count(), handles);
  const Committed after = committed();
  constexpr std::size_t kSlack = 256 << 10;  // the heap may round differently
  EXPECT_LE(after.regions, memory.regions + kSlack);
  EXPECT_LE(after.pagefile, memory.pagefile + kSlack);
}

}  // namespace
}  // namespace quorvel::runtime
