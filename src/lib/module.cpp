// Module entry: the Quorvel and CpuArch types, version(), and __all__.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>

#include "common/version.hpp"
#include "lib/binder.hpp"
#include "lib/lab_module.hpp"
#include "lib/methods.hpp"

namespace quorvel::lib {
namespace {

// Frees an instance of one of our heap types, which holds a reference to its type.
void free_instance(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  freefunc free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(object);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Quorvel

PyObject* quorvel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    if (reject_constructor_arguments(args, kwargs)) return nullptr;
    auto engine = std::make_unique<Engine>();
    if (engine->memory.init() != 0) return PyErr_NoMemory();
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    auto* self = reinterpret_cast<QuorvelObject*>(alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->engine = engine.release();
    self->borrow_count = 0;
    self->owner_thread = current_thread_serial();
    return reinterpret_cast<PyObject*>(self);
  } catch (...) {
    return raise_escaped_exception();
  }
}

// Nothing here can throw: the engine's destructor is noexcept, the rest is C.
void quorvel_dealloc(PyObject* object) noexcept {
  auto* self = reinterpret_cast<QuorvelObject*>(object);
  if (on_owner_thread(self)) {
    delete self->engine;
  } else {
    // The engine belongs to its creating thread; its resources are left alone.
    PyObject *type_saved, *value_saved, *traceback_saved;
    PyErr_Fetch(&type_saved, &value_saved, &traceback_saved);
    PyErr_SetString(PyExc_RuntimeError, "quorvel::Quorvel is unsendable, but is being dropped on another thread");
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type_saved, value_saved, traceback_saved);
  }
  self->engine = nullptr;
  free_instance(object);
}

PyTypeObject* create_quorvel_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(quorvel_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(quorvel_dealloc)},
      {Py_tp_methods, quorvel_method_defs()},
      {Py_tp_doc, const_cast<char*>("Quorvel()\n--\n\n")},
      {0, nullptr},
  };
  PyType_Spec spec = {"builtins.Quorvel", sizeof(QuorvelObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// ---------------------------------------------------------------------------
// CpuArch

struct CpuArchObject {
  PyObject_HEAD
  std::uint8_t value;
};

struct CpuArchMember {
  const char* name;
  const char* repr;
};

constexpr CpuArchMember kCpuArchMembers[] = {
    {"Auto", "CpuArch.Auto"},
    {"X86_64", "CpuArch.X86_64"},
    {"AArch64", "CpuArch.AArch64"},
};

PyTypeObject* cpu_arch_type = nullptr;

std::uint8_t cpu_arch_value(PyObject* object) { return reinterpret_cast<CpuArchObject*>(object)->value; }

PyObject* cpu_arch_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyObject* cpu_arch_repr(PyObject* self) { return PyUnicode_FromString(kCpuArchMembers[cpu_arch_value(self)].repr); }

PyObject* cpu_arch_int(PyObject* self) { return PyLong_FromLong(cpu_arch_value(self)); }

// Equality against anything with __index__, then against another member.
PyObject* cpu_arch_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long long mine = cpu_arch_value(self);
  long long theirs;
  PyObject* index = PyNumber_Index(other);
  if (index != nullptr) {
    theirs = PyLong_AsLongLong(index);
    Py_DECREF(index);
  }
  if (index == nullptr || (theirs == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    if (!PyObject_TypeCheck(other, cpu_arch_type)) Py_RETURN_NOTIMPLEMENTED;
    theirs = cpu_arch_value(other);
  }
  return PyBool_FromLong((mine == theirs) == (op == Py_EQ));
}

PyTypeObject* create_cpu_arch_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(cpu_arch_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
      {Py_tp_repr, reinterpret_cast<void*>(cpu_arch_repr)},
      {Py_nb_int, reinterpret_cast<void*>(cpu_arch_int)},
      {Py_tp_richcompare, reinterpret_cast<void*>(cpu_arch_richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_tp_doc, const_cast<char*>("")},
      {0, nullptr},
  };
  PyType_Spec spec = {"builtins.CpuArch", sizeof(CpuArchObject), 0, Py_TPFLAGS_DEFAULT, slots};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type == nullptr) return nullptr;
  for (std::uint8_t value = 0; value < std::size(kCpuArchMembers); ++value) {
    auto* member = reinterpret_cast<CpuArchObject*>(type->tp_alloc(type, 0));
    if (member == nullptr) {
      Py_DECREF(type);
      return nullptr;
    }
    member->value = value;
    int status = PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), kCpuArchMembers[value].name,
                                        reinterpret_cast<PyObject*>(member));
    Py_DECREF(member);
    if (status != 0) {
      Py_DECREF(type);
      return nullptr;
    }
  }
  return type;
}

// ---------------------------------------------------------------------------
// Module

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(QUORVEL_VERSION); }

PyMethodDef version_def = {"version", version, METH_NOARGS, "version()\n--\n\n"};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* the_module = nullptr;
std::int64_t first_interpreter = -1;

// Adds `value` (stolen) under `name` and appends the name to __all__.
int add_exported(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  int status = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  if (status != 0) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) != 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  status = text != nullptr ? PyList_Append(all, text) : -1;
  Py_XDECREF(text);
  Py_DECREF(all);
  return status;
}

PyObject* create_module() {
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  PyObject* module_name = PyModule_GetNameObject(module);
  bool ok = add_exported(module, "Quorvel", reinterpret_cast<PyObject*>(create_quorvel_type())) == 0;
  if (ok) {
    PyTypeObject* arch = create_cpu_arch_type();
    cpu_arch_type = arch;
    ok = arch != nullptr && (Py_INCREF(arch), add_exported(module, "CpuArch", reinterpret_cast<PyObject*>(arch))) == 0;
  }
  ok = ok && module_name != nullptr &&
       add_exported(module, "version", PyCFunction_NewEx(&version_def, nullptr, module_name)) == 0;
  Py_XDECREF(module_name);
  // Private and outside __all__: the lab's native part shares this module's
  // run guard, thread and interpreter rules.
  if (ok) {
    PyObject* lab = create_lab_module();
    ok = lab != nullptr && PyModule_AddObjectRef(module, "_lab", lab) == 0;
    Py_XDECREF(lab);
  }
  if (!ok) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace quorvel::lib

PyMODINIT_FUNC PyInit_quorvel() {
  using namespace quorvel::lib;
  std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return nullptr;
  if (first_interpreter == -1) {
    first_interpreter = interpreter;
  } else if (interpreter != first_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvel does not support sub-interpreters: it can only be imported in the main interpreter");
    return nullptr;
  }
  if (the_module == nullptr) {
    the_module = create_module();
    if (the_module == nullptr) return nullptr;
  }
  Py_INCREF(the_module);
  return the_module;
}
