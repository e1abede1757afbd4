// Bodies for the register file, its dumps and the architecture they follow.

#include "lib/bodies.hpp"

namespace quorvel::lib {

PyObject* body_mov(Engine& engine, Arguments& args) {
  Status moved = engine.registers.mov(args[0].text, args[1].u64);
  if (!moved) [[unlikely]] return raise(moved.error());
  Py_RETURN_NONE;
}

PyObject* body_get(Engine& engine, Arguments& args) {
  std::string_view name = args[0].present ? args[0].text : std::string_view("rax");
  return PyLong_FromUnsignedLongLong(engine.registers.get(name));
}

PyObject* body_is_valid_register(Engine&, Arguments& args) {
  return PyBool_FromLong(registers::is_register_name(args[0].text));
}

// The architecture only chooses which dump dump_regs() gives.
PyObject* body_get_arch(Engine& engine) {
  // One interned str per name, made on first use: the call allocates nothing.
  static constexpr const char* kNames[] = {"auto", "x86_64", "aarch64"};
  static PyObject* names[std::size(kNames)] = {};
  const auto arch = static_cast<std::size_t>(engine.arch);
  if (names[arch] == nullptr) names[arch] = PyUnicode_InternFromString(kNames[arch]);
  return Py_XNewRef(names[arch]);
}

PyObject* body_dump_regs(Engine& engine) {
  return text_result(engine.arch == Arch::AArch64 ? registers::dump_arm(engine.registers)
                                                  : registers::dump_x86(engine.registers));
}

PyObject* body_dump_regs_x86(Engine& engine) { return text_result(registers::dump_x86(engine.registers)); }

PyObject* body_dump_regs_arm(Engine& engine) { return text_result(registers::dump_arm(engine.registers)); }

}  // namespace quorvel::lib
