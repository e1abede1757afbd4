#include "lib/run.hpp"

#include <string>

#include "frontend/parser.hpp"
#include "lib/binder.hpp"

namespace quorvel::lib {

bool run_with_python_signals(runtime::GuardNeeds needs, const std::uint8_t* code, std::size_t length,
                             const runtime::CodeStack& stack, runtime::RunOutcome& outcome) {
  runtime::GuardedRun run(needs);
  // A Ctrl-C during generation is Python's to handle now; one that comes
  // after this check stops the run before it starts.
  if (PyErr_CheckSignals() != 0) return false;
  outcome = run.run(code, length, stack);
  // Python's handlers run now; what they raise (KeyboardInterrupt, a user's
  // TimeoutError) is the result of the call.
  if (outcome.status == runtime::RunStatus::Interrupted && PyErr_CheckSignals() != 0) return false;
  return true;
}

bool resume_with_python_signals(runtime::Resumption& resumption, runtime::RunOutcome& outcome) {
  runtime::GuardedRun run(runtime::GuardNeeds{});
  if (PyErr_CheckSignals() != 0) return false;
  outcome = run.resume(resumption);
  if (outcome.status == runtime::RunStatus::Interrupted && PyErr_CheckSignals() != 0) return false;
  return true;
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
