// The lab's stepper as Python sees it: Step, the record of one statement's
// run; Stepper, a program paused between statements; and steps(), a stream
// of Steps as a program runs.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "lab/stepper.hpp"
#include "lib/binder.hpp"
#include "lib/lab_module.hpp"
#include "lib/run.hpp"

namespace quorvel::lib {
namespace {

using runtime::kTracedRegisterCount;

constexpr const char* kRegisterNames[kTracedRegisterCount] = {"rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp",
                                                              "r8",  "r9",  "r10", "r12", "r13", "r14", "r15"};
constexpr const char* kFlagNames[] = {"CF", "ZF", "SF", "OF"};
constexpr std::uint64_t kFlagBits[] = {1u << 0, 1u << 6, 1u << 7, 1u << 11};
constexpr const char* kStepFields[] = {"step",      "statement", "line",        "text",      "offset",
                                       "registers", "flags",     "stack_depth", "stack_top"};

// Names as interned strings, made once: every Step's dicts use them.
PyObject* register_names[kTracedRegisterCount];
PyObject* flag_names[std::size(kFlagNames)];

PyTypeObject* program_type = nullptr;
PyTypeObject* step_type = nullptr;
PyTypeObject* stepper_type = nullptr;
PyTypeObject* stream_type = nullptr;

PyObject* u64_or_none(bool present, std::uint64_t value) {
  return present ? PyLong_FromUnsignedLongLong(value) : Py_NewRef(Py_None);
}

std::uint8_t flag_bits_of(std::uint64_t rflags) {
  std::uint8_t bits = 0;
  for (std::size_t i = 0; i < std::size(kFlagBits); ++i) {
    if (rflags & kFlagBits[i]) bits |= static_cast<std::uint8_t>(1u << i);
  }
  return bits;
}

PyObject* flags_dict(std::uint8_t bits) {
  OwnedRef flags(PyDict_New());
  if (!flags) return nullptr;
  for (std::size_t i = 0; i < std::size(kFlagNames); ++i) {
    if (PyDict_SetItem(flags.get(), flag_names[i], (bits >> i) & 1 ? Py_True : Py_False) != 0) return nullptr;
  }
  return flags.release();
}

PyObject* registers_dict(const std::uint64_t (&values)[kTracedRegisterCount]) {
  OwnedRef registers(PyDict_New());
  if (!registers) return nullptr;
  for (std::size_t i = 0; i < kTracedRegisterCount; ++i) {
    OwnedRef value(PyLong_FromUnsignedLongLong(values[i]));
    if (!value || PyDict_SetItem(registers.get(), register_names[i], value.get()) != 0) return nullptr;
  }
  return registers.release();
}

// ---------------------------------------------------------------------------
// The program a stepper runs, shared with the Steps it makes: their line and
// text come from it.

struct ProgramObject {
  PyObject_HEAD
  std::shared_ptr<const lab::SteppedProgram>* program;
  PyObject* source;  // a str: statement texts are slices of its UTF-8
};

ProgramObject* as_program(PyObject* object) { return reinterpret_cast<ProgramObject*>(object); }

PyObject* new_program(std::shared_ptr<const lab::SteppedProgram> program, PyObject* source) {
  auto* self = PyObject_New(ProgramObject, program_type);
  if (self == nullptr) return nullptr;
  self->program = new (std::nothrow) std::shared_ptr<const lab::SteppedProgram>(std::move(program));
  self->source = Py_NewRef(source);
  if (self->program == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

void program_dealloc(PyObject* object) {
  ProgramObject* self = as_program(object);
  delete self->program;
  Py_XDECREF(self->source);
  PyTypeObject* type = Py_TYPE(object);
  PyObject_Free(object);
  Py_DECREF(type);
}

std::string_view source_text(const ProgramObject* program) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(program->source, &size);
  return utf8 == nullptr ? std::string_view() : std::string_view(utf8, static_cast<std::size_t>(size));
}

// ---------------------------------------------------------------------------
// Step. Made by the hundred thousand, so it holds the registers as machine
// words (a dict is made when asked for) and takes its line and text from
// the program: 176 bytes a step.

struct StepObject {
  PyObject_HEAD
  PyObject* where;  // a ProgramObject, or for a Step made in Python a (line, text) tuple
  std::uint64_t number;
  std::uint64_t registers[kTracedRegisterCount];
  std::int64_t stack_depth;
  std::uint64_t stack_top;
  std::uint32_t statement;
  std::uint32_t offset;
  std::uint8_t flags;  // CF ZF SF OF in bits 0 to 3
  bool has_stack_top;
};

StepObject* as_step(PyObject* object) { return reinterpret_cast<StepObject*>(object); }

PyObject* new_step(PyObject* program, std::uint64_t number, const runtime::StepRecord& record,
                   std::uint64_t program_rsp) {
  const lab::SteppedProgram& code = **as_program(program)->program;
  auto* step = PyObject_New(StepObject, step_type);
  if (step == nullptr) return nullptr;
  step->where = Py_NewRef(program);
  step->number = number;
  std::copy(std::begin(record.registers), std::end(record.registers), step->registers);
  step->stack_depth = (static_cast<std::int64_t>(program_rsp) - static_cast<std::int64_t>(record.rsp)) / 8;
  step->has_stack_top = step->stack_depth > 0;
  step->stack_top = step->has_stack_top ? record.stack_top : 0;
  step->statement = code.statement_at(record.offset);
  step->offset = step->statement != 0 ? code.offsets[step->statement - 1] : record.offset;
  step->flags = flag_bits_of(record.rflags);
  return reinterpret_cast<PyObject*>(step);
}

PyObject* step_line(PyObject* self, void*) {
  const StepObject* step = as_step(self);
  if (PyTuple_Check(step->where)) return Py_NewRef(PyTuple_GET_ITEM(step->where, 0));
  const lab::SteppedProgram& code = **as_program(step->where)->program;
  return PyLong_FromUnsignedLong(code.texts[step->statement - 1].line);
}

PyObject* step_text(PyObject* self, void*) {
  const StepObject* step = as_step(self);
  if (PyTuple_Check(step->where)) return Py_NewRef(PyTuple_GET_ITEM(step->where, 1));
  const ProgramObject* program = as_program(step->where);
  return lab_text((*program->program)->text_of(step->statement, source_text(program)));
}

PyObject* step_number(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_step(self)->number); }
PyObject* step_statement(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_step(self)->statement); }
PyObject* step_offset(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_step(self)->offset); }
PyObject* step_registers(PyObject* self, void*) { return registers_dict(as_step(self)->registers); }
PyObject* step_flags(PyObject* self, void*) { return flags_dict(as_step(self)->flags); }
PyObject* step_stack_depth(PyObject* self, void*) { return PyLong_FromLongLong(as_step(self)->stack_depth); }
PyObject* step_stack_top(PyObject* self, void*) {
  return u64_or_none(as_step(self)->has_stack_top, as_step(self)->stack_top);
}

