#pragma once
// Method bodies of Quorvel. Each receives the converted arguments in
// parameter order (a method without parameters receives only the engine)
// and returns a new reference, or nullptr with an error set.

#include "lib/binder.hpp"

namespace quorvel::lib {

PyObject* body_setup(Engine& engine, Arguments& args);
PyObject* body_asm(Engine& engine, Arguments& args);
PyObject* body_load_file(Engine& engine, Arguments& args);
PyObject* body_load_binary_file(Engine& engine, Arguments& args);
PyObject* body_load_bytes_to_memory(Engine& engine, Arguments& args);
PyObject* body_write_bytes(Engine& engine, Arguments& args);
PyObject* body_read_bytes(Engine& engine, Arguments& args);
PyObject* body_clear_memory(Engine& engine, Arguments& args);
PyObject* body_save_memory_to_file(Engine& engine, Arguments& args);
PyObject* body_memory_size(Engine& engine);
PyObject* body_alloc(Engine& engine, Arguments& args);
PyObject* body_free(Engine& engine, Arguments& args);
PyObject* body_memory_stats(Engine& engine);
PyObject* body_mov(Engine& engine, Arguments& args);
PyObject* body_get(Engine& engine, Arguments& args);
PyObject* body_write_mem(Engine& engine, Arguments& args);
PyObject* body_read_mem(Engine& engine, Arguments& args);
PyObject* body_get_memory_ptr(Engine& engine);
PyObject* body_get_arch(Engine& engine);
PyObject* body_execute(Engine& engine);
PyObject* body_install(Engine& engine, Arguments& args);
PyObject* body_clear(Engine& engine);
PyObject* body_dump_regs(Engine& engine);
PyObject* body_dump_regs_x86(Engine& engine);
PyObject* body_dump_regs_arm(Engine& engine);
PyObject* body_is_valid_register(Engine& engine, Arguments& args);

// Shared result conversions.
PyObject* none_result();
PyObject* status_result(const Status& status);
PyObject* text_result(std::string_view text);

}  // namespace quorvel::lib
