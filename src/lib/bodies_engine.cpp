// Bodies for the engine as a whole: architecture, clear, execute, install.

#include "codegen/generate.hpp"
#include "codegen/guarded_run.hpp"
#include "frontend/parser.hpp"
#include "lib/bodies.hpp"

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

PyObject* body_get_arch(Engine& engine, Arguments&) {
  switch (engine.arch) {
    case Arch::Auto: return text_result("auto");
    case Arch::X86_64: return text_result("x86_64");
    case Arch::AArch64: return text_result("aarch64");
  }
  return text_result("auto");
}

PyObject* body_clear(Engine& engine, Arguments&) {
  engine.source.clear();
  engine.exec_buffer.reset();
  engine.spare_code = platform::Mapping();
  return none_result();
}

namespace {

// Puts the run guard in front of the interrupt signals that have a Python
// handler (signal.getsignal gives a callable). Signals left to their default
// action keep it: they end the process during a run as at any other time.
bool claim_python_interrupt_signals() {
  static PyObject* getsignal = nullptr;
  if (getsignal == nullptr) {
    PyObject* module = PyImport_ImportModule("signal");
    if (module == nullptr) return false;
    getsignal = PyObject_GetAttrString(module, "getsignal");
    Py_DECREF(module);
    if (getsignal == nullptr) return false;
  }
  for (int signal : codegen::kInterruptSignals) {
    PyObject* number = PyLong_FromLong(signal);
    PyObject* handler = number != nullptr ? PyObject_CallOneArg(getsignal, number) : nullptr;
    Py_XDECREF(number);
    if (handler == nullptr) return false;
    bool handled = PyCallable_Check(handler);
    Py_DECREF(handler);
    if (handled) codegen::claim_interrupt_signal(signal);
  }
  return true;
}

// The message alone is the error's text; where it comes from is a note.
[[gnu::cold]] PyObject* raise_generation_error(const Error& error, std::string_view source) {
  raise(error);
  if (error.statement != 0) {
    std::string note = "in statement " + std::to_string(error.statement) + ": ";
    note += frontend::statement_code(source, error.statement);
    add_note_to_raised(note);
  }
  return nullptr;
}

}  // namespace

PyObject* body_execute(Engine& engine, Arguments&) {
  if (!engine.code_stack) {
    auto stack = codegen::CodeStack::create();
    if (!stack) return raise(stack.error());
    engine.code_stack.emplace(std::move(stack).value());
  }
  auto generated = codegen::generate(engine.source.text(), engine.registers, &engine.spare_code);
  if (!generated) return raise_generation_error(generated.error(), engine.source.text());
  if (engine.exec_buffer) engine.spare_code = std::move(*engine.exec_buffer).release();
  engine.exec_buffer.emplace(std::move(generated).value());

  if (!claim_python_interrupt_signals()) return nullptr;
  // A Ctrl-C during generation is Python's to handle now; one that comes
  // after this check stops the run before it starts.
  codegen::arm_interrupts();
  if (PyErr_CheckSignals() != 0) {
    codegen::disarm_interrupts();
    return nullptr;
  }
  codegen::RunOutcome outcome = codegen::run_guarded(*engine.exec_buffer, *engine.code_stack);
  switch (outcome.status) {
    case codegen::RunStatus::Completed:
      engine.registers.x86[registers::kRax] = outcome.rax;
      return none_result();
    case codegen::RunStatus::Faulted:
      return raise(value_error(std::move(outcome.message)));
    case codegen::RunStatus::Interrupted:
      // Python's handlers run now; what they raise (KeyboardInterrupt, a
      // user's TimeoutError) is the result of the call.
      if (PyErr_CheckSignals() != 0) return nullptr;
      return raise(value_error(std::move(outcome.message)));
  }
  return none_result();
}

PyObject* body_install(Engine& engine, Arguments& args) {
  if (!engine.exec_buffer) return raise(value_error("No executable buffer available"));
  return status_result(codegen::install(*engine.exec_buffer, args[0].text));
}

}  // namespace quorvel::lib
