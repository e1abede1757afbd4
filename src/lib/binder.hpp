#pragma once
// Declarative argument binding. Each method of Quorvel is one MethodRow; the
// one binder in binder.cpp binds positional and keyword arguments, checks the
// owner thread, takes the borrow, converts the arguments and runs the body.
// Every binding message is produced there.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "lib/engine.hpp"

namespace quorvel::lib {

enum class Conversion : std::uint8_t { Text, U64, U8, Bytes, Object };
enum class Access : std::uint8_t { Shared, Exclusive };

struct Parameter {
  const char* name;
  Conversion conversion;
  bool required;
};

// A byte sequence argument: a view of an exporter's buffer when the object
// exports plain bytes, else the converted items.
class ByteArg {
 public:
  ByteArg() = default;
  ByteArg(const ByteArg&) = delete;
  ByteArg& operator=(const ByteArg&) = delete;
  ~ByteArg() { reset(); }

  // Converts like the "byte sequence" argument kind; false with a Python error set.
  bool convert(PyObject* object);
  std::span<const std::uint8_t> bytes() const { return bytes_; }

 private:
  void reset();

  Py_buffer view_{};
  bool has_view_ = false;
  std::vector<std::uint8_t> owned_;
  std::span<const std::uint8_t> bytes_;
};

struct Argument {
  bool present = false;  // false when left out or passed as None
  std::string_view text;
  std::uint64_t u64 = 0;
  std::uint8_t u8 = 0;
  ByteArg bytes;
  PyObject* object = nullptr;  // borrowed from the caller
};

inline constexpr std::size_t kMaxParameters = 3;
using Arguments = std::array<Argument, kMaxParameters>;
using Body = PyObject* (*)(Engine& engine, Arguments& args);

struct MethodRow {
  const char* name;
  std::array<Parameter, kMaxParameters> parameters;
  std::uint8_t parameter_count;
  bool takes_arguments;  // false: METH_NOARGS, the interpreter reports extra arguments
  Access access;
  Body body;
  const char* doc_body;
};

// The engine object as Python sees it.
struct QuorvelObject {
  PyObject_HEAD
  Engine* engine;
  Py_ssize_t borrow_count;  // 0 free, -1 exclusive, n > 0 shared
  unsigned long owner_thread;
};

PyObject* call_method(const MethodRow& row, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// Raises an Error as ValueError or as the panic exception; returns nullptr.
PyObject* raise(const Error& error);
PyObject* raise_panic(const char* message);
// Adds a PEP 678 note to the exception being raised.
void add_note_to_raised(const std::string& note);
PyObject* panic_exception_type();

// Messages for the constructor, which binds like a method without parameters.
bool reject_constructor_arguments(PyObject* args, PyObject* kwargs);

}  // namespace quorvel::lib
