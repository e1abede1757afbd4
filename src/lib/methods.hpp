#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvel::lib {

// The method table of Quorvel, in table order, built once.
PyMethodDef* quorvel_method_defs();

}  // namespace quorvel::lib
