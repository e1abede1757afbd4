#include "codegen/guarded_run.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "platform/os_error.hpp"

// enter_generated_code(code, stack_top): saves the host's preserved registers
// and rsp, switches to the code's stack, calls the code and restores
// everything after it. The host rsp lives outside both stacks so that a body
// which pops and pushes past its frame cannot corrupt the way back. One slot
// is enough: the code runs with the interpreter lock held and never calls
// back into Python, so runs cannot overlap.
extern "C" {
__attribute__((visibility("hidden"))) void* quorvel_host_rsp = nullptr;
std::uint64_t quorvel_enter_generated_code(const void* code, void* stack_top);
}

asm(R"(
    .text
    .p2align 4
    .globl quorvel_enter_generated_code
    .hidden quorvel_enter_generated_code
    .type quorvel_enter_generated_code, @function
quorvel_enter_generated_code:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, quorvel_host_rsp(%rip)
    movq %rsi, %rsp
    callq *%rdi
    movq quorvel_host_rsp(%rip), %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    retq
    .cfi_endproc
    .size quorvel_enter_generated_code, .-quorvel_enter_generated_code
)");

namespace quorvel::codegen {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr std::size_t kAltStackSize = 64 * 1024;

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
  int signal = 0;
  int code_kind = 0;
  std::uintptr_t fault_address = 0;
  std::uintptr_t instruction = 0;
};
RunWindow window;

struct sigaction previous_fault_actions[NSIG];
struct sigaction previous_interrupt_actions[NSIG];

bool on_window_thread() { return pthread_equal(pthread_self(), window.thread); }
bool in_window() { return window.active && on_window_thread(); }

void call_previous(const struct sigaction& previous, int signal, siginfo_t* info, void* context) {
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler == SIG_DFL) {
    // Let the default action happen: for a fault the instruction runs again
    // and kills the process as it would have without us.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    if (info == nullptr || info->si_code <= 0) raise(signal);
  } else if (previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  }
}

void on_fault(int signal, siginfo_t* info, void* context) {
  if (!in_window()) {
    call_previous(previous_fault_actions[signal], signal, info, context);
    return;
  }
  window.active = 0;
  window.signal = signal;
  window.code_kind = info->si_code;
  window.fault_address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  window.instruction = static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
  siglongjmp(window.exit, 1);
}

void on_interrupt(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = previous_interrupt_actions[signal];
  if (!in_window()) {
    // A process-directed signal may land on another thread: pass it on to
    // the one that is running code, so the run still stops.
    if ((window.active || window.armed) && !on_window_thread()) {
      pthread_kill(window.thread, signal);
      return;
    }
    call_previous(previous, signal, info, context);
    const bool ignored = !(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN;
    if (window.armed && !ignored) window.pending = signal;
    return;
  }
  if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) return;
  window.active = 0;
  // Python's own handler only records the signal; its Python-level handler
  // runs once control is back in the interpreter.
  call_previous(previous, signal, info, context);
  window.signal = signal;
  siglongjmp(window.exit, 2);
}

struct sigaction guard_action(void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  // SA_NODEFER with an empty mask: leaving the handler by siglongjmp then
  // leaves the thread's signal mask exactly as it was.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  return action;
}

// The fault handlers stay installed for the life of the process and pass
// every signal outside a run to the handler that was there before.
void install_fault_handlers_once() {
  static bool installed = false;
  if (installed) return;
  struct sigaction action = guard_action(on_fault);
  for (int signal : kFaultSignals) sigaction(signal, &action, &previous_fault_actions[signal]);
  installed = true;
}

// A stack overflow of generated code faults with rsp on a guard page, so the
// handler needs a stack of its own; a thread that has none gets one.
void ensure_alternate_stack() {
  thread_local bool ready = false;
  if (ready) return;
  stack_t current {};
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
    ready = true;
    return;
  }
  struct AltStack {
    platform::Mapping mapping;
    AltStack() {
      if (platform::Mapping::create(kAltStackSize, platform::Protection::ReadWrite, mapping) != 0) return;
      stack_t stack {};
      stack.ss_sp = mapping.data();
      stack.ss_size = mapping.size();
      sigaltstack(&stack, nullptr);
    }
    ~AltStack() {
      if (!mapping) return;
      stack_t disable {};
      disable.ss_flags = SS_DISABLE;
      sigaltstack(&disable, nullptr);
    }
  };
  thread_local AltStack alt_stack;
  ready = true;
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

