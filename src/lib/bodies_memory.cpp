// Bodies for the flat memory, its allocator and transfers.

#include "lib/bodies.hpp"
#include "memory/transfer.hpp"

namespace quorvel::lib {
namespace {

std::optional<std::uint64_t> optional_u64(const Argument& argument) {
  if (!argument.present) return std::nullopt;
  return argument.u64;
}

PyObject* u64_result(const Result<std::uint64_t>& result) {
  return result ? PyLong_FromUnsignedLongLong(result.value()) : raise(result.error());
}

}  // namespace

PyObject* body_load_binary_file(Engine& engine, Arguments& args) {
  return u64_result(memory::load_binary_file(engine.memory, args[0].text, args[1].u64));
}

PyObject* body_load_bytes_to_memory(Engine& engine, Arguments& args) {
  return status_result(memory::load_bytes_to_memory(engine.memory, args[0].bytes, args[1].u64));
}

PyObject* body_write_bytes(Engine& engine, Arguments& args) {
  return status_result(memory::write_bytes(engine.memory, args[0].u64, args[1].bytes));
}

PyObject* body_read_bytes(Engine& engine, Arguments& args) {
  auto bytes = memory::read_bytes(engine.memory, args[0].u64, args[1].u64);
  if (!bytes) return raise(bytes.error());
  std::span<const std::uint8_t> view = bytes.value();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(view.size()));
  if (list == nullptr) return nullptr;
  // Byte values are cached small ints: no allocation per item.
  for (std::size_t i = 0; i < view.size(); ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), PyLong_FromLong(view[i]));
  }
  return list;
}

PyObject* body_clear_memory(Engine& engine, Arguments& args) {
  memory::clear_memory(engine.memory, engine.blocks, optional_u64(args[0]), optional_u64(args[1]));
  return none_result();
}

PyObject* body_save_memory_to_file(Engine& engine, Arguments& args) {
  return status_result(memory::save_memory_to_file(engine.memory, args[0].text, args[1].u64, args[2].u64));
}

PyObject* body_memory_size(Engine&) {
  // The same int every time, made on first use.
  static PyObject* size = nullptr;
  if (size == nullptr) size = PyLong_FromUnsignedLongLong(memory::kMemorySize);
  return Py_XNewRef(size);
}

PyObject* body_alloc(Engine& engine, Arguments& args) {
  return u64_result(engine.blocks.alloc(args[0].u64, engine.memory));
}

PyObject* body_free(Engine& engine, Arguments& args) { return PyBool_FromLong(engine.blocks.free(args[0].u64)); }

PyObject* body_memory_stats(Engine& engine) {
  const memory::MemoryStats stats = engine.blocks.stats();
  OwnedRef used(PyLong_FromUnsignedLongLong(stats.used));
  OwnedRef unused(PyLong_FromUnsignedLongLong(stats.free));
  OwnedRef blocks(PyLong_FromUnsignedLongLong(stats.blocks));
  if (!used || !unused || !blocks) return nullptr;
  return PyTuple_Pack(3, used.get(), unused.get(), blocks.get());
}

PyObject* body_write_mem(Engine& engine, Arguments& args) {
  return status_result(memory::write_mem(engine.memory, args[0].u64, args[1].u64, args[2].u8));
}

PyObject* body_read_mem(Engine& engine, Arguments& args) {
  return u64_result(memory::read_mem(engine.memory, args[0].u64, args[1].u8));
}

PyObject* body_get_memory_ptr(Engine& engine) {
  return PyLong_FromVoidPtr(engine.memory.data());
}

}  // namespace quorvel::lib
