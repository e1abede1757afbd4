#pragma once
// The lab's native part: listings, diagnostics and the stepper, as a module
// object that the quorvel module carries in its private `_lab` attribute
// and that quorvel_lab imports as quorvel_lab._native.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvel::lib {

// A new reference, or nullptr with an error set.
PyObject* create_lab_module();

}  // namespace quorvel::lib