PyGetSetDef step_getset[] = {
    {"step", step_number, nullptr, "Its number in the run, from 1.", nullptr},
    {"statement", step_statement, nullptr, "The statement that ran, as numbered in \"Line N\" messages.", nullptr},
    {"line", step_line, nullptr, "The physical line of the statement, from 1.", nullptr},
    {"text", step_text, nullptr, "The statement as written.", nullptr},
    {"offset", step_offset, nullptr, "Where the statement's bytes start in the code.", nullptr},
    {"registers", step_registers, nullptr, "The 14 registers after the statement, by name.", nullptr},
    {"flags", step_flags, nullptr, "CF, ZF, SF and OF after the statement.", nullptr},
    {"stack_depth", step_stack_depth, nullptr, "Words pushed minus words popped since the program began.", nullptr},
    {"stack_top", step_stack_top, nullptr, "The word on top of the stack when stack_depth > 0, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using Getter = PyObject* (*)(PyObject*, void*);
constexpr Getter kStepGetters[] = {step_number, step_statement, step_line,        step_text,     step_offset,
                                   step_registers, step_flags, step_stack_depth, step_stack_top};

PyObject* step_fields(PyObject* self) {
  OwnedRef fields(PyTuple_New(std::size(kStepGetters)));
  if (!fields) return nullptr;
  for (std::size_t i = 0; i < std::size(kStepGetters); ++i) {
    PyObject* value = kStepGetters[i](self, nullptr);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), value);
  }
  return fields.release();
}

