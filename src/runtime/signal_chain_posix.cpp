#include "runtime/signal_chain.hpp"

#include <pthread.h>
#include <ucontext.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <string>

#include "platform/mapping.hpp"
#include "platform/os_error.hpp"

namespace quorvel::runtime::signal_chain {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGALRM};
constexpr std::size_t kAltStackSize = 64 * 1024;

constexpr std::uint64_t bit(int signal) { return std::uint64_t{1} << signal; }

// The handlers behind the guard's for one signal. A signal passed on goes
// first to the lender, while a run holds its place, then to the handler the
// guard was first put in front of: when the lender passes it on to its
// predecessor (the guard's handler), the guard's hands it one further down,
// never back up. `depth` counts how far down the signal being passed on has
// gone, so a handler that calls its predecessor, or the same signal arriving
// again while a handler runs, never sends it round in a circle.
struct Chain {
  struct sigaction first {};
  struct sigaction lender {};
  Handler guard = nullptr;
  volatile sig_atomic_t known = 0;
  volatile sig_atomic_t lending = 0;
  volatile sig_atomic_t depth = 0;
};
Chain chains[NSIG];

bool is_ignore(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN;
}
bool is_default(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}
bool is_ours(const struct sigaction& action, Handler handler) {
  return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == handler;
}
bool same_handler(const struct sigaction& a, const struct sigaction& b) {
  return ((a.sa_flags ^ b.sa_flags) & SA_SIGINFO) == 0 && a.sa_sigaction == b.sa_sigaction;
}

bool is_fault_signal(int signal) {
  for (int fault : kFaultSignals) {
    if (signal == fault) return true;
  }
  return false;
}

// A fault the processor raised for an instruction, which runs again when
// its handler returns.
bool raised_by_an_instruction(int signal, const siginfo_t* info) {
  return is_fault_signal(signal) && info != nullptr && info->si_code > 0;
}

void take_default_action(int signal, const siginfo_t* info) {
  // For a fault the instruction runs again and kills the process as it
  // would have without us; anything else is raised again.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  if (!raised_by_an_instruction(signal, info)) raise(signal);
}

void call(const struct sigaction& handler, int signal, siginfo_t* info, void* context) {
  if (handler.sa_flags & SA_SIGINFO) {
    handler.sa_sigaction(signal, info, context);
  } else if (handler.sa_handler == SIG_DFL) {
    take_default_action(signal, info);
  } else if (handler.sa_handler != SIG_IGN) {
    handler.sa_handler(signal);
  }
}

// Interrupt signals stay blocked while the guard's handler runs: a steady
// stream of one would otherwise stack a frame per arrival on the signal
// stack. Fault signals are not: leaving by siglongjmp then leaves the
// thread's mask as it was.
bool guard_blocks_its_signal(int signal) { return !is_fault_signal(signal); }

// While the fault handler runs (a single-step trap of a stepping run among
// them), the interrupt signals wait: an interrupt that came in the middle of
// recording a step would stop the run in the handler, where the code's
// registers are not to be found, and a resumed run would go on from an older
// state. Whoever leaves the handler by siglongjmp unblocks them first.
sigset_t guard_mask(int signal) {
  sigset_t mask;
  sigemptyset(&mask);
  if (is_fault_signal(signal)) {
    for (int interrupt : kInterruptSignals) sigaddset(&mask, interrupt);
  }
  return mask;
}

struct sigaction guard_action(Handler handler, int signal) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  if (!guard_blocks_its_signal(signal)) action.sa_flags |= SA_NODEFER;
  action.sa_mask = guard_mask(signal);
  return action;
}

bool same_set(const sigset_t& a, const sigset_t& b) {
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&a, signal) != sigismember(&b, signal)) return false;
  }
  return true;
}

// Calls `handler` with the mask the kernel would have given it had it been
// in front: the interrupted code's, its own mask, and the signal itself
// unless it asked for SA_NODEFER (a handler that passes the signal on by
// raising it again needs it unblocked). One pair of system calls when that
// differs from the guard's own mask.
void call_with_its_mask(const struct sigaction& handler, int signal, siginfo_t* info, void* context) {
  const bool blocks_signal = !(handler.sa_flags & SA_NODEFER);
  const bool same_mask = same_set(handler.sa_mask, guard_mask(signal)) && blocks_signal == guard_blocks_its_signal(signal);
  if (same_mask || context == nullptr || is_default(handler) || is_ignore(handler)) {
    call(handler, signal, info, context);
    return;
  }
  sigset_t mask = static_cast<const ucontext_t*>(context)->uc_sigmask;
  sigorset(&mask, &mask, &handler.sa_mask);
  if (blocks_signal) {
    sigaddset(&mask, signal);
  } else {
    sigdelset(&mask, signal);
  }
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, &mask, &before);
  call(handler, signal, info, context);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// `front` is, or was until the guard's replaced it, the handler in front
// of `signal`. The first one found there stays behind the guard's for good;
// one installed after it lends its place to the run.
void note_front(int signal, const struct sigaction& front, Handler guard, Taken& taken) {
  Chain& chain = chains[signal];
  chain.guard = guard;
  if (is_ours(front, guard)) return;
  if (!chain.known) {
    chain.first = front;
    std::atomic_signal_fence(std::memory_order_release);
    chain.known = 1;
    return;
  }
  // The first handler installed again (Python's own, by signal.signal())
  // gets from behind the guard's every signal it would get in front.
  if (same_handler(front, chain.first)) return;
  chain.lender = front;
  std::atomic_signal_fence(std::memory_order_release);
  chain.lending = 1;
  taken.fronts |= bit(signal);
}

