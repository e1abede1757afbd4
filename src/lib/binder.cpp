#include "lib/binder.hpp"

#include <cstring>
#include <string>

namespace quorvel::lib {
namespace {

// ---------------------------------------------------------------------------
// Message texts. All binding messages are built here, off the hot path.

[[gnu::cold]] std::string qualified_method_name(const char* method) {
  std::string name = "Quorvel.";
  name += method;
  name += "()";
  return name;
}

[[gnu::cold]] std::string type_name_of(PyObject* object) {
  PyObject* qualname = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
  if (qualname != nullptr && PyUnicode_Check(qualname)) {
    const char* text = PyUnicode_AsUTF8(qualname);
    if (text != nullptr) {
      std::string name = text;
      Py_DECREF(qualname);
      return name;
    }
  }
  Py_XDECREF(qualname);
  PyErr_Clear();
  return "<failed to extract type name>";
}

[[gnu::cold]] void raise_too_many_positional(const std::string& name, std::size_t total, std::size_t required,
                                             Py_ssize_t given) {
  std::string message = name + " takes ";
  if (required == total) {
    message += std::to_string(total);
  } else {
    message += "from " + std::to_string(required) + " to " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

[[gnu::cold]] void raise_keyword_error(const std::string& name, const char* what, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s %s '%U'", name.c_str(), what, keyword);
}

[[gnu::cold]] void raise_missing(const std::string& name, const std::vector<const char*>& missing) {
  std::string message = name + " missing " + std::to_string(missing.size()) + " required positional argument";
  if (missing.size() > 1) message += 's';
  message += ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) message += (i + 1 == missing.size()) ? " and " : ", ";
    message += '\'';
    message += missing[i];
    message += '\'';
  }
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

[[gnu::cold]] void raise_cannot_convert(PyObject* object, const char* target) {
  std::string message = "'" + type_name_of(object) + "' object cannot be converted to '" + target + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

[[gnu::cold]] void raise_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// A conversion TypeError is re-raised naming the parameter; the new error
// keeps the old one's cause. Other errors pass through unchanged.
[[gnu::cold]] void wrap_conversion_error(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  if (text == nullptr) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyObject* replacement = PyUnicode_FromFormat("argument '%s': %U", parameter, text);
  Py_DECREF(text);
  PyObject* error = replacement != nullptr ? PyObject_CallOneArg(PyExc_TypeError, replacement) : nullptr;
  Py_XDECREF(replacement);
  if (error == nullptr) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  PyException_SetCause(error, PyException_GetCause(value));
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_SetObject(PyExc_TypeError, error);
  Py_DECREF(error);
}

// ---------------------------------------------------------------------------
// Conversions.

bool convert_text(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_u64(PyObject* object, std::uint64_t& out) {
  PyObject* index = PyNumber_Index(object);
  if (index == nullptr) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_u8(PyObject* object, std::uint8_t& out) {
  long value;
  if (PyLong_CheckExact(object)) {
    value = PyLong_AsLong(object);
  } else {
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) return false;
    value = PyLong_AsLong(index);
    Py_DECREF(index);
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    raise_out_of_range();
    return false;
  }
  out = static_cast<std::uint8_t>(value);
  return true;
}

bool convert_argument(const Parameter& parameter, PyObject* object, Argument& out) {
  switch (parameter.conversion) {
    case Conversion::Text: return convert_text(object, out.text);
    case Conversion::U64: return convert_u64(object, out.u64);
    case Conversion::U8: return convert_u8(object, out.u8);
    case Conversion::Bytes: return out.bytes.convert(object);
    case Conversion::Object: out.object = object; return true;
  }
  return false;
}

// The borrow of one call; given back on every path.
class Borrow {
 public:
  Borrow(QuorvelObject* self, Access access) : self_(self), access_(access) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  bool take() {
    if (access_ == Access::Exclusive) {
      if (self_->borrow_count != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
      }
      self_->borrow_count = -1;
    } else {
      if (self_->borrow_count == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
      ++self_->borrow_count;
    }
    taken_ = true;
    return true;
  }

  ~Borrow() {
    if (!taken_) return;
    if (access_ == Access::Exclusive) {
      self_->borrow_count = 0;
    } else {
      --self_->borrow_count;
    }
  }

 private:
  QuorvelObject* self_;
  Access access_;
  bool taken_ = false;
};

bool on_owner_thread(const QuorvelObject* self) {
  if (PyThread_get_thread_ident() == self->owner_thread) return true;
  raise_panic("quorvel::Quorvel is unsendable, but sent to another thread");
  return false;
}

}  // namespace

void ByteArg::reset() {
  if (has_view_) PyBuffer_Release(&view_);
  has_view_ = false;
  owned_.clear();
  bytes_ = {};
}

bool ByteArg::convert(PyObject* object) {
  reset();
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cannot_convert(object, "Sequence");
    return false;
  }
  // Exporters of plain unsigned bytes iterate to exactly their bytes, so
  // their buffer is used directly.
  if (PyObject_CheckBuffer(object)) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
      has_view_ = true;
      bool plain = view_.itemsize == 1 && view_.ndim == 1 &&
                   (view_.format == nullptr || std::strcmp(view_.format, "B") == 0);
      if (plain) {
        bytes_ = {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
        return true;
      }
      PyBuffer_Release(&view_);
      has_view_ = false;
    } else {
      PyErr_Clear();
    }
  }
  PyObject* iterator = PyObject_GetIter(object);
  if (iterator == nullptr) return false;
  Py_ssize_t hint = PyObject_LengthHint(object, 0);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    owned_.reserve(static_cast<std::size_t>(hint));
  }
  while (PyObject* item = PyIter_Next(iterator)) {
    std::uint8_t byte = 0;
    bool converted = convert_u8(item, byte);
    Py_DECREF(item);
    if (!converted) {
      Py_DECREF(iterator);
      return false;
    }
    owned_.push_back(byte);
  }
  Py_DECREF(iterator);
  if (PyErr_Occurred()) return false;
  bytes_ = owned_;
  return true;
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "An internal invariant of quorvel failed; the operation could not complete.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);
  return nullptr;
}

PyObject* raise(const Error& error) {
  if (error.kind == ErrorKind::Panic) return raise_panic(error.message.c_str());
  PyErr_SetString(PyExc_ValueError, error.message.c_str());
  return nullptr;
}

void add_note_to_raised(const std::string& note) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size()));
  if (text != nullptr && value != nullptr) {
    // BaseException.add_note exists from Python 3.11; __notes__ is what it fills.
    PyObject* notes = PyObject_GetAttrString(value, "__notes__");
    if (notes == nullptr) {
      PyErr_Clear();
      notes = PyList_New(0);
      if (notes != nullptr && PyObject_SetAttrString(value, "__notes__", notes) != 0) Py_CLEAR(notes);
    }
    if (notes != nullptr && PyList_Check(notes)) PyList_Append(notes, text);
    Py_XDECREF(notes);
    PyErr_Clear();
  }
  Py_XDECREF(text);
  PyErr_Restore(type, value, traceback);
}

