#include "runtime/guarded_run.hpp"

#include <pthread.h>
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "runtime/signal_chain.hpp"

// quorvel_enter_generated_code(code, stack_top): saves the host's preserved
// registers and rsp, switches to the code's stack, calls the code and
// restores everything after it. The host rsp lives outside both stacks so
// that a body which pops and pushes past its frame cannot corrupt the way
// back. One slot is enough: runs happen with the interpreter lock held, the
// code never calls back into the host, and a run nested in a host signal
// handler finishes before the outer run enters its code.
// quorvel_enter_generated_code_traced is the same with the trap flag set
// just before the call, so every instruction of the code traps.
extern "C" {
__attribute__((visibility("hidden"))) void* quorvel_host_rsp = nullptr;
std::uint64_t quorvel_enter_generated_code(const void* code, void* stack_top);
std::uint64_t quorvel_enter_generated_code_traced(const void* code, void* stack_top);
}

#define QUORVEL_TRAMPOLINE(name, before_call)                  \
  "    .text\n"                                                \
  "    .p2align 4\n"                                           \
  "    .globl " name "\n"                                      \
  "    .hidden " name "\n"                                     \
  "    .type " name ", @function\n" name ":\n"                 \
  "    .cfi_startproc\n"                                       \
  "    pushq %rbp\n"                                           \
  "    pushq %rbx\n"                                           \
  "    pushq %r12\n"                                           \
  "    pushq %r13\n"                                           \
  "    pushq %r14\n"                                           \
  "    pushq %r15\n"                                           \
  "    movq %rsp, quorvel_host_rsp(%rip)\n"                    \
  "    movq %rsi, %rsp\n" before_call                          \
  "    callq *%rdi\n"                                          \
  "    movq quorvel_host_rsp(%rip), %rsp\n"                    \
  "    popq %r15\n"                                            \
  "    popq %r14\n"                                            \
  "    popq %r13\n"                                            \
  "    popq %r12\n"                                            \
  "    popq %rbx\n"                                            \
  "    popq %rbp\n"                                            \
  "    retq\n"                                                 \
  "    .cfi_endproc\n"                                         \
  "    .size " name ", .-" name "\n"

asm(QUORVEL_TRAMPOLINE("quorvel_enter_generated_code", ""));
// The trap flag set by popfq takes effect after the next instruction, the
// call: the first trap comes with rip at the code's first byte.
asm(QUORVEL_TRAMPOLINE("quorvel_enter_generated_code_traced",
                       "    pushfq\n"
                       "    orq $0x100, (%rsp)\n"
                       "    popfq\n"));

namespace quorvel::runtime {
namespace {

constexpr greg_t kTrapFlag = 0x100;

enum Exit : int { kReturned = 0, kFault = 1, kInterrupt = 2, kStepLimit = 3, kNoRoom = 4 };

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
  StepLog* steps = nullptr;
  std::uintptr_t previous_instruction = 0;  // traced runs: where the last trap left rip
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

// mcontext register for each x86-64 register number.
constexpr int kGregOfRegister[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                     REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// The processor raises the same exception for a zero divisor and for a
// quotient that does not fit; the divisor in the faulting context tells them
// apart. Our div is always REX.W F7 /6 with a register operand.
int divisor_state(const std::uint8_t* instruction, const mcontext_t& machine) {
  const std::uint8_t rex = instruction[0];
  if ((rex & 0xF8) != 0x48 || instruction[1] != 0xF7 || (instruction[2] & 0xF8) != 0xF0) return 0;
  const int reg = (instruction[2] & 7) | ((rex & 1) << 3);
  return machine.gregs[kGregOfRegister[reg]] == 0 ? 1 : 2;
}

void record_step(const mcontext_t& machine, std::uint32_t offset) {
  StepRecord& record = window.steps->records[window.steps->count++];
  record.offset = offset;
  constexpr int kTraced[kTracedRegisterCount] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI, REG_RBP,
                                                 REG_R8,  REG_R9,  REG_R10, REG_R12, REG_R13, REG_R14, REG_R15};
  for (std::size_t i = 0; i < kTracedRegisterCount; ++i) {
    record.registers[i] = static_cast<std::uint64_t>(machine.gregs[kTraced[i]]);
  }
  record.rflags = static_cast<std::uint64_t>(machine.gregs[REG_EFL]) & ~static_cast<std::uint64_t>(kTrapFlag);
}

// One single-step trap of a traced run: the instruction that ended before
// `rip` may close a step. Back in the trampoline, stepping stops.
void on_step(mcontext_t& machine) {
  const auto rip = static_cast<std::uintptr_t>(machine.gregs[REG_RIP]);
  const std::uintptr_t previous = window.previous_instruction;
  window.previous_instruction = rip;
  if (inside_code(previous)) {
    const std::size_t offset = previous - reinterpret_cast<std::uintptr_t>(window.code);
    if (window.steps->step_points[offset] != 0) {
      switch (window.steps->room_for_step()) {
        case StepLog::Room::Ready: break;
        case StepLog::Room::LimitReached:
          window.active = 0;
          siglongjmp(window.exit, kStepLimit);
        case StepLog::Room::NoRoom:
          window.active = 0;
          siglongjmp(window.exit, kNoRoom);
      }
      record_step(machine, static_cast<std::uint32_t>(offset));
    }
  }
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
  if (signal == SIGTRAP && info->si_code == TRAP_TRACE && window.steps != nullptr) {
    on_step(machine);
    return;
  }
  window.active = 0;
  window.signal = signal;
  window.code_kind = info->si_code;
  window.fault_address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  window.instruction = static_cast<std::uintptr_t>(machine.gregs[REG_RIP]);
  window.divisor_state = signal == SIGFPE && inside_code(window.instruction)
                             ? divisor_state(reinterpret_cast<const std::uint8_t*>(window.instruction), machine)
                             : 0;
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
}

// The run itself: no objects with destructors live across sigsetjmp.
int enter_window(const std::uint8_t* code, void* stack_top, bool traced, std::uint64_t& rax) {
  if (int jumped = sigsetjmp(window.exit, 0)) return jumped;
  window.active = 1;
  if (window.pending != 0) {
    window.active = 0;
    window.signal = window.pending;
    return kInterrupt;
  }
  rax = traced ? quorvel_enter_generated_code_traced(code, stack_top) : quorvel_enter_generated_code(code, stack_top);
  window.active = 0;
  return kReturned;
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

RunOutcome GuardedRun::run(const std::uint8_t* code, std::size_t length, const CodeStack& stack, StepLog* steps) {
  if (const int error = signal_chain::ensure_alternate_stack(); error != 0) {
    return signal_chain::no_signal_stack_outcome(error);
  }
  window.code = code;
  window.length = length;
  window.steps = steps;
  window.previous_instruction = 0;

  std::uint64_t rax = 0;
  const int exit = enter_window(code, stack.top(), steps != nullptr, rax);
  window.armed = 0;
  window.pending = 0;
  window.steps = nullptr;

  RunOutcome outcome;
  switch (exit) {
    case kReturned:
      outcome.rax = rax;
      break;
    case kFault:
      describe_fault(window, outcome);
      break;
    case kStepLimit:
      outcome = step_limit_outcome();
      break;
    case kNoRoom:
      outcome = no_room_outcome();
      break;
    default:
      outcome.status = RunStatus::Interrupted;
      outcome.signal = window.signal;
      outcome.message = std::string("Execution interrupted by signal ") + signal_name(window.signal);
      break;
  }
  return outcome;
}

}  // namespace quorvel::runtime
