#include "lib/run.hpp"

#include <string>

#include "frontend/parser.hpp"
#include "lib/binder.hpp"

namespace quorvel::lib {

bool PythonGuardedRun::run(const std::uint8_t* code, std::size_t length, const runtime::CodeStack& stack,
                           runtime::StepLog* steps, runtime::RunOutcome& outcome) {
  outcome = run_.run(code, length, stack, steps);
  // Python's handlers run now; what they raise (KeyboardInterrupt, a user's
  // TimeoutError) is the result of the call.
  return outcome.status != runtime::RunStatus::Interrupted || PyErr_CheckSignals() == 0;
}

bool run_with_python_signals(runtime::GuardNeeds needs, const std::uint8_t* code, std::size_t length,
                             const runtime::CodeStack& stack, runtime::StepLog* steps, runtime::RunOutcome& outcome) {
  PythonGuardedRun run(needs);
  return run.handle_pending_signals() && run.run(code, length, stack, steps, outcome);
}

// The message alone is the error's text; where it comes from is a note.
PyObject* raise_in_statement(const Error& error, std::string_view text) {
  raise(error);
  if (error.statement != 0) {
    std::string note = "in statement " + std::to_string(error.statement) + ": ";
    note += frontend::statement_code(text, error.statement);
    add_note_to_raised(note);
  }
  return nullptr;
}

}  // namespace quorvel::lib
