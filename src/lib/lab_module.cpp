// quorvel_lab._native: the lab's native part, carried by the quorvel module.
// Plain functions over the core; the Python package builds its objects from
// what these return.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>

#include "lab/check.hpp"
#include "lab/listing.hpp"
#include "lib/binder.hpp"
#include "lib/lab_module.hpp"
#include "lib/run.hpp"
#include "registers/register_file.hpp"

namespace quorvel::lib {

bool lab_text_argument(PyObject* object, const char* name, std::string_view& out) {
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

namespace {

constexpr const char* kRegistersExpected =
    "registers must be a mapping of register names to ints or an iterable of (name, value) pairs";

// A register value: an int from -2**63 to 2**64 - 1, negative ones taken in
// two's complement, as the command line takes them.
bool register_value(PyObject* name, PyObject* object, std::uint64_t& out) {
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "the value of register %R must be an int, not %.200s", name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (signed_value == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    out = static_cast<std::uint64_t>(signed_value);
    return true;
  }
  if (overflow > 0) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = value;
      return true;
    }
    PyErr_Clear();
  }
  PyErr_Format(PyExc_OverflowError,
               "the value of register %R is out of range: registers hold 64 bits, from -2**63 to 2**64 - 1", name);
  return false;
}

bool set_register(PyObject* pair, registers::RegisterFile& out) {
  if (!PyTuple_Check(pair) && !PyList_Check(pair)) {
    PyErr_Format(PyExc_TypeError, "%s; an item is %.200s, not a pair", kRegistersExpected, Py_TYPE(pair)->tp_name);
    return false;
  }
  OwnedRef items(PySequence_Tuple(pair));
  if (!items) return false;
  if (PyTuple_GET_SIZE(items.get()) != 2) {
    PyErr_Format(PyExc_TypeError, "%s; an item has %zd elements, not 2", kRegistersExpected,
                 PyTuple_GET_SIZE(items.get()));
    return false;
  }
  PyObject* name = PyTuple_GET_ITEM(items.get(), 0);
  std::string_view text;
  std::uint64_t value = 0;
  if (!lab_text_argument(name, "a register name", text) ||
      !register_value(name, PyTuple_GET_ITEM(items.get(), 1), value)) {
    return false;
  }
  if (Status moved = out.mov(text, value); !moved) {
    raise(moved.error());
    return false;
  }
  return true;
}

}  // namespace

bool lab_registers_argument(PyObject* object, registers::RegisterFile& out) {
  if (object == Py_None) return true;
  OwnedRef pairs;
  if (PyDict_Check(object)) {
    pairs = OwnedRef(PyDict_Items(object));
  } else if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s, not %.200s", kRegistersExpected, Py_TYPE(object)->tp_name);
    return false;
  } else if (PyObject_HasAttrString(object, "keys")) {
    pairs = OwnedRef(PyMapping_Items(object));
  } else {
    pairs = OwnedRef(PyObject_GetIter(object));
    if (!pairs && PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s, not %.200s", kRegistersExpected, Py_TYPE(object)->tp_name);
    }
  }
  if (!pairs) return false;
  OwnedRef iterator(PyObject_GetIter(pairs.get()));
  if (!iterator) return false;
  while (OwnedRef pair{PyIter_Next(iterator.get())}) {
    if (!set_register(pair.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

bool lab_step_limit_argument(PyObject* object, bool& limited, std::uint64_t& out) {
  limited = object != Py_None;
  if (!limited) return true;
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "max_steps must be an int or None, not %.200s", Py_TYPE(object)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_SetString(PyExc_ValueError, "max_steps must be at least 0");
    return false;
  }
  // More steps than any run can take is no limit.
  out = overflow > 0 ? UINT64_MAX : static_cast<std::uint64_t>(value);
  return true;
}

namespace {

bool expect_arguments(const char* function, Py_ssize_t given, Py_ssize_t wanted) {
  if (given == wanted) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", function, wanted, given);
  return false;
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
  return lab_compare_records(self, other, op, row_type, row_fields);
}

}  // namespace

bool lab_u32_field(PyObject* object, const char* name, std::uint32_t& out) {
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || value > UINT32_MAX) {
    PyErr_Format(PyExc_ValueError, "%s must be from 0 to 4294967295, not %R", name, object);
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

PyObject* lab_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

bool lab_set_match_args(PyTypeObject* type, std::span<const char* const> names) {
  OwnedRef match_args(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!match_args) return false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = PyUnicode_InternFromString(names[i]);
    if (name == nullptr) return false;
    PyTuple_SET_ITEM(match_args.get(), static_cast<Py_ssize_t>(i), name);
  }
  // An immutable type takes its class attributes before it is finished.
  if (PyDict_SetItemString(type->tp_dict, "__match_args__", match_args.get()) != 0) return false;
  PyType_Modified(type);
  return true;
}

PyObject* lab_compare_records(PyObject* self, PyObject* other, int op, PyTypeObject* type, RecordFields fields) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, type)) Py_RETURN_NOTIMPLEMENTED;
  OwnedRef mine(fields(self));
  OwnedRef theirs(fields(other));
  if (!mine || !theirs) return nullptr;
  return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

