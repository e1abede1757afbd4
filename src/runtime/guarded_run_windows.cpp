#include "runtime/guarded_run.hpp"

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/code_pages.hpp"
#include "platform/os_error.hpp"
#include "runtime/stack_bounds_windows.hpp"
#include "runtime/stepping.hpp"

namespace quorvel::runtime {
namespace {

// The trampoline. Its first entry, enter(code, stack_top, trace_flag) in
// the Windows x64 calling convention, saves the registers a Windows caller
// expects to keep (rbx, rbp, rdi, rsi, r12-r15, xmm6-xmm15) and rsp,
// switches to the code's stack, leaves the 32-byte shadow space a callee may
// use, sets the trap flag when asked and calls the code; then restores
// everything. The generated code clobbers rsi and rdi, which Windows callers
// preserve. Its second entry, resume(state), saves the host the same way and
// goes on with code stopped earlier: it loads every register from `state`
// and jumps with iretq, which sets rsp, rflags and rip at once, so with the
// trap flag in `state` the first trap comes after the code's first
// instruction. Code started this way returns through `landing` too.
//
// It is machine code rather than inline assembly so that every compiler
// builds this file the same way; it is copied into code pages on first use.
// The host rsp lives in `host_rsp`, whose address is patched in, outside both
// stacks: code that pops and pushes past its frame cannot corrupt the way
// back. A fault handler leaves the code by resuming the thread at `landing`.
#define QUORVEL_SAVE_HOST                                                   \
  0x55,                                            /* push rbp */           \
  0x53,                                            /* push rbx */           \
  0x57,                                            /* push rdi */           \
  0x56,                                            /* push rsi */           \
  0x41, 0x54,                                      /* push r12 */           \
  0x41, 0x55,                                      /* push r13 */           \
  0x41, 0x56,                                      /* push r14 */           \
  0x41, 0x57,                                      /* push r15 */           \
  0x48, 0x81, 0xEC, 0xA8, 0x00, 0x00, 0x00,        /* sub rsp, 168 */       \
  0x66, 0x0F, 0x7F, 0x34, 0x24,                    /* movdqa [rsp], xmm6 */ \
  0x66, 0x0F, 0x7F, 0x7C, 0x24, 0x10,              /* [rsp+16], xmm7 */     \
  0x66, 0x44, 0x0F, 0x7F, 0x44, 0x24, 0x20,        /* [rsp+32], xmm8 */     \
  0x66, 0x44, 0x0F, 0x7F, 0x4C, 0x24, 0x30,        /* [rsp+48], xmm9 */     \
  0x66, 0x44, 0x0F, 0x7F, 0x54, 0x24, 0x40,        /* [rsp+64], xmm10 */    \
  0x66, 0x44, 0x0F, 0x7F, 0x5C, 0x24, 0x50,        /* [rsp+80], xmm11 */    \
  0x66, 0x44, 0x0F, 0x7F, 0x64, 0x24, 0x60,        /* [rsp+96], xmm12 */    \
  0x66, 0x44, 0x0F, 0x7F, 0x6C, 0x24, 0x70,        /* [rsp+112], xmm13 */   \
  0x66, 0x44, 0x0F, 0x7F, 0xB4, 0x24, 0x80, 0, 0, 0, /* [rsp+128], xmm14 */ \
  0x66, 0x44, 0x0F, 0x7F, 0xBC, 0x24, 0x90, 0, 0, 0, /* [rsp+144], xmm15 */ \
  0x49, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0,              /* mov r11, &host_rsp */ \
  0x49, 0x89, 0x23                                 /* mov [r11], rsp */

constexpr std::uint8_t kTrampoline[] = {
    QUORVEL_SAVE_HOST,
    0x48, 0x89, 0xD4,                                // mov rsp, rdx
    0x48, 0x83, 0xEC, 0x20,                          // sub rsp, 32
    0x9C,                                            // pushfq
    0x4C, 0x09, 0x04, 0x24,                          // or [rsp], r8
    0x9D,                                            // popfq: a trap flag takes effect after the call
    0xFF, 0xD1,                                      // call rcx
    // landing:
    0x49, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0,              // mov r11, &host_rsp
    0x49, 0x8B, 0x23,                                // mov rsp, [r11]
    0x66, 0x0F, 0x6F, 0x34, 0x24,                    // movdqa xmm6, [rsp]
    0x66, 0x0F, 0x6F, 0x7C, 0x24, 0x10,              // movdqa xmm7, [rsp+16]
    0x66, 0x44, 0x0F, 0x6F, 0x44, 0x24, 0x20,        // movdqa xmm8, [rsp+32]
    0x66, 0x44, 0x0F, 0x6F, 0x4C, 0x24, 0x30,        // movdqa xmm9, [rsp+48]
    0x66, 0x44, 0x0F, 0x6F, 0x54, 0x24, 0x40,        // movdqa xmm10, [rsp+64]
    0x66, 0x44, 0x0F, 0x6F, 0x5C, 0x24, 0x50,        // movdqa xmm11, [rsp+80]
    0x66, 0x44, 0x0F, 0x6F, 0x64, 0x24, 0x60,        // movdqa xmm12, [rsp+96]
    0x66, 0x44, 0x0F, 0x6F, 0x6C, 0x24, 0x70,        // movdqa xmm13, [rsp+112]
    0x66, 0x44, 0x0F, 0x6F, 0xB4, 0x24, 0x80, 0, 0, 0,  // movdqa xmm14, [rsp+128]
    0x66, 0x44, 0x0F, 0x6F, 0xBC, 0x24, 0x90, 0, 0, 0,  // movdqa xmm15, [rsp+144]
    0x48, 0x81, 0xC4, 0xA8, 0x00, 0x00, 0x00,        // add rsp, 168
    0x41, 0x5F,                                      // pop r15
    0x41, 0x5E,                                      // pop r14
    0x41, 0x5D,                                      // pop r13
    0x41, 0x5C,                                      // pop r12
    0x5E,                                            // pop rsi
    0x5F,                                            // pop rdi
    0x5B,                                            // pop rbx
    0x5D,                                            // pop rbp
    0xC3,                                            // ret
    // resume(state), state in rcx:
    QUORVEL_SAVE_HOST,
    0x48, 0x8C, 0xD0,                                // mov rax, ss
    0x50,                                            // push rax
    0xFF, 0x71, 0x20,                                // push [rcx+32]: rsp
    0xFF, 0xB1, 0x88, 0x00, 0x00, 0x00,              // push [rcx+136]: rflags
    0x48, 0x8C, 0xC8,                                // mov rax, cs
    0x50,                                            // push rax
    0xFF, 0xB1, 0x80, 0x00, 0x00, 0x00,              // push [rcx+128]: rip
    0x48, 0x8B, 0x01,                                // mov rax, [rcx]
    0x48, 0x8B, 0x51, 0x10,                          // mov rdx, [rcx+16]
    0x48, 0x8B, 0x59, 0x18,                          // mov rbx, [rcx+24]
    0x48, 0x8B, 0x69, 0x28,                          // mov rbp, [rcx+40]
    0x48, 0x8B, 0x71, 0x30,                          // mov rsi, [rcx+48]
    0x48, 0x8B, 0x79, 0x38,                          // mov rdi, [rcx+56]
    0x4C, 0x8B, 0x41, 0x40,                          // mov r8, [rcx+64]
    0x4C, 0x8B, 0x49, 0x48,                          // mov r9, [rcx+72]
    0x4C, 0x8B, 0x51, 0x50,                          // mov r10, [rcx+80]
    0x4C, 0x8B, 0x59, 0x58,                          // mov r11, [rcx+88]
    0x4C, 0x8B, 0x61, 0x60,                          // mov r12, [rcx+96]
    0x4C, 0x8B, 0x69, 0x68,                          // mov r13, [rcx+104]
    0x4C, 0x8B, 0x71, 0x70,                          // mov r14, [rcx+112]
    0x4C, 0x8B, 0x79, 0x78,                          // mov r15, [rcx+120]
    0x48, 0x8B, 0x49, 0x08,                          // mov rcx, [rcx+8]
    0x48, 0xCF,                                      // iretq
};
#undef QUORVEL_SAVE_HOST
constexpr std::size_t kSaveHostSize = 0x69;
constexpr std::size_t kLandingOffset = 0x78;
constexpr std::size_t kResumeOffset = 0xE2;
constexpr std::size_t kHostRspPatches[] = {0x5E, kLandingOffset + 2, kResumeOffset + 0x5E};
static_assert(kTrampoline[kLandingOffset] == 0x49 && kTrampoline[kLandingOffset + 1] == 0xBB);
static_assert(kTrampoline[kResumeOffset - 1] == 0xC3 && kTrampoline[kResumeOffset] == 0x55);
static_assert(kTrampoline[kResumeOffset + kSaveHostSize] == 0x48 && kTrampoline[kResumeOffset + kSaveHostSize + 1] == 0x8C);
static_assert(kTrampoline[kHostRspPatches[0] - 2] == 0x49 && kTrampoline[kHostRspPatches[0] - 1] == 0xBB);
static_assert(kTrampoline[kHostRspPatches[2] - 2] == 0x49 && kTrampoline[kHostRspPatches[2] - 1] == 0xBB);
static_assert(offsetof(MachineState, rip) == 128 && offsetof(MachineState, rflags) == 136);

using EnterCode = std::uint64_t (*)(const void* code, void* stack_top, std::uint64_t trace_flag);
using ResumeCode = std::uint64_t (*)(const MachineState* state);

using stepping::Stop;

constexpr DWORD kTrapFlag = static_cast<DWORD>(stepping::kTrapFlag);
// The 32 bytes of shadow space a Windows callee may use, above its return address.
constexpr std::size_t kShadowSpace = 32;

enum Exit : int { kReturned, kFault, kPaused, kBreakpoint, kAtExit };

// State of the run in progress. Plain globals: the handler must not touch
// lazily allocated thread-local storage, and runs never overlap (they happen
// with the interpreter lock held, and a nested run finishes before the outer
// one enters its code), which is also why one host rsp slot is enough.
struct RunWindow {
  volatile LONG active = 0;  // a fault on `thread` belongs to the code
  DWORD thread = 0;
  Exit exit = kReturned;
  const std::uint8_t* code = nullptr;
  std::size_t length = 0;
  Resumption* resumption = nullptr;         // a resumed run: where it stops, and its state
  std::uintptr_t previous_instruction = 0;  // stepping: where the last trap left rip
  StackBounds host_bounds;
  void* code_stack_limit = nullptr;  // the code stack's limit when the run ended
  DWORD exception = 0;
  ULONG_PTR access = 0;  // access violations: 0 read, 1 write, 8 execute
  std::uintptr_t fault_address = 0;
  std::uintptr_t instruction = 0;
  int divisor_state = 0;  // a faulting div: 1 divisor zero, 2 quotient overflow, 0 unknown
};
RunWindow window;
void* host_rsp = nullptr;

struct Trampoline {
  platform::CodePages pages;
  int error = 0;
};

// Made once; the pages live as long as the process.
const Trampoline& trampoline() {
  static const Trampoline made = [] {
    Trampoline result;
    result.error = platform::CodePages::create(sizeof kTrampoline, result.pages);
    if (result.error == 0) result.error = result.pages.begin_write();
    if (result.error != 0) return result;
    std::memcpy(result.pages.writable(), kTrampoline, sizeof kTrampoline);
    const auto slot = reinterpret_cast<std::uint64_t>(&host_rsp);
    for (std::size_t patch : kHostRspPatches) std::memcpy(result.pages.writable() + patch, &slot, sizeof slot);
    result.error = result.pages.end_write();
    return result;
  }();
  return made;
}

bool inside_code(std::uintptr_t address) {
  const auto start = reinterpret_cast<std::uintptr_t>(window.code);
  return address >= start && address - start < window.length;
}

// CONTEXT member for each x86-64 register number.
constexpr DWORD64 CONTEXT::*kContextRegister[16] = {
    &CONTEXT::Rax, &CONTEXT::Rcx, &CONTEXT::Rdx, &CONTEXT::Rbx, &CONTEXT::Rsp, &CONTEXT::Rbp,
    &CONTEXT::Rsi, &CONTEXT::Rdi, &CONTEXT::R8,  &CONTEXT::R9,  &CONTEXT::R10, &CONTEXT::R11,
    &CONTEXT::R12, &CONTEXT::R13, &CONTEXT::R14, &CONTEXT::R15};

// Windows names a quotient that does not fit EXCEPTION_INT_OVERFLOW, Wine
// names it as it comes from Linux, a divide by zero; the divisor in the
// faulting context tells them apart either way. Our div is always
// REX.W F7 /6 with a register operand.
int divisor_state(const std::uint8_t* instruction, const CONTEXT& context) {
  const std::uint8_t rex = instruction[0];
  if ((rex & 0xF8) != 0x48 || instruction[1] != 0xF7 || (instruction[2] & 0xF8) != 0xF0) return 0;
  const int reg = (instruction[2] & 7) | ((rex & 1) << 3);
  return context.*kContextRegister[reg] == 0 ? 1 : 2;
}

// Back to the host: its stack bounds first, so Windows accepts the host
// stack pointer the thread resumes with.
LONG leave(CONTEXT& context, Exit exit) {
  window.active = 0;
  window.exit = exit;
  window.code_stack_limit = current_stack_bounds().limit;
  set_stack_bounds(window.host_bounds);
  context.Rsp = reinterpret_cast<DWORD64>(host_rsp);
  context.Rip = reinterpret_cast<DWORD64>(trampoline().pages.executable() + kLandingOffset);
  context.EFlags &= ~kTrapFlag;
  return EXCEPTION_CONTINUE_EXECUTION;
}

std::size_t code_offset(std::uintptr_t address) { return address - reinterpret_cast<std::uintptr_t>(window.code); }

std::size_t offset_or_outside(std::uintptr_t address) {
  return inside_code(address) ? code_offset(address) : stepping::kOutside;
}

void save_state(const CONTEXT& context, std::uintptr_t rip) {
  MachineState& state = *window.resumption->state;
  for (int i = 0; i < 16; ++i) state.gpr[i] = context.*kContextRegister[i];
  state.rip = rip;
  state.rflags = stepping::paused_flags(context.EFlags);
}

LONG stop_at(CONTEXT& context, std::uintptr_t rip, Stop stop) {
  save_state(context, rip);
  return leave(context, stop == Stop::Breakpoint ? kBreakpoint : stop == Stop::AtExit ? kAtExit : kPaused);
}

void record_step(const CONTEXT& context, std::uint32_t offset, StepRecord& record) {
  record.offset = offset;
  for (std::size_t i = 0; i < kTracedRegisterCount; ++i) record.registers[i] = context.*kContextRegister[kTracedRegisters[i]];
  record.rflags = context.EFlags & stepping::kKeptFlags;
  record.rsp = context.Rsp;
  record.stack_top = stepping::stack_top_at(*window.resumption, record.rsp);
}

// One single-step trap of a stepping run. Windows clears the trap flag for
// every trap, so it is set again while rip is still inside the code.
LONG on_step(CONTEXT& context) {
  const auto rip = static_cast<std::uintptr_t>(context.Rip);
  const std::uintptr_t previous = window.previous_instruction;
  window.previous_instruction = rip;
  const Stop stop = stepping::after_step_trap(
      *window.resumption, offset_or_outside(previous), offset_or_outside(rip),
      [&](StepRecord& record, std::uint32_t offset) { record_step(context, offset, record); });
  if (stop != Stop::None) return stop_at(context, rip, stop);
  if (inside_code(rip)) {
    context.EFlags |= kTrapFlag;
  } else {
    context.EFlags &= ~kTrapFlag;
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

struct FaultKind {
  DWORD code;
  const char* name;
  const char* reason;
  bool has_address;  // the record says which address was accessed, and how
};

constexpr FaultKind kFaultKinds[] = {
    {EXCEPTION_ACCESS_VIOLATION, "EXCEPTION_ACCESS_VIOLATION", "access violation", true},
    {EXCEPTION_GUARD_PAGE, "EXCEPTION_GUARD_PAGE", "guard page violation", true},
    {EXCEPTION_STACK_OVERFLOW, "EXCEPTION_STACK_OVERFLOW", "stack overflow", false},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "EXCEPTION_INT_DIVIDE_BY_ZERO", "integer divide by zero", false},
    {EXCEPTION_INT_OVERFLOW, "EXCEPTION_INT_OVERFLOW", "integer overflow", false},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "EXCEPTION_ILLEGAL_INSTRUCTION", "illegal instruction", false},
    {EXCEPTION_PRIV_INSTRUCTION, "EXCEPTION_PRIV_INSTRUCTION", "privileged instruction", false},
    {EXCEPTION_BREAKPOINT, "EXCEPTION_BREAKPOINT", "breakpoint", false},
    {EXCEPTION_SINGLE_STEP, "EXCEPTION_SINGLE_STEP", "single step", false},
};

const FaultKind* fault_kind(DWORD code) {
  for (const FaultKind& kind : kFaultKinds) {
    if (kind.code == code) return &kind;
  }
  return nullptr;
}

LONG CALLBACK on_exception(EXCEPTION_POINTERS* pointers) {
  if (!window.active || GetCurrentThreadId() != window.thread) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  CONTEXT& context = *pointers->ContextRecord;
  if (window.resumption != nullptr) {
    if (record.ExceptionCode == EXCEPTION_SINGLE_STEP) return on_step(context);
    // The breakpoint's address is the int3's, wherever rip was left.
    const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
    if (record.ExceptionCode == EXCEPTION_BREAKPOINT) {
      const Stop stop = stepping::planted_trap_at(*window.resumption, offset_or_outside(address));
      if (stop != Stop::None) return stop_at(context, address, stop);
    }
  }
  const FaultKind* kind = fault_kind(record.ExceptionCode);
  if (kind == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  window.exception = record.ExceptionCode;
  const bool has_address = kind->has_address && record.NumberParameters >= 2;
  window.access = has_address ? record.ExceptionInformation[0] : 0;
  window.fault_address = has_address ? record.ExceptionInformation[1] : 0;
  window.instruction = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  const bool division = record.ExceptionCode == EXCEPTION_INT_DIVIDE_BY_ZERO ||
                        record.ExceptionCode == EXCEPTION_INT_OVERFLOW;
  window.divisor_state = division && inside_code(window.instruction)
                             ? divisor_state(reinterpret_cast<const std::uint8_t*>(window.instruction), context)
                             : 0;
  // The registers at the faulting instruction, for whoever looks at them.
  if (window.resumption != nullptr && inside_code(window.instruction)) save_state(context, window.instruction);
  return leave(context, kFault);
}

// Added once and never removed: outside a run it passes everything on.
void ensure_exception_handler() {
  static std::once_flag added;
  std::call_once(added, [] { AddVectoredExceptionHandler(1, on_exception); });
}

std::string fault_text(const RunWindow& run) {
  const char* name = "EXCEPTION";
  std::string reason = "fault";
  if (run.divisor_state == 1) {
    name = "EXCEPTION_INT_DIVIDE_BY_ZERO";
    reason = "integer divide by zero";
  } else if (run.divisor_state == 2) {
    name = "EXCEPTION_INT_OVERFLOW";
    reason = "integer division overflow";
  } else if (const FaultKind* kind = fault_kind(run.exception)) {
    name = kind->name;
    reason = kind->reason;
    if (kind->has_address) {
      const char* how = run.access == 1 ? "writing" : run.access == 8 ? "executing" : "reading";
      char address[48];
      std::snprintf(address, sizeof address, " %s 0x%llx", how, static_cast<unsigned long long>(run.fault_address));
      reason += address;
    }
  }
  return std::string(name) + " (" + reason + ')';
}

void describe_fault(const RunWindow& run, RunOutcome& outcome) {
  outcome.status = RunStatus::Faulted;
  outcome.signal = static_cast<int>(run.exception);
  outcome.message = "Execution fault: " + fault_text(run);
  if (inside_code(run.instruction)) {
    const std::size_t offset = run.instruction - reinterpret_cast<std::uintptr_t>(run.code);
    char text[40];
    std::snprintf(text, sizeof text, " at code offset 0x%llx", static_cast<unsigned long long>(offset));
    outcome.message += text;
    outcome.fault_offset = offset;
  }
  const FaultKind* kind = fault_kind(run.exception);
  if (kind != nullptr && kind->has_address) outcome.fault_address = run.fault_address;
}

}  // namespace

// Windows delivers Ctrl-C on a thread of its own, not as a signal to the
// thread running the code; a run is not stopped by it. With no interrupt to
// wait for, arming only claims the fault handler for this thread; a nested
// run gives it back to the outer one.
GuardedRun::GuardedRun(GuardNeeds) {
  outer_.thread = window.thread;
  window.thread = GetCurrentThreadId();
}

GuardedRun::~GuardedRun() { window.thread = static_cast<DWORD>(outer_.thread); }

namespace {

RunOutcome trampoline_failure(int error) {
  RunOutcome outcome;
  outcome.status = RunStatus::Faulted;
  outcome.message = "Execution fault: the trampoline could not be set up: " + platform::os_error_description(error);
  return outcome;
}

// Runs `enter` with the code stack as the thread's stack, and tells how the
// code came back. Whatever the needs, the handler is in place and the
// thread's stack bounds describe the code stack: both cost no system call
// once the handler is added, and a stack overflow must be caught even in
// code thought safe.
template <class Enter>
RunOutcome run_window(const std::uint8_t* code, std::size_t length, const CodeStack& stack, Enter&& enter) {
  ensure_exception_handler();
  window.code = code;
  window.length = length;
  window.exit = kReturned;
  window.host_bounds = current_stack_bounds();
  const StackBounds code_bounds = code_stack_bounds(stack);

  window.active = 1;
  set_stack_bounds(code_bounds);
  const std::uint64_t rax = enter();
  if (window.exit == kReturned) {
    window.active = 0;
    window.code_stack_limit = current_stack_bounds().limit;
    set_stack_bounds(window.host_bounds);
  }
  window.resumption = nullptr;
  restore_code_stack(stack, window.code_stack_limit);

  RunOutcome outcome;
  switch (window.exit) {
    case kReturned: outcome.rax = rax; break;
    case kFault: describe_fault(window, outcome); break;
    case kPaused: outcome.status = RunStatus::Paused; break;
    case kBreakpoint: outcome.status = RunStatus::Breakpoint; break;
    case kAtExit: outcome.status = RunStatus::AtExit; break;
  }
  return outcome;
}

}  // namespace

MachineState initial_state(const std::uint8_t* entry, const CodeStack& stack) {
  MachineState state;
  // Where the trampoline's call would have left its return address.
  auto* return_slot = reinterpret_cast<std::uint64_t*>(static_cast<std::uint8_t*>(stack.top()) - kShadowSpace) - 1;
  const Trampoline& made = trampoline();
  *return_slot = made.error == 0 ? reinterpret_cast<std::uint64_t>(made.pages.executable() + kLandingOffset) : 0;
  state.gpr[kRsp] = reinterpret_cast<std::uint64_t>(return_slot);
  state.rip = reinterpret_cast<std::uint64_t>(entry);
  state.rflags = stepping::kResumeFlags;
  return state;
}

RunOutcome GuardedRun::run(const std::uint8_t* code, std::size_t length, const CodeStack& stack) {
  const Trampoline& made = trampoline();
  if (made.error != 0) return trampoline_failure(made.error);
  const auto enter = reinterpret_cast<EnterCode>(reinterpret_cast<std::uintptr_t>(made.pages.executable()));
  window.resumption = nullptr;
  return run_window(code, length, stack, [&] { return enter(code, stack.top(), 0); });
}

RunOutcome GuardedRun::resume(Resumption& resumption) {
  const Trampoline& made = trampoline();
  if (made.error != 0) return trampoline_failure(made.error);
  const auto resume_code =
      reinterpret_cast<ResumeCode>(reinterpret_cast<std::uintptr_t>(made.pages.executable() + kResumeOffset));
  window.resumption = &resumption;
  window.previous_instruction = static_cast<std::uintptr_t>(resumption.state->rip);
  resumption.steps_taken = 0;
  MachineState start = *resumption.state;
  if (resumption.stepping || resumption.one_instruction) start.rflags |= stepping::kTrapFlag;
  return run_window(resumption.code, resumption.length, *resumption.stack, [&] { return resume_code(&start); });
}

}  // namespace quorvel::runtime