PyObject* step_repr(PyObject* self) {
  OwnedRef fields(step_fields(self));
  if (!fields) return nullptr;
  OwnedRef parts(PyList_New(0));
  if (!parts) return nullptr;
  for (std::size_t i = 0; i < std::size(kStepFields); ++i) {
    OwnedRef part(PyUnicode_FromFormat("%s=%R", kStepFields[i], PyTuple_GET_ITEM(fields.get(), i)));
    if (!part || PyList_Append(parts.get(), part.get()) != 0) return nullptr;
  }
  OwnedRef separator(PyUnicode_FromString(", "));
  if (!separator) return nullptr;
  OwnedRef joined(PyUnicode_Join(separator.get(), parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("Step(%U)", joined.get());
}

PyObject* step_richcompare(PyObject* self, PyObject* other, int op) {
  return lab_compare_records(self, other, op, step_type, step_fields);
}

PyObject* step_reduce(PyObject* self, PyObject*) { return lab_reduce_record(self, step_fields); }

bool u64_field(PyObject* object, const char* name, std::uint64_t& out) {
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be from 0 to 2**64 - 1, not %R", name, object);
    return false;
  }
  out = value;
  return true;
}

// The values of a registers or flags argument, looked up by name.
bool named_values(PyObject* mapping, const char* what, PyObject* const* names, std::size_t count,
                  const std::function<bool(std::size_t, PyObject*)>& take) {
  if (!PyMapping_Check(mapping) || PyMapping_Size(mapping) != static_cast<Py_ssize_t>(count)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be a mapping with exactly the keys %s", what,
                 count == kTracedRegisterCount ? "rax, rbx, rcx, rdx, rsi, rdi, rbp, r8, r9, r10, r12, r13, r14, r15"
                                               : "CF, ZF, SF, OF");
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    OwnedRef value(PyObject_GetItem(mapping, names[i]));
    if (!value) {
      if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s lacks %R", what, names[i]);
      }
      return false;
    }
    if (!take(i, value.get())) return false;
  }
  return true;
}

// Step(step, statement, line, text, offset, registers, flags, stack_depth=0, stack_top=None)
PyObject* step_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return lab_guarded([&]() -> PyObject* {
    static char* keywords[std::size(kStepFields) + 1] = {};
    for (std::size_t i = 0; i < std::size(kStepFields); ++i) keywords[i] = const_cast<char*>(kStepFields[i]);
    PyObject *number_object, *statement_object, *line_object, *text, *offset_object, *registers, *flags;
    PyObject* depth_object = nullptr;
    PyObject* top_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOUOOO|OO:Step", keywords, &number_object, &statement_object,
                                     &line_object, &text, &offset_object, &registers, &flags, &depth_object,
                                     &top_object)) {
      return nullptr;
    }
    std::uint64_t number = 0, top = 0;
    std::uint32_t statement = 0, line = 0, offset = 0;
    long long depth = 0;
    if (!u64_field(number_object, "step", number) || !lab_u32_field(statement_object, "statement", statement) ||
        !lab_u32_field(line_object, "line", line) || !lab_u32_field(offset_object, "offset", offset)) {
      return nullptr;
    }
    if (depth_object != nullptr) {
      if (!PyLong_Check(depth_object)) {
        PyErr_Format(PyExc_TypeError, "stack_depth must be an int, not %.200s", Py_TYPE(depth_object)->tp_name);
        return nullptr;
      }
      depth = PyLong_AsLongLong(depth_object);
      if (depth == -1 && PyErr_Occurred()) return nullptr;
    }
    if (top_object != Py_None && !u64_field(top_object, "stack_top", top)) return nullptr;
    std::uint64_t values[kTracedRegisterCount] = {};
    if (!named_values(registers, "registers", register_names, kTracedRegisterCount,
                      [&](std::size_t i, PyObject* value) { return u64_field(value, kRegisterNames[i], values[i]); })) {
      return nullptr;
    }
    std::uint8_t bits = 0;
    if (!named_values(flags, "flags", flag_names, std::size(kFlagNames), [&](std::size_t i, PyObject* value) {
          const int set = PyObject_IsTrue(value);
          if (set > 0) bits |= static_cast<std::uint8_t>(1u << i);
          return set >= 0;
        })) {
      return nullptr;
    }
    OwnedRef line_value(PyLong_FromUnsignedLong(line));
    if (!line_value) return nullptr;
    OwnedRef where(PyTuple_Pack(2, line_value.get(), text));
    if (!where) return nullptr;
    auto* step = PyObject_New(StepObject, step_type);
    if (step == nullptr) return nullptr;
    step->where = where.release();
    step->number = number;
    std::copy(std::begin(values), std::end(values), step->registers);
    step->stack_depth = depth;
    step->has_stack_top = top_object != Py_None;
    step->stack_top = top;
    step->statement = statement;
    step->offset = offset;
    step->flags = bits;
    return reinterpret_cast<PyObject*>(step);
  });
}

