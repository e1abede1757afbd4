// Bodies for the engine as a whole: architecture, clear, execute, install.

#include "frontend/parser.hpp"
#include "lib/bodies.hpp"
#include "lib/run.hpp"
#include "runtime/guarded_run.hpp"

namespace quorvel::lib {

PyObject* none_result() { Py_RETURN_NONE; }

PyObject* status_result(const Status& status) { return status ? none_result() : raise(status.error()); }

PyObject* text_result(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* body_setup(Engine& engine, Arguments& args) {
  const Argument& arch = args[0];
  bool arm = arch.present && (arch.text == "aarch64" || arch.text == "arm64" || arch.text == "arm");
  engine.arch = arm ? Arch::AArch64 : Arch::X86_64;
  return none_result();
}

PyObject* body_clear(Engine& engine) {
  engine.source.clear();
  engine.code.clear();
  return none_result();
}

PyObject* body_execute(Engine& engine) {
  if (!engine.code_stack) {
    auto stack = runtime::CodeStack::create();
    if (!stack) return raise(stack.error());
    engine.code_stack.emplace(std::move(stack).value());
  }
  const std::string_view text = engine.source.text();
  if (Status updated = engine.code.update(text, engine.source.version(), engine.registers); !updated) {
    return raise_in_statement(updated.error(), text);
  }
  const codegen::KeptCode& code = engine.code;
  const codegen::Hazards& hazards = code.hazards();
  const runtime::GuardNeeds needs{hazards.divides, hazards.grows_stack, hazards.corrupts_frame, hazards.loops};
  PythonGuardedRun run(needs);
  if (!run.handle_pending_signals()) return nullptr;
  // A handler that forked left its child without the code pages: the child
  // builds them again.
  if (code.lost_in_fork()) {
    if (Status rebuilt = engine.code.update(text, engine.source.version(), engine.registers); !rebuilt) {
      return raise_in_statement(rebuilt.error(), text);
    }
  }
  runtime::RunOutcome outcome;
  if (!run.run(code.entry(), code.length(), *engine.code_stack, outcome)) return nullptr;
  switch (outcome.status) {
    case runtime::RunStatus::Completed:
      engine.registers.x86[registers::kRax] = outcome.rax;
      return none_result();
    case runtime::RunStatus::Faulted: {
      Error error = value_error(std::move(outcome.message));
      if (outcome.fault_offset) error.statement = code.statement_at(*outcome.fault_offset, text);
      return raise_in_statement(error, text);
    }
    case runtime::RunStatus::Interrupted:
    case runtime::RunStatus::Paused:
    case runtime::RunStatus::Breakpoint:
    case runtime::RunStatus::AtExit:
    case runtime::RunStatus::Refused: break;
  }
  return raise(value_error(std::move(outcome.message)));
}

PyObject* body_install(Engine& engine, Arguments& args) {
  if (!engine.code.present()) return raise(value_error("No executable buffer available"));
  return status_result(engine.code.install(args[0].text, engine.source.text()));
}

}  // namespace quorvel::lib
