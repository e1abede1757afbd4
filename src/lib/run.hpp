#pragma once
// Running generated code from Python: the run guard, with Python's own
// signal handling before and after it. Shared by execute() and the lab's
// stepper.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "common/result.hpp"
#include "runtime/guarded_run.hpp"

namespace quorvel::lib {

// A run armed from Python: the guard is armed first, then Python's pending
// signal handlers run, and only then is the code looked up and called, since
// a handler may have forked and a child has not inherited its parent's code
// pages.
class PythonGuardedRun {
 public:
  explicit PythonGuardedRun(runtime::GuardNeeds needs) : run_(needs) {}

  // False with a Python error set when Python's handlers raised (a Ctrl-C
  // that came during generation); one that comes after this check stops the
  // run before it starts.
  bool handle_pending_signals() { return PyErr_CheckSignals() == 0; }

  // Runs the code, or resumes it. False with a Python error set when an
  // interrupt stopped it and Python's handlers raised; otherwise the outcome
  // is in `outcome`, and an interrupt that Python's handlers did not turn
  // into an exception is reported there as Interrupted.
  bool run(const std::uint8_t* code, std::size_t length, const runtime::CodeStack& stack,
           runtime::RunOutcome& outcome);
  bool resume(runtime::Resumption& resumption, runtime::RunOutcome& outcome);

 private:
  bool after_run(const runtime::RunOutcome& outcome);

  runtime::GuardedRun run_;
};

// Raises `error` with the note "in statement N: TEXT" when it names a
// statement of `text`.
PyObject* raise_in_statement(const Error& error, std::string_view text);

}  // namespace quorvel::lib
