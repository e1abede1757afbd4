#include "runtime/guarded_run.hpp"

#include <pthread.h>
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "runtime/signal_chain.hpp"
#include "runtime/stepping.hpp"

// quorvel_enter_generated_code(code, stack_top): saves the host's preserved
// registers and rsp, switches to the code's stack, calls the code and
// restores everything after it. The host rsp lives outside both stacks so
// that a body which pops and pushes past its frame cannot corrupt the way
// back. One slot is enough: runs happen with the interpreter lock held, the
// code never calls back into the host, and a run nested in a host signal
// handler finishes before the outer run enters its code.
//
// quorvel_resume_generated_code(state) goes on with code stopped earlier:
// it saves the host exactly as the call does, then loads every register
// from `state` and jumps with iretq, which sets rsp, rflags and rip in one
// instruction, so with the trap flag in `state` the first trap comes after
// the first instruction of the code, not inside the trampoline. Code
// started this way returns through quorvel_code_returned, the call's own
// way back, which restores the host saved by whichever entry ran last.
extern "C" {
__attribute__((visibility("hidden"))) void* quorvel_host_rsp = nullptr;
std::uint64_t quorvel_enter_generated_code(const void* code, void* stack_top);
std::uint64_t quorvel_resume_generated_code(const quorvel::runtime::MachineState* state);
extern const char quorvel_code_returned[];
}

static_assert(offsetof(quorvel::runtime::MachineState, gpr) == 0);
static_assert(offsetof(quorvel::runtime::MachineState, rip) == 128);
static_assert(offsetof(quorvel::runtime::MachineState, rflags) == 136);

#define QUORVEL_SAVE_HOST           \
  "    pushq %rbp\n"                \
  "    pushq %rbx\n"                \
  "    pushq %r12\n"                \
  "    pushq %r13\n"                \
  "    pushq %r14\n"                \
  "    pushq %r15\n"                \
  "    movq %rsp, quorvel_host_rsp(%rip)\n"

#define QUORVEL_FUNCTION(name)      \
  "    .p2align 4\n"                \
  "    .globl " name "\n"           \
  "    .hidden " name "\n"          \
  "    .type " name ", @function\n" name ":\n"

asm("    .text\n" QUORVEL_FUNCTION("quorvel_enter_generated_code")
    "    .cfi_startproc\n" QUORVEL_SAVE_HOST
    "    movq %rsi, %rsp\n"
    "    callq *%rdi\n"
    "    .globl quorvel_code_returned\n"
    "    .hidden quorvel_code_returned\n"
    "quorvel_code_returned:\n"
    "    movq quorvel_host_rsp(%rip), %rsp\n"
    "    popq %r15\n"
    "    popq %r14\n"
    "    popq %r13\n"
    "    popq %r12\n"
    "    popq %rbx\n"
    "    popq %rbp\n"
    "    retq\n"
    "    .cfi_endproc\n"
    "    .size quorvel_enter_generated_code, .-quorvel_enter_generated_code\n"
    QUORVEL_FUNCTION("quorvel_resume_generated_code")
    "    .cfi_startproc\n" QUORVEL_SAVE_HOST
    // The iretq frame: ss, rsp, rflags, cs, rip.
    "    movq %ss, %rax\n"
    "    pushq %rax\n"
    "    pushq 32(%rdi)\n"
    "    pushq 136(%rdi)\n"
    "    movq %cs, %rax\n"
    "    pushq %rax\n"
    "    pushq 128(%rdi)\n"
    "    movq 0(%rdi), %rax\n"
    "    movq 8(%rdi), %rcx\n"
    "    movq 16(%rdi), %rdx\n"
    "    movq 24(%rdi), %rbx\n"
    "    movq 40(%rdi), %rbp\n"
    "    movq 48(%rdi), %rsi\n"
    "    movq 64(%rdi), %r8\n"
    "    movq 72(%rdi), %r9\n"
    "    movq 80(%rdi), %r10\n"
    "    movq 88(%rdi), %r11\n"
    "    movq 96(%rdi), %r12\n"
    "    movq 104(%rdi), %r13\n"
    "    movq 112(%rdi), %r14\n"
    "    movq 120(%rdi), %r15\n"
    "    movq 56(%rdi), %rdi\n"
    "    iretq\n"
    "    .cfi_endproc\n"
    "    .size quorvel_resume_generated_code, .-quorvel_resume_generated_code\n");