// One system call: the guard's handler goes in front and the one it replaces
// is noted after. The first time it is noted before, so that a signal
// arriving in between does not find the chain empty.
void put_fault_handler_in_front(int signal, Handler on_fault, Taken& taken, sigset_t& needed) {
  sigaddset(&needed, signal);
  const struct sigaction ours = guard_action(on_fault, signal);
  struct sigaction replaced {};
  if (!chains[signal].known) {
    if (sigaction(signal, nullptr, &replaced) != 0) return;
    note_front(signal, replaced, on_fault, taken);
  }
  if (sigaction(signal, &ours, &replaced) == 0) note_front(signal, replaced, on_fault, taken);
}

void put_fault_handlers_in_front(const GuardNeeds& needs, Handler on_fault, Taken& taken) {
  if (!needs.any_fault && !needs.divide_errors && !needs.stack_faults) return;
  sigset_t needed;
  sigemptyset(&needed);
  if (needs.any_fault) {
    for (int signal : kFaultSignals) put_fault_handler_in_front(signal, on_fault, taken, needed);
  } else {
    if (needs.divide_errors) put_fault_handler_in_front(SIGFPE, on_fault, taken, needed);
    if (needs.stack_faults) put_fault_handler_in_front(SIGSEGV, on_fault, taken, needed);
  }
  sigset_t before;
  if (pthread_sigmask(SIG_UNBLOCK, &needed, &before) != 0) return;
  for (int signal : kFaultSignals) {
    if (sigismember(&needed, signal) && sigismember(&before, signal)) taken.unblocked |= bit(signal);
  }
}

// An interrupt signal that nobody handles (default action or ignored) is
// left alone: it ends or does not end the process during a run as at any
// other time. One that has a handler gets ours in front of it.
void claim_handled_interrupt_signals(Handler on_interrupt, Taken& taken) {
  for (int signal : kInterruptSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) continue;
    if (is_ours(current, on_interrupt) || is_default(current) || is_ignore(current)) continue;
    note_front(signal, current, on_interrupt, taken);
    const struct sigaction ours = guard_action(on_interrupt, signal);
    sigaction(signal, &ours, nullptr);
  }
}

void for_each_signal(std::uint64_t signals, auto&& act) {
  for (; signals != 0; signals &= signals - 1) act(std::countr_zero(signals));
}

}  // namespace

Taken claim(const GuardNeeds& needs, Handler on_fault, Handler on_interrupt) {
  Taken taken;
  put_fault_handlers_in_front(needs, on_fault, taken);
  if (needs.interrupts) claim_handled_interrupt_signals(on_interrupt, taken);
  return taken;
}

void give_back_taken(const Taken& taken) {
  if (taken.unblocked != 0) {
    sigset_t blocked;
    sigemptyset(&blocked);
    for_each_signal(taken.unblocked, [&](int signal) { sigaddset(&blocked, signal); });
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  }
  for_each_signal(taken.fronts, [](int signal) {
    Chain& chain = chains[signal];
    // A handler installed while the run was armed (by a host handler it
    // ran) stays where its owner put it.
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && is_ours(current, chain.guard)) {
      sigaction(signal, &chain.lender, nullptr);
    }
    chain.lending = 0;
  });
}

void pass_on(int signal, siginfo_t* info, void* context) {
  Chain& chain = chains[signal];
  const sig_atomic_t depth = chain.depth;
  const bool lending = chain.lending;
  std::atomic_signal_fence(std::memory_order_acquire);
  const struct sigaction* next = nullptr;
  if (depth == 0) next = lending ? &chain.lender : &chain.first;
  if (depth == 1 && lending) next = &chain.first;
  if (next == nullptr) {
    // Every handler behind the guard's has had it: a fault that comes back
    // ends the process, anything else has been handled.
    if (raised_by_an_instruction(signal, info)) take_default_action(signal, info);
    return;
  }
  chain.depth = depth + 1;
  call_with_its_mask(*next, signal, info, context);
  chain.depth = depth;
}

void unblock_on_leaving(void* context) {
  pthread_sigmask(SIG_SETMASK, &static_cast<const ucontext_t*>(context)->uc_sigmask, nullptr);
}

bool ignored_behind(int signal) {
  const Chain& chain = chains[signal];
  return is_ignore(chain.lending ? chain.lender : chain.first);
}

int ensure_alternate_stack() {
  // The stack lives as long as its thread.
  struct AltStack {
    platform::Mapping mapping;
    ~AltStack() {
      if (!mapping) return;
      stack_t disable {};
      disable.ss_flags = SS_DISABLE;
      sigaltstack(&disable, nullptr);
    }
  };
  thread_local bool ready = false;
  if (ready) return 0;
  stack_t current {};
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
    ready = true;
    return 0;
  }
  platform::Mapping mapping;
  if (int error = platform::Mapping::create(kAltStackSize, platform::Protection::ReadWrite, mapping); error != 0) {
    return error;
  }
  stack_t stack {};
  stack.ss_sp = mapping.data();
  stack.ss_size = mapping.size();
  if (sigaltstack(&stack, nullptr) != 0) return errno;
  thread_local AltStack alt_stack;
  alt_stack.mapping = std::move(mapping);
  ready = true;
  return 0;
}

RunOutcome no_signal_stack_outcome(int error) {
  RunOutcome outcome;
  outcome.status = RunStatus::Refused;
  outcome.message = "Signal stack creation failed: " + platform::os_error_description(error);
  return outcome;
}

}  // namespace quorvel::runtime::signal_chain
