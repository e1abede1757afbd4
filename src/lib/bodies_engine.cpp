// Bodies for the engine as a whole: architecture, clear, execute, install.

#include "codegen/generate.hpp"
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
  return none_result();
}

PyObject* body_execute(Engine& engine, Arguments&) {
  auto generated = codegen::generate(engine.source.text(), engine.registers);
  if (!generated) return raise(generated.error());
  engine.exec_buffer.reset();
  engine.exec_buffer.emplace(std::move(generated).value());
  engine.registers.x86[registers::kRax] = codegen::run(*engine.exec_buffer);
  return none_result();
}

PyObject* body_install(Engine& engine, Arguments& args) {
  if (!engine.exec_buffer) return raise(value_error("No executable buffer available"));
  return status_result(codegen::install(*engine.exec_buffer, args[0].text));
}

}  // namespace quorvel::lib