void step_dealloc(PyObject* self) {
  Py_XDECREF(as_step(self)->where);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyMethodDef step_methods[] = {
    {"__reduce__", step_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Stepper

// Resumes `stepper`'s code from Python. A handler that runs before the code
// may fork: in the child the stepper's code pages are gone, and it stops.
class PythonRunner final : public lab::Runner {
 public:
  explicit PythonRunner(const lab::Stepper& stepper) : stepper_(stepper) {}

  bool resume(runtime::Resumption& resumption, runtime::RunOutcome& outcome) override {
    PythonGuardedRun run(runtime::GuardNeeds{});
    if (!run.handle_pending_signals()) return false;
    if (stepper_.lost_in_fork()) {
      raise(lab::Stepper::lost_in_fork_error());
      return false;
    }
    return run.resume(resumption, outcome);
  }

 private:
  const lab::Stepper& stepper_;
};

struct StepperObject {
  PyObject_HEAD
  lab::Stepper* stepper;
  PyObject* source;       // the str whose UTF-8 the stepper's text views point into
  PyObject* program;      // a ProgramObject
  PyObject* breakpoints;  // a set of statement numbers
  bool running;           // a handler that runs during a run cannot run it again
};

StepperObject* as_stepper(PyObject* object) { return reinterpret_cast<StepperObject*>(object); }

// Marks a stepper as running for as long as it lives.
class Running {
 public:
  explicit Running(StepperObject* self) : self_(self) {
    if (self->running) {
      PyErr_SetString(PyExc_RuntimeError, "This stepper is already running (a signal handler cannot run it again)");
      return;
    }
    self->running = taken_ = true;
  }
  ~Running() {
    if (taken_) self_->running = false;
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  explicit operator bool() const { return taken_; }

 private:
  StepperObject* self_;
  bool taken_ = false;
};

// The Python result of a pause that is neither a step nor a stop of the
// program's own: an exception is set.
bool raised_by(lab::Pause pause, const lab::Stepper& stepper) {
  if (pause == lab::Pause::Failed) raise(stepper.failure());
  return pause == lab::Pause::Host || pause == lab::Pause::Failed;
}

PyObject* new_stepper(PyTypeObject* type, PyObject* source, PyObject* registers_object) {
  std::string_view text;
  registers::RegisterFile registers;
  if (!lab_text_argument(source, "source", text) || !lab_registers_argument(registers_object, registers)) {
    return nullptr;
  }
  Result<lab::Stepper> made = lab::Stepper::create(text, registers);
  if (!made) return raise_in_statement(made.error(), text);
  auto stepper = std::make_unique<lab::Stepper>(std::move(made).value());
  OwnedRef program(new_program(stepper->program(), source));
  OwnedRef breakpoints(PySet_New(nullptr));
  if (!program || !breakpoints) return nullptr;
  auto* self = reinterpret_cast<StepperObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->stepper = stepper.release();
  self->source = Py_NewRef(source);
  self->program = program.release();
  self->breakpoints = breakpoints.release();
  self->running = false;
  return reinterpret_cast<PyObject*>(self);
}

PyObject* stepper_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return lab_guarded([&]() -> PyObject* {
    static char* keywords[] = {const_cast<char*>("source"), const_cast<char*>("registers"), nullptr};
    PyObject* source = nullptr;
    PyObject* registers = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:Stepper", keywords, &source, &registers)) return nullptr;
    return new_stepper(type, source, registers);
  });
}

int stepper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_stepper(self)->breakpoints);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int stepper_clear(PyObject* self) {
  Py_CLEAR(as_stepper(self)->breakpoints);
  return 0;
}

void stepper_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  StepperObject* self = as_stepper(object);
  // Frees the code pages and the stack the paused code was using.
  delete self->stepper;
  Py_XDECREF(self->source);
  Py_XDECREF(self->program);
  Py_XDECREF(self->breakpoints);
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* make_step(StepperObject* self, std::uint64_t number, const runtime::StepRecord& record) {
  return new_step(self->program, number, record, self->stepper->program_rsp());
}

PyObject* stepper_step(PyObject* object, PyObject*) {
  return lab_guarded([&]() -> PyObject* {
    StepperObject* self = as_stepper(object);
    Running running(self);
    if (!running) return nullptr;
    PythonRunner runner(*self->stepper);
    runtime::StepRecord record;
    const lab::Pause pause = self->stepper->step(runner, record);
    if (raised_by(pause, *self->stepper)) return nullptr;
    if (pause != lab::Pause::Step) Py_RETURN_NONE;
    return make_step(self, self->stepper->counted_steps(), record);
  });
}

// The breakpoints as statement numbers; each must be one of the program's.
bool breakpoint_numbers(StepperObject* self, std::vector<std::uint32_t>& out) {
  const std::size_t count = self->stepper->program()->statement_count();
  OwnedRef iterator(PyObject_GetIter(self->breakpoints));
  if (!iterator) return false;
  while (OwnedRef item{PyIter_Next(iterator.get())}) {
    std::uint32_t statement = 0;
    if (!lab_u32_field(item.get(), "a breakpoint", statement)) return false;
    if (statement == 0 || statement > count) {
      PyErr_Format(PyExc_ValueError, "breakpoint %u is not a statement of the program: it has %zu", statement, count);
      return false;
    }
    out.push_back(statement);
  }
  return !PyErr_Occurred();
}

PyObject* stopped_text(const lab::Stepper& stepper) {
  if (!stepper.ended()) Py_RETURN_NONE;
  return lab_text(stepper.completed() ? std::string_view("completed") : std::string_view(stepper.fault()));
}

PyObject* stepper_run(PyObject* object, PyObject* args, PyObject* kwargs) {
  return lab_guarded([&]() -> PyObject* {
    static char* keywords[] = {const_cast<char*>("max_steps"), nullptr};
    PyObject* limit = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:run", keywords, &limit)) return nullptr;
    StepperObject* self = as_stepper(object);
    bool limited = false;
    std::uint64_t max_steps = 0;
    std::vector<std::uint32_t> breakpoints;
    if (!lab_step_limit_argument(limit, limited, max_steps) || !breakpoint_numbers(self, breakpoints)) return nullptr;
    Running running(self);
    if (!running) return nullptr;
    PythonRunner runner(*self->stepper);
    const lab::Pause pause =
        self->stepper->run(runner, limited ? std::optional(max_steps) : std::nullopt, breakpoints);
    if (raised_by(pause, *self->stepper)) return nullptr;
    switch (pause) {
      case lab::Pause::Breakpoint: return PyUnicode_FromString("breakpoint");
      case lab::Pause::StepLimit: return PyUnicode_FromString("max_steps");
      default: return stopped_text(*self->stepper);
    }
  });
}

PyObject* stepper_statement(PyObject* object, void*) {
  const std::uint32_t statement = as_stepper(object)->stepper->statement();
  return statement == 0 ? Py_NewRef(Py_None) : PyLong_FromUnsignedLong(statement);
}

PyObject* stepper_registers(PyObject* object, void*) {
  const runtime::MachineState& state = as_stepper(object)->stepper->state();
  std::uint64_t values[kTracedRegisterCount];
  for (std::size_t i = 0; i < kTracedRegisterCount; ++i) values[i] = state.gpr[runtime::kTracedRegisters[i]];
  return registers_dict(values);
}

PyObject* stepper_flags(PyObject* object, void*) {
  return flags_dict(flag_bits_of(as_stepper(object)->stepper->state().rflags));
}

PyObject* stepper_stack(PyObject* object, void*) {
  return lab_guarded([&]() -> PyObject* {
    const std::vector<std::uint64_t> words = as_stepper(object)->stepper->stack();
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(words.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < words.size(); ++i) {
      PyObject* value = PyLong_FromUnsignedLongLong(words[i]);
      if (value == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
  });
}

PyObject* stepper_stack_depth(PyObject* object, void*) {
  return PyLong_FromLongLong(as_stepper(object)->stepper->stack_depth());
}

PyObject* stepper_steps(PyObject* object, void*) {
  const std::optional<std::uint64_t> steps = as_stepper(object)->stepper->steps();
  return u64_or_none(steps.has_value(), steps.value_or(0));
}

PyObject* stepper_stopped(PyObject* object, void*) { return stopped_text(*as_stepper(object)->stepper); }

PyObject* stepper_note(PyObject* object, void*) {
  const std::string& note = as_stepper(object)->stepper->note();
  return note.empty() ? Py_NewRef(Py_None) : lab_text(note);
}

PyObject* stepper_rax(PyObject* object, void*) {
  const lab::Stepper& stepper = *as_stepper(object)->stepper;
  return u64_or_none(stepper.completed(), stepper.rax());
}

PyObject* stepper_source(PyObject* object, void*) { return Py_NewRef(as_stepper(object)->source); }

PyObject* stepper_breakpoints(PyObject* object, void*) { return Py_NewRef(as_stepper(object)->breakpoints); }

int stepper_set_breakpoints(PyObject* object, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "breakpoints cannot be deleted: assign an empty set instead");
    return -1;
  }
  PyObject* replacement = PySet_New(value);
  if (replacement == nullptr) return -1;
  Py_SETREF(as_stepper(object)->breakpoints, replacement);
  return 0;
}

PyGetSetDef stepper_getset[] = {
    {"statement", stepper_statement, nullptr,
     "The statement that runs next (None at the end); after a fault, the statement that faulted.", nullptr},
    {"registers", stepper_registers, nullptr, "The 14 registers an instruction can name, by name.", nullptr},
    {"flags", stepper_flags, nullptr, "CF, ZF, SF and OF.", nullptr},
    {"stack", stepper_stack, nullptr, "The words the program pushed and has not popped, top first.", nullptr},
    {"stack_depth", stepper_stack_depth, nullptr, "Words pushed minus words popped.", nullptr},
    {"steps", stepper_steps, nullptr,
     "Statements run so far; None once a full-speed run() has run, which does not count them.", nullptr},
    {"stopped", stepper_stopped, nullptr, "None while it can go on, else \"completed\" or the fault.", nullptr},
    {"note", stepper_note, nullptr, "For a fault: where and why.", nullptr},
    {"rax", stepper_rax, nullptr, "The result, once the program completed.", nullptr},
    {"breakpoints", stepper_breakpoints, stepper_set_breakpoints,
     "Statement numbers run() stops before: a mutable set.", nullptr},
    {"source", stepper_source, nullptr, "The program's text.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef stepper_methods[] = {
    {"step", stepper_step, METH_NOARGS,
     "step()\n--\n\nRun one statement and return its Step, or None once the program has ended."},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stepper_run)), METH_VARARGS | METH_KEYWORDS,
     "run(max_steps=None)\n--\n\nGo on until a breakpoint's statement is about to run, the program ends, or "
     "max_steps statements have run; return \"breakpoint\", \"max_steps\" or how it stopped."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* stepper_repr(PyObject* object) {
  const lab::Stepper& stepper = *as_stepper(object)->stepper;
  if (stepper.completed()) {
    return PyUnicode_FromFormat("<Stepper: completed, rax = %llu>", static_cast<unsigned long long>(stepper.rax()));
  }
  if (stepper.ended()) return PyUnicode_FromFormat("<Stepper: %s>", stepper.fault().c_str());
  const std::uint32_t statement = stepper.statement();
  if (statement == 0) return PyUnicode_FromString("<Stepper: at the epilogue>");
  return PyUnicode_FromFormat("<Stepper: before statement %u>", statement);
}

// ---------------------------------------------------------------------------
// steps(): a private stepper stepped a batch at a time, handing out its steps
// one by one, so a stream of any length costs a batch of memory. An
// exception of the host (Ctrl-C) waits until the steps run before it are
// handed out.

constexpr std::size_t kBatch = 128;

struct StreamObject {
  PyObject_HEAD
  PyObject* stepper;  // a StepperObject of its own
  std::vector<runtime::StepRecord>* records;
  std::size_t count;
  std::size_t next;
  std::uint64_t first_number;
  std::uint64_t remaining;
  bool limited;
  bool done;
  bool limit_reached;  // stopped by max_steps with more to run
  // The host's exception, raised once the steps run before it are out.
  PyObject* pending_type;
  PyObject* pending_value;
  PyObject* pending_traceback;
};

StreamObject* as_stream(PyObject* object) { return reinterpret_cast<StreamObject*>(object); }

PyObject* steps_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return lab_guarded([&]() -> PyObject* {
    static char* keywords[] = {const_cast<char*>("source"), const_cast<char*>("registers"),
                               const_cast<char*>("max_steps"), nullptr};
    PyObject* source = nullptr;
    PyObject* registers = Py_None;
    PyObject* limit = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:steps", keywords, &source, &registers, &limit)) {
      return nullptr;
    }
    bool limited = true;
    std::uint64_t max_steps = 100000;
    if (limit != nullptr && !lab_step_limit_argument(limit, limited, max_steps)) return nullptr;
    OwnedRef stepper(new_stepper(stepper_type, source, registers));
    if (!stepper) return nullptr;
    auto records = std::make_unique<std::vector<runtime::StepRecord>>(kBatch);
    auto* stream = PyObject_New(StreamObject, stream_type);
    if (stream == nullptr) return nullptr;
    stream->stepper = stepper.release();
    stream->records = records.release();
    stream->count = stream->next = 0;
    stream->first_number = 1;
    stream->remaining = max_steps;
    stream->limited = limited;
    stream->done = stream->limit_reached = false;
    stream->pending_type = stream->pending_value = stream->pending_traceback = nullptr;
    return reinterpret_cast<PyObject*>(stream);
  });
}

