// Bodies for the register file and its dumps.

#include "lib/bodies.hpp"

namespace quorvel::lib {

PyObject* body_mov(Engine& engine, Arguments& args) {
  return status_result(engine.registers.mov(args[0].text, args[1].u64));
}

PyObject* body_get(Engine& engine, Arguments& args) {
  std::string_view name = args[0].present ? args[0].text : std::string_view("rax");
  return PyLong_FromUnsignedLongLong(engine.registers.get(name));
}

PyObject* body_is_valid_register(Engine&, Arguments& args) {
  return PyBool_FromLong(registers::is_register_name(args[0].text));
}

PyObject* body_dump_regs(Engine& engine, Arguments&) {
  return text_result(engine.arch == Arch::AArch64 ? registers::dump_arm(engine.registers)
                                                  : registers::dump_x86(engine.registers));
}

PyObject* body_dump_regs_x86(Engine& engine, Arguments&) { return text_result(registers::dump_x86(engine.registers)); }

PyObject* body_dump_regs_arm(Engine& engine, Arguments&) { return text_result(registers::dump_arm(engine.registers)); }

}  // namespace quorvel::lib
