// quorvel_lab._native: the lab's native part, carried by the quorvel module.
// Plain functions over the core; the Python package builds its objects from
// what these return.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>

#include "lab/check.hpp"
#include "lab/listing.hpp"
#include "lab/trace.hpp"
#include "lib/binder.hpp"
#include "lib/lab_module.hpp"
#include "lib/run.hpp"
#include "registers/register_file.hpp"
#include "runtime/code_stack.hpp"

namespace quorvel::lib {
namespace {

bool text_argument(PyObject* object, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// The registers as Quorvel.mov would set them on a fresh engine, in the
// mapping's order.
bool registers_argument(PyObject* object, registers::RegisterFile& out) {
  if (object == Py_None) return true;
  if (!PyMapping_Check(object)) {
    PyErr_Format(PyExc_TypeError, "registers must be a mapping of names to ints, not %.200s",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  OwnedRef items(PyMapping_Items(object));
  if (!items) return false;
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    std::string_view name;
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
      PyErr_SetString(PyExc_TypeError, "registers must be a mapping of names to ints");
      return false;
    }
    if (!text_argument(PyTuple_GET_ITEM(item, 0), "a register name", name)) return false;
    std::uint64_t value = 0;
    if (!detail::convert_u64(PyTuple_GET_ITEM(item, 1), value)) return false;
    if (Status moved = out.mov(name, value); !moved) {
      raise(moved.error());
      return false;
    }
  }
  return true;
}

bool count_argument(PyObject* object, std::size_t& out) {
  const Py_ssize_t value = PyNumber_AsSsize_t(object, PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0) {
    PyErr_SetString(PyExc_ValueError, "max_steps must be at least 0");
    return false;
  }
  out = static_cast<std::size_t>(value);
  return true;
}

bool expect_arguments(const char* function, Py_ssize_t given, Py_ssize_t wanted) {
  if (given == wanted) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", function, wanted, given);
  return false;
}

PyObject* text_object(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* bytes_object(const std::uint8_t* data, std::size_t size) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

// ---------------------------------------------------------------------------
// Row: one statement of a listing. A listing of a large program has a row
// per statement, so a row is made with no Python object of its own beyond
// itself: it keeps the source text and the code, and its text and bytes are
// cut from them when asked for.

struct RowObject {
  PyObject_HEAD
  PyObject* source;  // a str: the row's text is a slice of its UTF-8
  PyObject* code;    // a bytes: the row's data is a slice of it
  std::uint32_t statement;
  std::uint32_t line;
  std::uint32_t offset;
  std::uint32_t size;
  std::size_t text_begin;
  std::size_t text_length;
  std::size_t data_begin;
};

PyTypeObject* row_type = nullptr;

constexpr const char* kRowFields[] = {"statement", "line", "text", "offset", "data"};

PyObject* new_row(PyObject* source, std::size_t text_begin, std::size_t text_length, PyObject* code,
                  std::size_t data_begin, std::uint32_t statement, std::uint32_t line, std::uint32_t offset,
                  std::uint32_t size) {
  auto* row = PyObject_New(RowObject, row_type);
  if (row == nullptr) return nullptr;
  row->source = Py_NewRef(source);
  row->code = Py_NewRef(code);
  row->statement = statement;
  row->line = line;
  row->offset = offset;
  row->size = size;
  row->text_begin = text_begin;
  row->text_length = text_length;
  row->data_begin = data_begin;
  return reinterpret_cast<PyObject*>(row);
}

RowObject* as_row(PyObject* object) { return reinterpret_cast<RowObject*>(object); }

PyObject* row_text(PyObject* self, void*) {
  const RowObject* row = as_row(self);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(row->source, &size);
  if (utf8 == nullptr) return nullptr;
  return PyUnicode_DecodeUTF8(utf8 + row->text_begin, static_cast<Py_ssize_t>(row->text_length), "strict");
}

PyObject* row_data(PyObject* self, void*) {
  const RowObject* row = as_row(self);
  return PyBytes_FromStringAndSize(PyBytes_AS_STRING(row->code) + row->data_begin, row->size);
}

PyObject* row_statement(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_row(self)->statement); }
PyObject* row_line(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_row(self)->line); }
PyObject* row_offset(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_row(self)->offset); }

PyGetSetDef row_getset[] = {
    {"statement", row_statement, nullptr, "The statement's number, as in \"Line N\" messages.", nullptr},
    {"line", row_line, nullptr, "The physical line of the source it is on, from 1.", nullptr},
    {"text", row_text, nullptr, "The statement as written, trimmed.", nullptr},
    {"offset", row_offset, nullptr, "Where its bytes start in the code.", nullptr},
    {"data", row_data, nullptr, "The bytes it became.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The fields in order, as a tuple: what comparison and repr work from.
PyObject* row_fields(PyObject* self) {
  OwnedRef text(row_text(self, nullptr));
  OwnedRef data(row_data(self, nullptr));
  if (!text || !data) return nullptr;
  const RowObject* row = as_row(self);
  return Py_BuildValue("(kkOkO)", static_cast<unsigned long>(row->statement), static_cast<unsigned long>(row->line),
                       text.get(), static_cast<unsigned long>(row->offset), data.get());
}

PyObject* row_repr(PyObject* self) {
  OwnedRef fields(row_fields(self));
  if (!fields) return nullptr;
  return PyUnicode_FromFormat("Row(statement=%S, line=%S, text=%R, offset=%S, data=%R)",
                              PyTuple_GET_ITEM(fields.get(), 0), PyTuple_GET_ITEM(fields.get(), 1),
                              PyTuple_GET_ITEM(fields.get(), 2), PyTuple_GET_ITEM(fields.get(), 3),
                              PyTuple_GET_ITEM(fields.get(), 4));
}

PyObject* row_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, row_type)) Py_RETURN_NOTIMPLEMENTED;
  OwnedRef mine(row_fields(self));
  OwnedRef theirs(row_fields(other));
  if (!mine || !theirs) return nullptr;
  return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

// Row(statement, line, text, offset, data), like the record it stands for.
PyObject* row_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {const_cast<char*>(kRowFields[0]), const_cast<char*>(kRowFields[1]),
                             const_cast<char*>(kRowFields[2]), const_cast<char*>(kRowFields[3]),
                             const_cast<char*>(kRowFields[4]), nullptr};
  unsigned int statement = 0, line = 0, offset = 0;
  PyObject* text = nullptr;
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "IIUIS:Row", keywords, &statement, &line, &text, &offset, &data)) {
    return nullptr;
  }
  Py_ssize_t text_length = 0;
  if (PyUnicode_AsUTF8AndSize(text, &text_length) == nullptr) return nullptr;
  return new_row(text, 0, static_cast<std::size_t>(text_length), data, 0, statement, line, offset,
                 static_cast<std::uint32_t>(PyBytes_GET_SIZE(data)));
}