void stream_dealloc(PyObject* object) {
  StreamObject* self = as_stream(object);
  Py_XDECREF(self->stepper);
  Py_XDECREF(self->pending_type);
  Py_XDECREF(self->pending_value);
  Py_XDECREF(self->pending_traceback);
  delete self->records;
  PyTypeObject* type = Py_TYPE(object);
  PyObject_Free(object);
  Py_DECREF(type);
}

// Past max_steps: whether the program would have run another statement,
// or ended (completed or faulted) first. Only the stream's own stepper moves.
bool settle_limit(StreamObject* self, lab::Stepper& stepper) {
  PythonRunner runner(stepper);
  runtime::StepRecord record;
  const lab::Pause pause = stepper.step(runner, record);
  if (raised_by(pause, stepper)) return false;
  self->limit_reached = pause == lab::Pause::Step;
  self->done = true;
  return true;
}

PyObject* stream_next(PyObject* object) {
  return lab_guarded([&]() -> PyObject* {
    StreamObject* self = as_stream(object);
    StepperObject* owner = as_stepper(self->stepper);
    lab::Stepper& stepper = *owner->stepper;
    while (self->next == self->count) {
      if (self->pending_type != nullptr) {
        PyErr_Restore(std::exchange(self->pending_type, nullptr), std::exchange(self->pending_value, nullptr),
                      std::exchange(self->pending_traceback, nullptr));
        return nullptr;
      }
      if (self->done || stepper.ended()) {
        self->done = true;
        return nullptr;
      }
      if (self->limited && self->remaining == 0) {
        if (!settle_limit(self, stepper)) return nullptr;
        continue;
      }
      const std::size_t batch =
          self->limited ? static_cast<std::size_t>(std::min<std::uint64_t>(kBatch, self->remaining)) : kBatch;
      self->first_number = stepper.counted_steps() + 1;
      self->next = 0;
      Running running(owner);
      if (!running) return nullptr;
      PythonRunner runner(stepper);
      const lab::Pause pause = stepper.record(runner, self->records->data(), batch, self->count);
      self->remaining -= self->count;
      if (pause == lab::Pause::Ended) self->done = true;
      if (raised_by(pause, stepper)) {
        if (self->count == 0) return nullptr;
        PyErr_Fetch(&self->pending_type, &self->pending_value, &self->pending_traceback);
      }
    }
    const std::size_t index = self->next++;
    return make_step(owner, self->first_number + index, (*self->records)[index]);
  });
}

