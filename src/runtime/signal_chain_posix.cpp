#include "runtime/signal_chain.hpp"

#include "platform/mapping.hpp"

namespace quorvel::runtime::signal_chain {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGALRM};
constexpr std::size_t kAltStackSize = 64 * 1024;

// The handler each signal had when the guard was put in front of it.
struct sigaction previous_actions[NSIG];
// Set while a signal is passed on outside a run: a handler that was put
// behind ours and passes signals back to its own predecessor (ours) would
// otherwise send the same signal round in a circle.
volatile sig_atomic_t passing_on[NSIG];

bool is_ignore(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN;
}
bool is_default(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

void take_default_action(int signal, const siginfo_t* info) {
  // For a fault the instruction runs again and kills the process as it
  // would have without us; anything else is raised again.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  if (info == nullptr || info->si_code <= 0) raise(signal);
}

void pass_on_to(const struct sigaction& previous, int signal, siginfo_t* info, void* context) {
  if (passing_on[signal]) {
    take_default_action(signal, info);
    return;
  }
  passing_on[signal] = 1;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler == SIG_DFL) {
    take_default_action(signal, info);
  } else if (previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  }
  passing_on[signal] = 0;
}

struct sigaction guard_action(Handler handler) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  // SA_NODEFER with an empty mask: leaving the handler by siglongjmp then
  // leaves the thread's signal mask exactly as it was.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  return action;
}

bool is_ours(const struct sigaction& action, Handler handler) {
  return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == handler;
}

// Someone may have put a handler of their own in front of ours since the last
// run (a signal.signal() call, faulthandler.enable()): ours goes back in front
// and passes everything outside a run on to theirs. One system call per
// signal, whether anything changed or not.
void put_fault_handler_in_front(int signal, Handler on_fault) {
  const struct sigaction ours = guard_action(on_fault);
  struct sigaction replaced {};
  if (sigaction(signal, &ours, &replaced) != 0) return;
  if (!is_ours(replaced, on_fault)) previous_actions[signal] = replaced;
}

void put_fault_handlers_in_front(const GuardNeeds& needs, Handler on_fault) {
  if (needs.any_fault) {
    for (int signal : kFaultSignals) put_fault_handler_in_front(signal, on_fault);
    return;
  }
  if (needs.divide_errors) put_fault_handler_in_front(SIGFPE, on_fault);
  if (needs.stack_faults) put_fault_handler_in_front(SIGSEGV, on_fault);
}

// An interrupt signal that nobody handles (default action or ignored) is
// left alone: it ends or does not end the process during a run as at any
// other time. One that has a handler gets ours in front of it.
void claim_handled_interrupt_signals(Handler on_interrupt) {
  const struct sigaction ours = guard_action(on_interrupt);
  for (int signal : kInterruptSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) continue;
    if (is_ours(current, on_interrupt) || is_default(current) || is_ignore(current)) continue;
    struct sigaction replaced {};
    if (sigaction(signal, &ours, &replaced) != 0) continue;
    if (!is_ours(replaced, on_interrupt)) previous_actions[signal] = replaced;
  }
}

}  // namespace

void claim(const GuardNeeds& needs, Handler on_fault, Handler on_interrupt) {
  put_fault_handlers_in_front(needs, on_fault);
  if (needs.interrupts) claim_handled_interrupt_signals(on_interrupt);
}

void pass_on(int signal, siginfo_t* info, void* context) { pass_on_to(previous_actions[signal], signal, info, context); }

bool ignored_behind(int signal) { return is_ignore(previous_actions[signal]); }

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

}  // namespace quorvel::runtime::signal_chain