namespace quorvel::runtime {
namespace {

using stepping::Stop;

constexpr greg_t kTrapFlag = static_cast<greg_t>(stepping::kTrapFlag);

enum Exit : int { kReturned = 0, kFault, kInterrupt, kPaused, kBreakpoint, kAtExit };

// State of the run in progress. `active` marks the window in which a fault or
// an interrupt on `thread` belongs to the generated code. Plain globals, not
// thread_local: the handlers must not touch lazily allocated TLS, and runs
// never overlap (see quorvel_host_rsp).
struct RunWindow {
  volatile sig_atomic_t active = 0;
  volatile sig_atomic_t armed = 0;    // a run on `thread` is about to start
  volatile sig_atomic_t pending = 0;  // interrupt signal that came while armed
  pthread_t thread{};
  sigjmp_buf exit;
  const std::uint8_t* code = nullptr;
  std::size_t length = 0;
  Resumption* resumption = nullptr;         // a resumed run: where it stops, and its state
  std::uintptr_t previous_instruction = 0;  // stepping: where the last trap left rip
  int signal = 0;
  int code_kind = 0;
  std::uintptr_t fault_address = 0;
  std::uintptr_t instruction = 0;
  int divisor_state = 0;  // SIGFPE of a div: 1 divisor zero, 2 quotient overflow, 0 unknown
};
RunWindow window;

bool on_window_thread() { return pthread_equal(pthread_self(), window.thread); }
bool in_window() { return window.active && on_window_thread(); }

bool inside_code(std::uintptr_t address) {
  const auto start = reinterpret_cast<std::uintptr_t>(window.code);
  return address >= start && address - start < window.length;
}

std::size_t code_offset(std::uintptr_t address) { return address - reinterpret_cast<std::uintptr_t>(window.code); }

// mcontext register for each x86-64 register number.
constexpr int kGregOfRegister[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                     REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

std::uint64_t register_of(const mcontext_t& machine, int number) {
  return static_cast<std::uint64_t>(machine.gregs[kGregOfRegister[number]]);
}

// The processor raises the same exception for a zero divisor and for a
// quotient that does not fit; the divisor in the faulting context tells them
// apart. Our div is always REX.W F7 /6 with a register operand.
int divisor_state(const std::uint8_t* instruction, const mcontext_t& machine) {
  const std::uint8_t rex = instruction[0];
  if ((rex & 0xF8) != 0x48 || instruction[1] != 0xF7 || (instruction[2] & 0xF8) != 0xF0) return 0;
  const int reg = (instruction[2] & 7) | ((rex & 1) << 3);
  return register_of(machine, reg) == 0 ? 1 : 2;
}

std::size_t offset_or_outside(std::uintptr_t address) {
  return inside_code(address) ? code_offset(address) : stepping::kOutside;
}

void save_state(const mcontext_t& machine, std::uintptr_t rip) {
  MachineState& state = *window.resumption->state;
  for (int i = 0; i < 16; ++i) state.gpr[i] = register_of(machine, i);
  state.rip = rip;
  state.rflags = stepping::paused_flags(static_cast<std::uint64_t>(machine.gregs[REG_EFL]));
}

Exit exit_of(Stop stop) {
  switch (stop) {
    case Stop::Breakpoint: return kBreakpoint;
    case Stop::AtExit: return kAtExit;
    default: return kPaused;
  }
}

// Leaves the handler for the host, the code stopped at `rip` with the
// registers of `context`.
[[noreturn]] void stop_at(void* context, std::uintptr_t rip, Stop stop) {
  save_state(static_cast<ucontext_t*>(context)->uc_mcontext, rip);
  window.active = 0;
  signal_chain::unblock_on_leaving(context);
  siglongjmp(window.exit, exit_of(stop));
}

void record_step(const mcontext_t& machine, std::uint32_t offset, StepRecord& record) {
  record.offset = offset;
  for (std::size_t i = 0; i < kTracedRegisterCount; ++i) record.registers[i] = register_of(machine, kTracedRegisters[i]);
  record.rflags = static_cast<std::uint64_t>(machine.gregs[REG_EFL]) & stepping::kKeptFlags;
  record.rsp = register_of(machine, kRsp);
  record.stack_top = stepping::stack_top_at(*window.resumption, record.rsp);
}

// One single-step trap of a stepping run. Once the code has left its pages
// (returned to the trampoline), stepping ends.
void on_step(void* context) {
  mcontext_t& machine = static_cast<ucontext_t*>(context)->uc_mcontext;
  const auto rip = static_cast<std::uintptr_t>(machine.gregs[REG_RIP]);
  const std::uintptr_t previous = window.previous_instruction;
  window.previous_instruction = rip;
  const Stop stop = stepping::after_step_trap(
      *window.resumption, offset_or_outside(previous), offset_or_outside(rip),
      [&](StepRecord& record, std::uint32_t offset) { record_step(machine, offset, record); });
  if (stop != Stop::None) stop_at(context, rip, stop);
  if (!inside_code(rip)) machine.gregs[REG_EFL] &= ~kTrapFlag;
}

void on_fault(int signal, siginfo_t* info, void* context) {
  // Only what the code itself raised belongs to the run: a signal someone
  // sent (kill, raise, si_code <= 0) goes where it would have gone anyway.
  if (!in_window() || info == nullptr || info->si_code <= 0) {
    signal_chain::pass_on(signal, info, context);
    return;
  }
  mcontext_t& machine = static_cast<ucontext_t*>(context)->uc_mcontext;
  const auto rip = static_cast<std::uintptr_t>(machine.gregs[REG_RIP]);
  if (signal == SIGTRAP && window.resumption != nullptr) {
    if (info->si_code == TRAP_TRACE) {
      on_step(context);
      return;
    }
    // An int3 leaves rip just past itself.
    if (info->si_code == SI_KERNEL || info->si_code == TRAP_BRKPT) {
      const Stop stop = stepping::planted_trap_at(*window.resumption, offset_or_outside(rip - 1));
      if (stop != Stop::None) stop_at(context, rip - 1, stop);
    }
  }
  window.active = 0;
  window.signal = signal;
  window.code_kind = info->si_code;
  window.fault_address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  window.instruction = rip;
  window.divisor_state = signal == SIGFPE && inside_code(window.instruction)
                             ? divisor_state(reinterpret_cast<const std::uint8_t*>(window.instruction), machine)
                             : 0;
  // The registers at the faulting instruction, for whoever looks at them.
  if (window.resumption != nullptr && inside_code(rip)) save_state(machine, rip);
  signal_chain::unblock_on_leaving(context);
  siglongjmp(window.exit, kFault);
}

void on_interrupt(int signal, siginfo_t* info, void* context) {
  const bool ignored = signal_chain::ignored_behind(signal);
  if (!in_window()) {
    // A process-directed signal may land on another thread: pass it on to
    // the one that is running code, so the run still stops.
    if ((window.active || window.armed) && !on_window_thread()) {
      pthread_kill(window.thread, signal);
      return;
    }
    signal_chain::pass_on(signal, info, context);
    if (window.armed && !ignored) window.pending = signal;
    return;
  }
  if (ignored) return;
  window.active = 0;
  // The host's handler only records the signal; the host acts on it once
  // control is back.
  signal_chain::pass_on(signal, info, context);
  window.signal = signal;
  // A resumed run goes on from here next time. Outside the code (in a
  // trampoline) the state it started from still holds.
  if (window.resumption != nullptr) {
    const mcontext_t& machine = static_cast<const ucontext_t*>(context)->uc_mcontext;
    const auto rip = static_cast<std::uintptr_t>(machine.gregs[REG_RIP]);
    if (inside_code(rip)) save_state(machine, rip);
  }
  signal_chain::unblock_on_leaving(context);
  siglongjmp(window.exit, kInterrupt);
}

const char* signal_name(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGALRM: return "SIGALRM";
    default: return "signal";
  }
}

std::string fault_reason(const RunWindow& run) {
  char buffer[96];
  switch (run.signal) {
    case SIGFPE:
      if (run.divisor_state == 2) return "integer division overflow";
      if (run.code_kind == FPE_INTDIV) return "integer divide by zero";
      if (run.code_kind == FPE_INTOVF) return "integer overflow";
      return "arithmetic exception";
    case SIGSEGV:
    case SIGBUS: {
      const char* what = run.signal == SIGBUS             ? "bus error"
                         : run.code_kind == SEGV_ACCERR ? "access not permitted"
                                                        : "address not mapped";
      std::snprintf(buffer, sizeof buffer, "%s: 0x%llx", what, static_cast<unsigned long long>(run.fault_address));
      return buffer;
    }
    case SIGILL: return "illegal instruction";
    case SIGTRAP: return "trace or breakpoint trap";
    default: return "fault";
  }
}

void describe_fault(const RunWindow& run, RunOutcome& outcome) {
  outcome.status = RunStatus::Faulted;
  outcome.signal = run.signal;
  outcome.message = "Execution fault: ";
  outcome.message += signal_name(run.signal);
  outcome.message += " (";
  outcome.message += fault_reason(run);
  outcome.message += ')';
  if (inside_code(run.instruction)) {
    const std::size_t offset = run.instruction - reinterpret_cast<std::uintptr_t>(run.code);
    char text[40];
    std::snprintf(text, sizeof text, " at code offset 0x%llx", static_cast<unsigned long long>(offset));
    outcome.message += text;
    outcome.fault_offset = offset;
  }
  if (run.signal == SIGSEGV || run.signal == SIGBUS) outcome.fault_address = run.fault_address;
}

// The run itself: no objects with destructors live across sigsetjmp. Either
// calls `code` on `stack_top` or, with `resume_from`, goes on from there.
int enter_window(const std::uint8_t* code, void* stack_top, const MachineState* resume_from, std::uint64_t& rax) {
  if (int jumped = sigsetjmp(window.exit, 0)) return jumped;
  window.active = 1;
  if (window.pending != 0) {
    window.active = 0;
    window.signal = window.pending;
    return kInterrupt;
  }
  rax = resume_from != nullptr ? quorvel_resume_generated_code(resume_from)
                               : quorvel_enter_generated_code(code, stack_top);
  window.active = 0;
  return kReturned;
}

RunOutcome outcome_of(int exit, std::uint64_t rax) {
  RunOutcome outcome;
  switch (exit) {
    case kReturned:
      outcome.rax = rax;
      break;
    case kFault:
      describe_fault(window, outcome);
      break;
    case kPaused: outcome.status = RunStatus::Paused; break;
    case kBreakpoint: outcome.status = RunStatus::Breakpoint; break;
    case kAtExit: outcome.status = RunStatus::AtExit; break;
    default:
      outcome.status = RunStatus::Interrupted;
      outcome.signal = window.signal;
      outcome.message = std::string("Execution interrupted by signal ") + signal_name(window.signal);
      break;
  }
  return outcome;
}

}  // namespace

GuardedRun::GuardedRun(GuardNeeds needs) {
  outer_.armed = window.armed;
  outer_.pending = window.pending;
  outer_.thread = static_cast<std::uintptr_t>(window.thread);
  taken_ = signal_chain::claim(needs, on_fault, on_interrupt);
  window.armed = 0;
  window.pending = 0;
  window.thread = pthread_self();
  // A handler that sees the run armed must see its thread: `thread` is not
  // volatile, so nothing else keeps the two stores in this order.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  window.armed = 1;
}

GuardedRun::~GuardedRun() {
  window.armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  window.thread = static_cast<pthread_t>(outer_.thread);
  window.pending = outer_.pending;
  window.armed = outer_.armed;
  signal_chain::give_back(taken_);
}

MachineState initial_state(const std::uint8_t* entry, const CodeStack& stack) {
  MachineState state;
  // Where a call would have left its return address.
  auto* return_slot = static_cast<std::uint64_t*>(stack.top()) - 1;
  *return_slot = reinterpret_cast<std::uint64_t>(quorvel_code_returned);
  state.gpr[kRsp] = reinterpret_cast<std::uint64_t>(return_slot);
  state.rip = reinterpret_cast<std::uint64_t>(entry);
  state.rflags = stepping::kResumeFlags;
  return state;
}

RunOutcome GuardedRun::run(const std::uint8_t* code, std::size_t length, const CodeStack& stack) {
  if (const int error = signal_chain::ensure_alternate_stack(); error != 0) {
    return signal_chain::no_signal_stack_outcome(error);
  }
  window.code = code;
  window.length = length;
  window.resumption = nullptr;

  std::uint64_t rax = 0;
  const int exit = enter_window(code, stack.top(), nullptr, rax);
  window.armed = 0;
  window.pending = 0;
  return outcome_of(exit, rax);
}

RunOutcome GuardedRun::resume(Resumption& resumption) {
  if (const int error = signal_chain::ensure_alternate_stack(); error != 0) {
    return signal_chain::no_signal_stack_outcome(error);
  }
  window.code = resumption.code;
  window.length = resumption.length;
  window.resumption = &resumption;
  window.previous_instruction = resumption.state->rip;
  resumption.steps_taken = 0;
  MachineState start = *resumption.state;
  if (resumption.stepping || resumption.one_instruction) start.rflags |= stepping::kTrapFlag;

  std::uint64_t rax = 0;
  const int exit = enter_window(nullptr, nullptr, &start, rax);
  window.armed = 0;
  window.pending = 0;
  window.resumption = nullptr;
  return outcome_of(exit, rax);
}

}  // namespace quorvel::runtime