PyObject* stream_stopped(PyObject* object, void*) {
  StreamObject* self = as_stream(object);
  if (self->limit_reached) return PyUnicode_FromString("max_steps");
  return stopped_text(*as_stepper(self->stepper)->stepper);
}

PyObject* stream_rax(PyObject* object, void*) { return stepper_rax(as_stream(object)->stepper, nullptr); }
PyObject* stream_note(PyObject* object, void*) { return stepper_note(as_stream(object)->stepper, nullptr); }
PyObject* stream_statement(PyObject* object, void*) {
  const lab::Stepper& stepper = *as_stepper(as_stream(object)->stepper)->stepper;
  if (!stepper.ended() || stepper.fault_statement() == 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(stepper.fault_statement());
}

PyGetSetDef stream_getset[] = {
    {"stopped", stream_stopped, nullptr,
     "None while steps remain, else \"completed\", \"max_steps\" or the fault.", nullptr},
    {"rax", stream_rax, nullptr, "The result, once the program completed.", nullptr},
    {"statement", stream_statement, nullptr, "The statement that faulted, if one did.", nullptr},
    {"note", stream_note, nullptr, "For a fault: where and why.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Types

PyTypeObject* make_type(PyType_Spec& spec) { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec)); }

bool create_types() {
  for (std::size_t i = 0; i < kTracedRegisterCount; ++i) {
    register_names[i] = PyUnicode_InternFromString(kRegisterNames[i]);
    if (register_names[i] == nullptr) return false;
  }
  for (std::size_t i = 0; i < std::size(kFlagNames); ++i) {
    flag_names[i] = PyUnicode_InternFromString(kFlagNames[i]);
    if (flag_names[i] == nullptr) return false;
  }

  PyType_Slot program_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(program_dealloc)}, {0, nullptr}};
  PyType_Spec program_spec = {"quorvel_lab._Program", sizeof(ProgramObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, program_slots};
  program_type = make_type(program_spec);

  PyType_Slot step_slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(step_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(step_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(step_repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(step_richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_tp_getset, step_getset},
      {Py_tp_methods, step_methods},
      {Py_tp_doc, const_cast<char*>("Step(step, statement, line, text, offset, registers, flags, stack_depth=0, "
                                    "stack_top=None)\n--\n\nThe registers and flags right after one executed "
                                    "statement.")},
      {0, nullptr},
  };
  PyType_Spec step_spec = {"quorvel_lab.Step", sizeof(StepObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                           step_slots};
  step_type = make_type(step_spec);
  if (step_type == nullptr || !lab_set_match_args(step_type, kStepFields)) return false;

  PyType_Slot stepper_slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(stepper_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(stepper_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(stepper_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(stepper_clear)},
      {Py_tp_repr, reinterpret_cast<void*>(stepper_repr)},
      {Py_tp_getset, stepper_getset},
      {Py_tp_methods, stepper_methods},
      {Py_tp_doc, const_cast<char*>("Stepper(source, registers=None)\n--\n\nA program generated as listing() "
                                    "generates it, paused before its first statement.")},
      {0, nullptr},
  };
  PyType_Spec stepper_spec = {"quorvel_lab.Stepper", sizeof(StepperObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, stepper_slots};
  stepper_type = make_type(stepper_spec);

  PyType_Slot stream_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
      {Py_tp_getset, stream_getset},
      {Py_tp_doc, const_cast<char*>("The steps of a run as they happen; how it ended once they are out.")},
      {0, nullptr},
  };
  PyType_Spec stream_spec = {"quorvel_lab.StepStream", sizeof(StreamObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, stream_slots};
  stream_type = make_type(stream_spec);
  return program_type != nullptr && stepper_type != nullptr && stream_type != nullptr;
}

PyMethodDef steps_def = {
    "steps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(steps_function)),
    METH_VARARGS | METH_KEYWORDS,
    "steps(source, registers=None, max_steps=100000)\n--\n\nRun a program one statement at a time, yielding "
    "each Step as it happens."};

}  // namespace

bool add_stepper_types(PyObject* module) {
  if (step_type == nullptr && !create_types()) return false;
  OwnedRef steps(PyCFunction_NewEx(&steps_def, nullptr, nullptr));
  return steps && PyModule_AddObjectRef(module, "Step", reinterpret_cast<PyObject*>(step_type)) == 0 &&
         PyModule_AddObjectRef(module, "Stepper", reinterpret_cast<PyObject*>(stepper_type)) == 0 &&
         PyModule_AddObjectRef(module, "StepStream", reinterpret_cast<PyObject*>(stream_type)) == 0 &&
         PyModule_AddObjectRef(module, "steps", steps.get()) == 0;
}

}  // namespace quorvel::lib