void row_dealloc(PyObject* self) {
  RowObject* row = as_row(self);
  Py_XDECREF(row->source);
  Py_XDECREF(row->code);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyTypeObject* create_row_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(row_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(row_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(row_repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(row_richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_tp_getset, row_getset},
      {Py_tp_doc, const_cast<char*>("Row(statement, line, text, offset, data)\n--\n\n"
                                    "One kept statement of a listing and the bytes it became.")},
      {0, nullptr},
  };
  PyType_Spec spec = {"quorvel_lab.Row", sizeof(RowObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      slots};
  OwnedRef type(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  OwnedRef match_args(Py_BuildValue("(sssss)", kRowFields[0], kRowFields[1], kRowFields[2], kRowFields[3],
                               kRowFields[4]));
  if (!match_args) return nullptr;
  // An immutable type takes its class attributes before it is finished.
  if (PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(type.get())->tp_dict, "__match_args__",
                           match_args.get()) != 0) {
    return nullptr;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  return reinterpret_cast<PyTypeObject*>(type.release());
}

// (code, [Row, ...]): the rows cut their text from `source`, whose UTF-8
// is `text`, and their bytes from the code.
PyObject* listing_objects(const lab::Listing& listing, PyObject* source, std::string_view text) {
  OwnedRef code(bytes_object(listing.code.data(), listing.code.size()));
  if (!code) return nullptr;
  OwnedRef rows(PyList_New(static_cast<Py_ssize_t>(listing.rows.size())));
  if (!rows) return nullptr;
  for (std::size_t i = 0; i < listing.rows.size(); ++i) {
    const lab::ListingRow& row = listing.rows[i];
    PyObject* object = new_row(source, static_cast<std::size_t>(row.text.data() - text.data()), row.text.size(),
                               code.get(), row.offset, row.statement, row.line, row.offset, row.size);
    if (object == nullptr) return nullptr;
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), object);
  }
  return PyTuple_Pack(2, code.get(), rows.get());
}

// C++ failures never cross into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_escaped_exception();
  }
}

PyObject* listing(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!expect_arguments("listing", nargs, 2)) return nullptr;
    std::string_view source;
    registers::RegisterFile registers;
    if (!text_argument(args[0], "source", source) || !registers_argument(args[1], registers)) return nullptr;
    Result<lab::Listing> made = lab::make_listing(source, registers);
    if (!made) return raise_in_statement(made.error(), source);
    return listing_objects(made.value(), args[0], source);
  });
}

PyObject* check(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!expect_arguments("check", nargs, 1)) return nullptr;
    std::string_view source;
    if (!text_argument(args[0], "source", source)) return nullptr;
    const std::vector<lab::Diagnostic> diagnostics = lab::check_program(source);
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(diagnostics.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < diagnostics.size(); ++i) {
      const lab::Diagnostic& diagnostic = diagnostics[i];
      OwnedRef message(text_object(diagnostic.message));
      if (!message) return nullptr;
      const char* severity = diagnostic.severity == lab::Severity::Error ? "error" : "warning";
      PyObject* tuple = Py_BuildValue("(IIsO)", diagnostic.statement, diagnostic.line, severity, message.get());
      if (tuple == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
  });
}

