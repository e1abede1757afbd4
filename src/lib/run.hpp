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

// Runs the code under the guard. False with a Python error set when Python's
// signal handlers raised, before the run (a Ctrl-C that came during
// generation) or because of an interrupt that stopped it; otherwise the
// outcome is in `outcome`, and an interrupt that Python's handlers did not
// turn into an exception is reported there as Interrupted.
bool run_with_python_signals(runtime::GuardNeeds needs, const std::uint8_t* code, std::size_t length,
                             const runtime::CodeStack& stack, runtime::RunOutcome& outcome);

// The same for code that goes on from where it stopped.
bool resume_with_python_signals(runtime::Resumption& resumption, runtime::RunOutcome& outcome);

// Raises `error` with the note "in statement N: TEXT" when it names a
// statement of `text`.
PyObject* raise_in_statement(const Error& error, std::string_view text);

}  // namespace quorvel::lib
