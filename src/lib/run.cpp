#include "lib/run.hpp"

#include <string>

#include "frontend/parser.hpp"
#include "lib/binder.hpp"

namespace quorvel::lib {

bool PythonGuardedRun::run(const std::uint8_t* code, std::size_t length, const runtime::CodeStack& stack,
                           runtime::RunOutcome& outcome) {
  outcome = run_.run(code, length, stack);
  return after_run(outcome);
}

bool PythonGuardedRun::resume(runtime::Resumption& resumption, runtime::RunOutcome& outcome) {
  outcome = run_.resume(resumption);
  return after_run(outcome);
}

// Python's handlers run now; what they raise (KeyboardInterrupt, a user's
// TimeoutError) is the result of the call. A run that could not start is
// the call's error.
bool PythonGuardedRun::after_run(const runtime::RunOutcome& outcome) {
  if (outcome.status == runtime::RunStatus::Refused) {
    raise(value_error(outcome.message));
    return false;
  }
  return outcome.status != runtime::RunStatus::Interrupted || PyErr_CheckSignals() == 0;
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
