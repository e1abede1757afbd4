#pragma once
// Declarative argument binding. Each method of Quorvel is one MethodRow; the
// entry templates below bind positional and keyword arguments, check the
// owner thread, take the borrow, convert the arguments and run the body.
// They are instantiated once per row (methods.cpp), so the row's constants
// fold into straight-line code; everything off the successful path is a cold
// call into binder.cpp, where every binding message is produced.
//
// Every entry is noexcept in effect: a C++ exception that escapes a body or
// a conversion is turned into a Python exception by one cold helper.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
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

// One strong reference, given back on every path.
class OwnedRef {
 public:
  explicit OwnedRef(PyObject* object = nullptr) noexcept : object_(object) {}
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference over to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_;
};

// A byte sequence argument: the bytes of an exact bytes, bytearray or
// memoryview of unsigned bytes, else the converted items.
class ByteArg {
 public:
  ByteArg() = default;
  ByteArg(const ByteArg&) = delete;
  ByteArg& operator=(const ByteArg&) = delete;
  ~ByteArg() {
    if (has_view_) PyBuffer_Release(&view_);
  }

  // Converts like the "byte sequence" argument kind; false with a Python error set.
  bool convert(PyObject* object);
  std::span<const std::uint8_t> bytes() const { return bytes_; }

 private:
  void reset();
  bool view_plain_bytes(PyObject* object);
  bool convert_items(PyObject* object);

  OwnedRef bytes_object_;  // keeps an exact bytes alive while its bytes are viewed
  Py_buffer view_;         // valid while has_view_
  bool has_view_ = false;
  std::vector<std::uint8_t> owned_;
  std::span<const std::uint8_t> bytes_;
};

// One converted argument. Only the field of the parameter's kind is set,
// and only when `present`; the scalar fields are left unset otherwise, as
// zeroing three arguments on every call costs more than the whole binding.
struct Argument {
  bool present = false;  // false when left out or passed as None
  std::string_view text;
  std::uint64_t u64;
  std::uint8_t u8;
  std::span<const std::uint8_t> bytes;
  PyObject* object;  // borrowed from the caller
};

inline constexpr std::size_t kMaxParameters = 3;
using Arguments = std::array<Argument, kMaxParameters>;
using Body = PyObject* (*)(Engine& engine, Arguments& args);
using NoArgBody = PyObject* (*)(Engine& engine);

struct MethodRow {
  const char* name;
  std::array<Parameter, kMaxParameters> parameters;
  std::uint8_t parameter_count;
  std::uint8_t required_count;
  bool takes_arguments;   // false: METH_NOARGS, the interpreter reports extra arguments
  Access access;
  Body body;              // when takes_arguments: METH_FASTCALL | METH_KEYWORDS
  NoArgBody no_arg_body;  // otherwise
  const char* doc_body;
};

// The engine object as Python sees it.
struct QuorvelObject {
  PyObject_HEAD
  Engine* engine;
  Py_ssize_t borrow_count;     // 0 free, -1 exclusive, n > 0 shared
  std::uint64_t owner_thread;  // the creating thread's serial
};

// ---------------------------------------------------------------------------
// Thread serials. A pthread_t is reused as soon as its thread is joined, so
// threads are told apart by a number from a counter that only grows, taken
// by a thread when it first creates an engine. A thread that never took one
// reads 0, which is no engine's owner: the owner check is one compare.

extern constinit thread_local std::uint64_t thread_serial [[gnu::tls_model("initial-exec")]];

// This thread's serial, taken now if it has none yet.
std::uint64_t current_thread_serial() noexcept;

inline bool on_owner_thread(const QuorvelObject* self) { return self->owner_thread == thread_serial; }

// ---------------------------------------------------------------------------
// Failures. Cold, out of line; each sets a Python error and returns nullptr.

// Call only from inside a catch handler: std::bad_alloc becomes MemoryError,
// any other exception the panic exception.
[[gnu::cold]] PyObject* raise_escaped_exception() noexcept;
[[gnu::cold]] PyObject* raise_foreign_thread();
[[gnu::cold]] PyObject* raise_borrow_conflict(Access access);

// Raises an Error as ValueError or as the panic exception; returns nullptr.
PyObject* raise(const Error& error);
PyObject* raise_panic(std::string_view message);
// Adds a PEP 678 note to the exception being raised.
void add_note_to_raised(const std::string& note);
PyObject* panic_exception_type();