std::string fault_reason(int signal, int code_kind, std::uintptr_t address) {
  char buffer[96];
  switch (signal) {
    case SIGFPE:
      if (code_kind == FPE_INTDIV) return "integer divide by zero";
      if (code_kind == FPE_INTOVF) return "integer overflow";
      return "arithmetic exception";
    case SIGSEGV:
    case SIGBUS: {
      const char* what = signal == SIGBUS                 ? "bus error"
                         : code_kind == SEGV_ACCERR ? "access not permitted"
                                                    : "address not mapped";
      std::snprintf(buffer, sizeof buffer, "%s: 0x%llx", what, static_cast<unsigned long long>(address));
      return buffer;
    }
    case SIGILL: return "illegal instruction";
    case SIGTRAP: return "trace or breakpoint trap";
    default: return "fault";
  }
}

std::string fault_message(const RunWindow& run) {
  std::string message = "Execution fault: ";
  message += signal_name(run.signal);
  message += " (";
  message += fault_reason(run.signal, run.code_kind, run.fault_address);
  message += ')';
  auto start = reinterpret_cast<std::uintptr_t>(run.code);
  if (run.instruction >= start && run.instruction < start + run.length) {
    char offset[40];
    std::snprintf(offset, sizeof offset, " at code offset 0x%llx",
                  static_cast<unsigned long long>(run.instruction - start));
    message += offset;
  }
  return message;
}

// The run itself: no objects with destructors live across sigsetjmp.
int enter_window(const ExecutableBuffer& code, void* stack_top, std::uint64_t& rax) {
  window.code = code.code();
  window.length = code.length();
  window.thread = pthread_self();
  if (int jumped = sigsetjmp(window.exit, 0)) return jumped;
  window.active = 1;
  if (window.pending != 0) {
    window.active = 0;
    window.signal = window.pending;
    return 2;
  }
  rax = quorvel_enter_generated_code(code.code(), stack_top);
  window.active = 0;
  return 0;
}

}  // namespace

Result<CodeStack> CodeStack::create() {
  const std::size_t page = platform::page_size();
  platform::Mapping mapping;
  int error = platform::Mapping::create(kSize + 2 * page, platform::Protection::None, mapping);
  if (error == 0) error = mapping.protect_range(page, kSize, platform::Protection::ReadWrite);
  if (error != 0) return value_error("Execution stack creation failed: " + platform::os_error_description(error));
  return CodeStack(std::move(mapping));
}

void* CodeStack::top() const { return mapping_.data() + platform::page_size() + kSize; }

void claim_interrupt_signal(int signal) {
  struct sigaction ours = guard_action(on_interrupt);
  struct sigaction replaced {};
  if (sigaction(signal, &ours, &replaced) != 0) return;
  bool was_ours = (replaced.sa_flags & SA_SIGINFO) && replaced.sa_sigaction == on_interrupt;
  if (!was_ours) previous_interrupt_actions[signal] = replaced;
}

void arm_interrupts() {
  window.thread = pthread_self();
  window.pending = 0;
  window.armed = 1;
}

void disarm_interrupts() {
  window.armed = 0;
  window.pending = 0;
}

RunOutcome run_guarded(const ExecutableBuffer& code, const CodeStack& stack) {
  install_fault_handlers_once();
  ensure_alternate_stack();

  std::uint64_t rax = 0;
  int jumped = enter_window(code, stack.top(), rax);
  disarm_interrupts();

  RunOutcome outcome;
  switch (jumped) {
    case 0:
      outcome.rax = rax;
      break;
    case 1:
      outcome.status = RunStatus::Faulted;
      outcome.signal = window.signal;
      outcome.message = fault_message(window);
      break;
    default:
      outcome.status = RunStatus::Interrupted;
      outcome.signal = window.signal;
      outcome.message = std::string("Execution interrupted by signal ") + signal_name(window.signal);
      break;
  }
  return outcome;
}

}  // namespace quorvel::codegen
