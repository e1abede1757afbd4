#pragma once
// The run guard's place in each signal's chain of handlers (POSIX). The
// guard's handler goes in front of whatever handles a signal it needs, once
// and for good; a signal that is not the run's business goes on down the
// chain, to the handler it was put in front of, exactly as if the guard were
// not there. A handler someone installs later goes in front of the guard's
// and takes the guard's as its predecessor: a run borrows the front from it
// and gives it back when it ends, so that handler, and whatever it passes
// signals on to, sees the chain it was installed into.

#include <signal.h>

#include "runtime/guarded_run.hpp"

namespace quorvel::runtime::signal_chain {

using Handler = void (*)(int, siginfo_t*, void*);

using Taken = GuardedRun::Taken;

// Puts `on_fault` in front of the fault signals `needs` asks for and, when
// it asks for interrupts, `on_interrupt` in front of each interrupt signal
// that has a handler (one nobody handles keeps its default action or stays
// ignored). The fault signals are unblocked: one the code raises while it
// is blocked would end the process.
Taken claim(const GuardNeeds& needs, Handler on_fault, Handler on_interrupt);

// Puts back what claim() took: the handlers it found in front, where the
// guard's is still in front, and the caller's blocked signals.
void give_back_taken(const Taken& taken);
inline void give_back(const Taken& taken) {
  if ((taken.fronts | taken.unblocked) != 0) give_back_taken(taken);
}

// Hands a signal the run does not take to the handlers behind the guard's,
// with the signals blocked that each of them would have had blocked. The
// guard's handler for an interrupt signal runs with that signal blocked.
void pass_on(int signal, siginfo_t* info, void* context);

// Puts back the signal mask of the code a handler interrupted, for a
// handler that leaves by siglongjmp.
void unblock_on_leaving(void* context);

// Whether the handler behind the guard's ignores `signal`.
bool ignored_behind(int signal);

// Gives the calling thread a signal stack if it has none, so that a fault
// with rsp on a guard page can still be handled. Returns 0, or the errno of
// the failure; a thread that got none is asked again next time.
int ensure_alternate_stack();

// The outcome of a run that could not start for want of a signal stack.
RunOutcome no_signal_stack_outcome(int error);

}  // namespace quorvel::runtime::signal_chain