// Pickles as the call that makes the record again.
PyObject* lab_reduce_record(PyObject* self, RecordFields fields) {
  OwnedRef values(fields(self));
  if (!values) return nullptr;
  return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), values.get());
}

namespace {

// Row(statement, line, text, offset, data), like the record it stands for.
PyObject* row_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {const_cast<char*>(kRowFields[0]), const_cast<char*>(kRowFields[1]),
                             const_cast<char*>(kRowFields[2]), const_cast<char*>(kRowFields[3]),
                             const_cast<char*>(kRowFields[4]), nullptr};
  PyObject *statement_object = nullptr, *line_object = nullptr, *offset_object = nullptr;
  PyObject* text = nullptr;
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOUOS:Row", keywords, &statement_object, &line_object, &text,
                                   &offset_object, &data)) {
    return nullptr;
  }
  std::uint32_t statement = 0, line = 0, offset = 0;
  if (!lab_u32_field(statement_object, "statement", statement) || !lab_u32_field(line_object, "line", line) ||
      !lab_u32_field(offset_object, "offset", offset)) {
    return nullptr;
  }
  if (PyBytes_GET_SIZE(data) > UINT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "data must be at most 4294967295 bytes");
    return nullptr;
  }
  Py_ssize_t text_length = 0;
  if (PyUnicode_AsUTF8AndSize(text, &text_length) == nullptr) return nullptr;
  return new_row(text, 0, static_cast<std::size_t>(text_length), data, 0, statement, line, offset,
                 static_cast<std::uint32_t>(PyBytes_GET_SIZE(data)));
}

PyObject* row_reduce(PyObject* self, PyObject*) { return lab_reduce_record(self, row_fields); }

PyMethodDef row_methods[] = {
    {"__reduce__", row_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

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
      {Py_tp_methods, row_methods},
      {Py_tp_doc, const_cast<char*>("Row(statement, line, text, offset, data)\n--\n\n"
                                    "One kept statement of a listing and the bytes it became.")},
      {0, nullptr},
  };
  PyType_Spec spec = {"quorvel_lab.Row", sizeof(RowObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      slots};
  OwnedRef type(PyType_FromSpec(&spec));
  if (!type || !lab_set_match_args(reinterpret_cast<PyTypeObject*>(type.get()), kRowFields)) return nullptr;
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

PyObject* listing(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return lab_guarded([&]() -> PyObject* {
    if (!expect_arguments("listing", nargs, 2)) return nullptr;
    std::string_view source;
    registers::RegisterFile registers;
    if (!lab_text_argument(args[0], "source", source) || !lab_registers_argument(args[1], registers)) return nullptr;
    Result<lab::Listing> made = lab::make_listing(source, registers);
    if (!made) return raise_in_statement(made.error(), source);
    return listing_objects(made.value(), args[0], source);
  });
}

PyObject* check(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return lab_guarded([&]() -> PyObject* {
    if (!expect_arguments("check", nargs, 1)) return nullptr;
    std::string_view source;
    if (!lab_text_argument(args[0], "source", source)) return nullptr;
    const std::vector<lab::Diagnostic> diagnostics = lab::check_program(source);
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(diagnostics.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < diagnostics.size(); ++i) {
      const lab::Diagnostic& diagnostic = diagnostics[i];
      OwnedRef message(lab_text(diagnostic.message));
      if (!message) return nullptr;
      const char* severity = diagnostic.severity == lab::Severity::Error ? "error" : "warning";
      PyObject* tuple = Py_BuildValue("(IIsO)", diagnostic.statement, diagnostic.line, severity, message.get());
      if (tuple == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
  });
}

PyMethodDef functions[] = {
    {"listing", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(listing)), METH_FASTCALL,
     "listing(source, registers, /)\n--\n\nThe generated function and where each statement's bytes are."},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check)), METH_FASTCALL,
     "check(source, /)\n--\n\nEvery error and warning of a program."},
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
  if (!module || PyModule_AddObjectRef(module.get(), "Row", reinterpret_cast<PyObject*>(row_type)) != 0 ||
      !add_stepper_types(module.get())) {
    return nullptr;
  }
  return module.release();
}

}  // namespace quorvel::lib
