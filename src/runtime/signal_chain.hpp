#pragma once
// The run guard's place in each signal's chain of handlers (POSIX). The
// guard's handlers are put in front of whatever handles a signal it needs;
// a signal that is not the run's business goes on down the chain, to the
// handlers it was put in front of, exactly as if the guard were not there.

#include <signal.h>

#include "runtime/guarded_run.hpp"

namespace quorvel::runtime::signal_chain {

using Handler = void (*)(int, siginfo_t*, void*);

// Puts `on_fault` in front of the fault signals `needs` asks for and, when
// it asks for interrupts, `on_interrupt` in front of each interrupt signal
// that has a handler (one nobody handles keeps its default action or stays
// ignored).
void claim(const GuardNeeds& needs, Handler on_fault, Handler on_interrupt);

// Hands a signal the run does not take to the handlers behind the guard's.
void pass_on(int signal, siginfo_t* info, void* context);

// Whether the handler behind the guard's ignores `signal`.
bool ignored_behind(int signal);

// Gives the calling thread a signal stack if it has none, so that a fault
// with rsp on a guard page can still be handled.
void ensure_alternate_stack();

}  // namespace quorvel::runtime::signal_chain