// The stack traced code runs on, shared by every trace of the process:
// runs never overlap.
const runtime::CodeStack* trace_stack() {
  static std::optional<runtime::CodeStack> stack;
  if (!stack) {
    Result<runtime::CodeStack> created = runtime::CodeStack::create();
    if (!created) {
      raise(created.error());
      return nullptr;
    }
    stack.emplace(std::move(created).value());
  }
  return &*stack;
}

PyObject* step_objects(const lab::TracePlan& plan, const runtime::StepLog& log) {
  OwnedRef steps(PyList_New(static_cast<Py_ssize_t>(log.count)));
  if (!steps) return nullptr;
  for (std::size_t i = 0; i < log.count; ++i) {
    const runtime::StepRecord& record = log.records[i];
    OwnedRef registers(PyTuple_New(runtime::kTracedRegisterCount));
    if (!registers) return nullptr;
    for (std::size_t r = 0; r < runtime::kTracedRegisterCount; ++r) {
      PyObject* value = PyLong_FromUnsignedLongLong(record.registers[r]);
      if (value == nullptr) return nullptr;
      PyTuple_SET_ITEM(registers.get(), static_cast<Py_ssize_t>(r), value);
    }
    const std::uint32_t statement = plan.statement_of_step(record.offset);
    const std::uint32_t offset = plan.listing().rows[statement - 1].offset;
    PyObject* tuple = Py_BuildValue("(IIOK)", statement, offset, registers.get(),
                                    static_cast<unsigned long long>(record.rflags));
    if (tuple == nullptr) return nullptr;
    PyList_SET_ITEM(steps.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  return steps.release();
}

PyObject* trace(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!expect_arguments("trace", nargs, 3)) return nullptr;
    std::string_view source;
    registers::RegisterFile registers;
    std::size_t max_steps = 0;
    if (!text_argument(args[0], "source", source) || !registers_argument(args[1], registers) ||
        !count_argument(args[2], max_steps)) {
      return nullptr;
    }
    Result<lab::TracePlan> planned = lab::TracePlan::create(source, registers, max_steps);
    if (!planned) return raise_in_statement(planned.error(), source);
    lab::TracePlan& plan = planned.value();
    const runtime::CodeStack* stack = trace_stack();
    if (stack == nullptr) return nullptr;

    runtime::RunOutcome outcome;
    if (!run_with_python_signals(runtime::GuardNeeds{}, plan.entry(), plan.length(), *stack, &plan.log(), outcome)) {
      return nullptr;
    }
    if (outcome.status == runtime::RunStatus::OutOfMemory) return PyErr_NoMemory();
    OwnedRef code_and_rows(listing_objects(plan.listing(), args[0], source));
    if (!code_and_rows) return nullptr;
    OwnedRef steps(step_objects(plan, plan.log()));
    if (!steps) return nullptr;
    OwnedRef rax(outcome.status == runtime::RunStatus::Completed ? PyLong_FromUnsignedLongLong(outcome.rax)
                                                            : Py_NewRef(Py_None));
    if (!rax) return nullptr;
    std::string_view stopped = outcome.message;
    if (outcome.status == runtime::RunStatus::Completed) stopped = "completed";
    if (outcome.status == runtime::RunStatus::StepLimit) stopped = "max_steps";
    OwnedRef stopped_text(text_object(stopped));
    if (!stopped_text) return nullptr;
    return PyTuple_Pack(5, PyTuple_GET_ITEM(code_and_rows.get(), 0), PyTuple_GET_ITEM(code_and_rows.get(), 1),
                        steps.get(), rax.get(), stopped_text.get());
  });
}

PyMethodDef functions[] = {
    {"listing", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(listing)), METH_FASTCALL,
     "listing(source, registers, /)\n--\n\nThe generated function and where each statement's bytes are."},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check)), METH_FASTCALL,
     "check(source, /)\n--\n\nEvery error and warning of a program."},
    {"trace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trace)), METH_FASTCALL,
     "trace(source, registers, max_steps, /)\n--\n\nRuns a program one instruction at a time."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvel_lab._native", "The native part of quorvel_lab.", 0,
                          functions, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyObject* create_lab_module() {
  if (row_type == nullptr) {
    row_type = create_row_type();
    if (row_type == nullptr) return nullptr;
  }
  OwnedRef module(PyModule_Create(&module_def));
  if (!module || PyModule_AddObjectRef(module.get(), "Row", reinterpret_cast<PyObject*>(row_type)) != 0) return nullptr;
  return module.release();
}

}  // namespace quorvel::lib
