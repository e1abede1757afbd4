#include "lib/binder.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace quorvel::lib {

constinit thread_local std::uint64_t thread_serial [[gnu::tls_model("initial-exec")]] = 0;

namespace {

constinit std::atomic<std::uint64_t> next_thread_serial{1};

// What the panic exception says when something that is no std::exception escapes.
constexpr std::string_view kUnknownFailure = "An unidentified internal failure stopped the operation";

// A length is only a hint: __len__ can say anything. Nothing longer than the
// memory can be written, so reserving more would only waste the space.
constexpr std::size_t kLargestUsefulReservation = memory::kMemorySize + 1;

// ---------------------------------------------------------------------------
// Message texts. All binding messages are built here, off the hot path, and
// raised from their full length: a quoted text may hold a NUL.

[[gnu::cold]] void set_error(PyObject* type, std::string_view message) {
  OwnedRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

[[gnu::cold]] std::string qualified_method_name(const char* method) {
  std::string name = "Quorvel.";
  name += method;
  name += "()";
  return name;
}

[[gnu::cold]] std::string type_name_of(PyObject* object) {
  OwnedRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
      return std::string(text, static_cast<std::size_t>(size));
    }
  }
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
  set_error(PyExc_TypeError, message);
}

[[gnu::cold]] void raise_keyword_error(const std::string& name, const char* what, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s %s '%U'", name.c_str(), what, keyword);
}

[[gnu::cold]] void raise_missing(const std::string& name, std::span<const char* const> missing) {
  std::string message = name + " missing " + std::to_string(missing.size()) + " required positional argument";
  if (missing.size() > 1) message += 's';
  message += ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) message += (i + 1 == missing.size()) ? " and " : ", ";
    message += '\'';
    message += missing[i];
    message += '\'';
  }
  set_error(PyExc_TypeError, message);
}

[[gnu::cold]] void raise_cannot_convert(PyObject* object, const char* target) {
  set_error(PyExc_TypeError, "'" + type_name_of(object) + "' object cannot be converted to '" + target + "'");
}

[[gnu::cold]] void raise_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

}  // namespace

std::uint64_t current_thread_serial() noexcept {
  if (thread_serial == 0) thread_serial = next_thread_serial.fetch_add(1, std::memory_order_relaxed);
  return thread_serial;
}

// ---------------------------------------------------------------------------
// Failures of the entries.

PyObject* raise_escaped_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic(kUnknownFailure);
  }
  return nullptr;
}

PyObject* raise_foreign_thread() { return raise_panic("quorvel::Quorvel is unsendable, but sent to another thread"); }