bool reject_constructor_arguments(PyObject* args, PyObject* kwargs) {
  Py_ssize_t given = PyTuple_GET_SIZE(args);
  if (given > 0) {
    raise_too_many_positional("Quorvel.__new__()", 0, 0, given);
    return true;
  }
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *key, *value;
    Py_ssize_t position = 0;
    PyDict_Next(kwargs, &position, &key, &value);
    raise_keyword_error("Quorvel.__new__()", "got an unexpected keyword argument", key);
    return true;
  }
  return false;
}

PyObject* call_method(const MethodRow& row, PyObject* self_object, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  auto* self = reinterpret_cast<QuorvelObject*>(self_object);
  const std::size_t count = row.parameter_count;
  std::array<PyObject*, kMaxParameters> bound{};

  if (static_cast<std::size_t>(nargs) > count) {
    std::size_t required = 0;
    for (std::size_t i = 0; i < count; ++i) required += row.parameters[i].required;
    raise_too_many_positional(qualified_method_name(row.name), count, required, nargs);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = 0;
    while (slot < count && PyUnicode_CompareWithASCIIString(keyword, row.parameters[slot].name) != 0) ++slot;
    if (slot == count) {
      raise_keyword_error(qualified_method_name(row.name), "got an unexpected keyword argument", keyword);
      return nullptr;
    }
    if (bound[slot] != nullptr) {
      raise_keyword_error(qualified_method_name(row.name), "got multiple values for argument", keyword);
      return nullptr;
    }
    bound[slot] = args[nargs + k];
  }

  for (std::size_t i = 0; i < count; ++i) {
    if (row.parameters[i].required && bound[i] == nullptr) {
      std::vector<const char*> missing;
      for (std::size_t j = i; j < count; ++j) {
        if (row.parameters[j].required && bound[j] == nullptr) missing.push_back(row.parameters[j].name);
      }
      raise_missing(qualified_method_name(row.name), missing);
      return nullptr;
    }
  }

  if (!on_owner_thread(self)) return nullptr;
  Borrow borrow(self, row.access);
  if (!borrow.take()) return nullptr;

  Arguments converted;
  for (std::size_t i = 0; i < count; ++i) {
    const Parameter& parameter = row.parameters[i];
    if (bound[i] == nullptr || (!parameter.required && bound[i] == Py_None)) continue;
    if (!convert_argument(parameter, bound[i], converted[i])) {
      wrap_conversion_error(parameter.name);
      return nullptr;
    }
    converted[i].present = true;
  }
  return row.body(*self->engine, converted);
}

}  // namespace quorvel::lib