// Messages for the constructor, which binds like a method without parameters.
bool reject_constructor_arguments(PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// The borrow rule.

template <Access access>
inline bool take_borrow(QuorvelObject* self) {
  if constexpr (access == Access::Exclusive) {
    if (self->borrow_count != 0) [[unlikely]] return false;
    self->borrow_count = -1;
  } else {
    if (self->borrow_count == -1) [[unlikely]] return false;
    ++self->borrow_count;
  }
  return true;
}

template <Access access>
inline void give_back_borrow(QuorvelObject* self) {
  if constexpr (access == Access::Exclusive) {
    self->borrow_count = 0;
  } else {
    --self->borrow_count;
  }
}

// ---------------------------------------------------------------------------
// Binding and conversion.

namespace detail {

// Fills `bound` from keywords or an unusual positional count; false with the
// binding TypeError set.
[[gnu::cold]] bool bind_unusual(const MethodRow& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                std::array<PyObject*, kMaxParameters>& bound);

// The conversions for anything but the common exact types. False with a
// Python error set.
bool convert_text_slow(PyObject* object, std::string_view& out);
bool convert_u64_slow(PyObject* object, std::uint64_t& out);
bool convert_u8_slow(PyObject* object, std::uint8_t& out);

// Re-raises a conversion TypeError naming the parameter.
[[gnu::cold]] void wrap_conversion_error(const char* parameter);

inline bool convert_text(PyObject* object, std::string_view& out) {
  if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) [[likely]] {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    return true;
  }
  return convert_text_slow(object, out);
}

// The value of an exact int small enough to be stored in one digit, read
// without a call where the interpreter lets it be read (3.12 on); false
// for anything else, which then takes the index protocol.
inline bool small_int_value(PyObject* object, Py_ssize_t& value) {
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyLong_CheckExact(object) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) return false;
  value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
  return true;
#else
  (void)object;
  (void)value;
  return false;
#endif
}

inline bool convert_u64(PyObject* object, std::uint64_t& out) {
  Py_ssize_t value;
  if (small_int_value(object, value) && value >= 0) [[likely]] {
    out = static_cast<std::uint64_t>(value);
    return true;
  }
  return convert_u64_slow(object, out);
}

inline bool convert_u8(PyObject* object, std::uint8_t& out) {
  Py_ssize_t value;
  if (small_int_value(object, value) && value >= 0 && value <= 255) [[likely]] {
    out = static_cast<std::uint8_t>(value);
    return true;
  }
  return convert_u8_slow(object, out);
}

// Converts bound argument `index` of `row` into `out`; false with a Python
// error set. The parameter's kind is a constant here.
template <const MethodRow& row, std::size_t index, class Bytes>
inline bool convert_parameter(PyObject* object, Argument& out, Bytes& bytes) {
  constexpr Parameter parameter = row.parameters[index];
  if (object == nullptr || (!parameter.required && object == Py_None)) return true;
  bool converted;
  if constexpr (parameter.conversion == Conversion::Text) {
    converted = convert_text(object, out.text);
  } else if constexpr (parameter.conversion == Conversion::U64) {
    converted = convert_u64(object, out.u64);
  } else if constexpr (parameter.conversion == Conversion::U8) {
    converted = convert_u8(object, out.u8);
  } else if constexpr (parameter.conversion == Conversion::Bytes) {
    converted = bytes.convert(object);
    out.bytes = bytes.bytes();
  } else {
    out.object = object;
    converted = true;
  }
  if (!converted) [[unlikely]] {
    wrap_conversion_error(parameter.name);
    return false;
  }
  out.present = true;
  return true;
}

template <const MethodRow& row>
constexpr bool has_byte_parameter() {
  for (std::size_t i = 0; i < row.parameter_count; ++i) {
    if (row.parameters[i].conversion == Conversion::Bytes) return true;
  }
  return false;
}

// Stands in for ByteArg in a method without a byte sequence parameter.
struct NoByteArg {};

}  // namespace detail

// The entry of a method with parameters, one instantiation per row of the
// method table: the parameter count and kinds are constants, so binding and
// conversion compile to straight-line code for exactly that row.
template <const MethodRow& row>
PyObject* call_with_arguments(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  constexpr std::size_t count = row.parameter_count;
  auto* self = reinterpret_cast<QuorvelObject*>(self_object);
  try {
    std::array<PyObject*, kMaxParameters> bound;
    if (kwnames == nullptr && nargs >= row.required_count && nargs <= static_cast<Py_ssize_t>(count)) [[likely]] {
      for (std::size_t i = 0; i < count; ++i) bound[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    } else if (!detail::bind_unusual(row, args, nargs, kwnames, bound)) {
      return nullptr;
    }

    if (!on_owner_thread(self)) [[unlikely]] return raise_foreign_thread();
    if (!take_borrow<row.access>(self)) [[unlikely]] return raise_borrow_conflict(row.access);
    struct GiveBack {
      QuorvelObject* self;
      ~GiveBack() { give_back_borrow<row.access>(self); }
    } give_back{self};

    Arguments converted;
    std::conditional_t<detail::has_byte_parameter<row>(), ByteArg, detail::NoByteArg> bytes;
    const bool all_converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (detail::convert_parameter<row, I>(bound[I], converted[I], bytes) && ...);
    }(std::make_index_sequence<count>());
    if (!all_converted) return nullptr;
    return row.body(*self->engine, converted);
  } catch (...) {
    return raise_escaped_exception();
  }
}

// The entry of a method without parameters: no binding, no argument array.
template <Access access, NoArgBody body>
PyObject* call_without_arguments(PyObject* self_object, PyObject*) noexcept {
  auto* self = reinterpret_cast<QuorvelObject*>(self_object);
  if (!on_owner_thread(self)) [[unlikely]] return raise_foreign_thread();
  if (!take_borrow<access>(self)) [[unlikely]] return raise_borrow_conflict(access);
  PyObject* result;
  try {
    result = body(*self->engine);
  } catch (...) {
    result = raise_escaped_exception();
  }
  give_back_borrow<access>(self);
  return result;
}

}  // namespace quorvel::lib