PyObject* raise_borrow_conflict(Access access) {
  PyErr_SetString(PyExc_RuntimeError, access == Access::Exclusive ? "Already borrowed" : "Already mutably borrowed");
  return nullptr;
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

PyObject* raise_panic(std::string_view message) {
  if (PyObject* type = panic_exception_type()) set_error(type, message);
  return nullptr;
}

PyObject* raise(const Error& error) {
  if (error.kind == ErrorKind::Panic) return raise_panic(error.message);
  set_error(PyExc_ValueError, error.message);
  return nullptr;
}

void add_note_to_raised(const std::string& note) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  OwnedRef text(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
  if (text && value != nullptr) {
    // BaseException.add_note exists from Python 3.11; __notes__ is what it fills.
    OwnedRef notes(PyObject_GetAttrString(value, "__notes__"));
    if (!notes) {
      PyErr_Clear();
      notes = OwnedRef(PyList_New(0));
      if (notes && PyObject_SetAttrString(value, "__notes__", notes.get()) != 0) notes = OwnedRef();
    }
    if (notes && PyList_Check(notes.get())) PyList_Append(notes.get(), text.get());
  }
  PyErr_Clear();
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

// ---------------------------------------------------------------------------
// Binding and conversion off the common path.

namespace detail {

bool bind_unusual(const MethodRow& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  std::array<PyObject*, kMaxParameters>& bound) {
  const std::size_t count = row.parameter_count;
  if (static_cast<std::size_t>(nargs) > count) {
    raise_too_many_positional(qualified_method_name(row.name), count, row.required_count, nargs);
    return false;
  }
  bound = {};
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = 0;
    while (slot < count && PyUnicode_CompareWithASCIIString(keyword, row.parameters[slot].name) != 0) ++slot;
    if (slot == count) {
      raise_keyword_error(qualified_method_name(row.name), "got an unexpected keyword argument", keyword);
      return false;
    }
    if (bound[slot] != nullptr) {
      raise_keyword_error(qualified_method_name(row.name), "got multiple values for argument", keyword);
      return false;
    }
    bound[slot] = args[nargs + k];
  }

  std::array<const char*, kMaxParameters> missing{};
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (row.parameters[i].required && bound[i] == nullptr) missing[missing_count++] = row.parameters[i].name;
  }
  if (missing_count > 0) {
    raise_missing(qualified_method_name(row.name), std::span(missing.data(), missing_count));
    return false;
  }
  return true;
}

bool convert_text_slow(PyObject* object, std::string_view& out) {
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

bool convert_u64_slow(PyObject* object, std::uint64_t& out) {
  OwnedRef index(PyNumber_Index(object));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_u8_slow(PyObject* object, std::uint8_t& out) {
  OwnedRef index(PyNumber_Index(object));
  if (!index) return false;
  long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    raise_out_of_range();
    return false;
  }
  out = static_cast<std::uint8_t>(value);
  return true;
}

// A conversion TypeError is re-raised naming the parameter; the new error
// keeps the old one's cause. Other errors pass through unchanged.
void wrap_conversion_error(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  OwnedRef text(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!text) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  OwnedRef replacement(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  OwnedRef error(replacement ? PyObject_CallOneArg(PyExc_TypeError, replacement.get()) : nullptr);
  if (error) PyException_SetCause(error.get(), PyException_GetCause(value));
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  if (error) PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Byte sequences.

void ByteArg::reset() {
  if (has_view_) PyBuffer_Release(&view_);
  has_view_ = false;
  bytes_object_ = OwnedRef();
  owned_.clear();
  bytes_ = {};
}

bool ByteArg::convert(PyObject* object) {
  reset();
  // The exact built-in byte types iterate to exactly their bytes, so those
  // are read in place. A subclass may iterate to other items, and any other
  // exporter's buffer need not say what its items say: both are iterated.
  if (PyBytes_CheckExact(object)) {
    bytes_object_ = OwnedRef(Py_NewRef(object));
    bytes_ = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
              static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
    return true;
  }
  if ((PyByteArray_CheckExact(object) || PyMemoryView_Check(object)) && view_plain_bytes(object)) return true;
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cannot_convert(object, "Sequence");
    return false;
  }
  return convert_items(object);
}

// A contiguous one-dimensional view of unsigned bytes; anything else (a
// strided or signed memoryview) is left to iteration.
bool ByteArg::view_plain_bytes(PyObject* object) {
  if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
    PyErr_Clear();
    return false;
  }
  has_view_ = true;
  const bool plain =
      view_.itemsize == 1 && view_.ndim == 1 && (view_.format == nullptr || std::strcmp(view_.format, "B") == 0);
  if (!plain) {
    PyBuffer_Release(&view_);
    has_view_ = false;
    return false;
  }
  bytes_ = {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  return true;
}

bool ByteArg::convert_items(PyObject* object) {
  OwnedRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  Py_ssize_t hint = PyObject_LengthHint(object, 0);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    owned_.reserve(std::min(static_cast<std::size_t>(hint), kLargestUsefulReservation));
  }
  while (OwnedRef item{PyIter_Next(iterator.get())}) {
    std::uint8_t byte = 0;
    if (!detail::convert_u8(item.get(), byte)) return false;
    owned_.push_back(byte);
  }
  if (PyErr_Occurred()) return false;
  bytes_ = owned_;
  return true;
}

}  // namespace quorvel::lib
