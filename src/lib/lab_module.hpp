#pragma once
// The lab's native part: listings, diagnostics and the stepper, as a module
// object that the quorvel module carries in its private `_lab` attribute
// and that quorvel_lab imports as quorvel_lab._native.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "lib/binder.hpp"
#include "registers/register_file.hpp"

namespace quorvel::lib {

// A new reference, or nullptr with an error set.
PyObject* create_lab_module();

// What the lab's functions and types share. Each returns false with a
// Python error set.

// A str argument, viewed as UTF-8 (valid while the str lives).
bool lab_text_argument(PyObject* object, const char* name, std::string_view& out);
// Registers as the lab takes them: None, a mapping of names to ints or an
// iterable of (name, value) pairs, set in order as Quorvel.mov would on a
// fresh engine; a negative value is taken in two's complement.
bool lab_registers_argument(PyObject* object, registers::RegisterFile& out);
// A field of a record that the lab keeps in 32 bits: an int from 0 to 2**32 - 1.
bool lab_u32_field(PyObject* object, const char* name, std::uint32_t& out);
// A step limit: None for none, else an int of 0 or more.
bool lab_step_limit_argument(PyObject* object, bool& limited, std::uint64_t& out);
// Adds Step and Stepper, and the steps() function's type, to the module.
bool add_stepper_types(PyObject* module);

// C++ failures never cross into the interpreter: `body`'s result, or, when
// it throws, its result type's empty value with the Python error set.
template <class Body>
auto lab_guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    raise_escaped_exception();
    return decltype(body())();
  }
}

// A str of UTF-8 text; nullptr with an error set.
PyObject* lab_text(std::string_view text);

// The lab's records (Row, Step) compare, pickle and match as the tuple of
// their fields that `fields` makes, in the order `names` lists them.
using RecordFields = PyObject* (*)(PyObject* record);
bool lab_set_match_args(PyTypeObject* type, std::span<const char* const> names);
PyObject* lab_compare_records(PyObject* self, PyObject* other, int op, PyTypeObject* type, RecordFields fields);
PyObject* lab_reduce_record(PyObject* self, RecordFields fields);

}  // namespace quorvel::lib
