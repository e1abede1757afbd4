#include "lib/methods.hpp"

#include <string>
#include <utility>

#include "lib/bodies.hpp"

namespace quorvel::lib {
namespace {

constexpr Parameter text(const char* name) { return {name, Conversion::Text, true}; }
constexpr Parameter u64(const char* name) { return {name, Conversion::U64, true}; }
constexpr Parameter u8(const char* name) { return {name, Conversion::U8, true}; }
constexpr Parameter bytes(const char* name) { return {name, Conversion::Bytes, true}; }
constexpr Parameter optional(Parameter parameter) {
  parameter.required = false;
  return parameter;
}

constexpr MethodRow with_args(const char* name, Access access, Body body, std::array<Parameter, 3> parameters,
                              std::uint8_t count, const char* doc_body = "") {
  std::uint8_t required = 0;
  for (std::size_t i = 0; i < count; ++i) required += parameters[i].required;
  return {name, parameters, count, required, true, access, body, nullptr, doc_body};
}
constexpr MethodRow no_args(const char* name, Access access, NoArgBody body) {
  return {name, {}, 0, 0, false, access, nullptr, body, ""};
}

constexpr Access kShared = Access::Shared;
constexpr Access kExclusive = Access::Exclusive;

constexpr MethodRow kMethods[] = {
    with_args("setup", kExclusive, body_setup, {optional(text("arch"))}, 1),
    with_args("asm", kExclusive, body_asm, {text("code"), optional({"file", Conversion::Object, true})}, 2),
    with_args("load_file", kExclusive, body_load_file, {text("filename")}, 1),
    with_args("load_binary_file", kExclusive, body_load_binary_file, {text("filename"), u64("address")}, 2),
    with_args("load_bytes_to_memory", kExclusive, body_load_bytes_to_memory, {bytes("data"), u64("address")}, 2),
    with_args("write_bytes", kExclusive, body_write_bytes, {u64("address"), bytes("data")}, 2),
    with_args("read_bytes", kShared, body_read_bytes, {u64("address"), u64("size")}, 2),
    with_args("clear_memory", kExclusive, body_clear_memory, {optional(u64("address")), optional(u64("size"))}, 2),
    with_args("save_memory_to_file", kShared, body_save_memory_to_file,
              {text("filename"), u64("address"), u64("size")}, 3),
    no_args("memory_size", kShared, body_memory_size),
    with_args("alloc", kExclusive, body_alloc, {u64("size")}, 1),
    with_args("free", kExclusive, body_free, {u64("address")}, 1),
    no_args("memory_stats", kShared, body_memory_stats),
    with_args("mov", kExclusive, body_mov, {text("register"), u64("value")}, 2),
    with_args("get", kShared, body_get, {optional(text("reg"))}, 1),
    with_args("write_mem", kExclusive, body_write_mem, {u64("address"), u64("value"), u8("size")}, 3),
    with_args("read_mem", kShared, body_read_mem, {u64("address"), u8("size")}, 2),
    no_args("get_memory_ptr", kShared, body_get_memory_ptr),
    no_args("get_arch", kShared, body_get_arch),
    no_args("execute", kExclusive, body_execute),
    with_args("install", kExclusive, body_install, {text("filename")}, 1),
    no_args("clear", kExclusive, body_clear),
    no_args("dump_regs", kShared, body_dump_regs),
    no_args("dump_regs_x86", kShared, body_dump_regs_x86),
    no_args("dump_regs_arm", kShared, body_dump_regs_arm),
    with_args("is_valid_register", kShared, body_is_valid_register, {text("register")}, 1,
              "Validate if a register name is valid for current architecture"),
};
constexpr std::size_t kMethodCount = std::size(kMethods);

template <std::size_t I>
PyMethodDef method_def(const char* doc) {
  constexpr const MethodRow& row = kMethods[I];
  if constexpr (row.takes_arguments) {
    return {row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_with_arguments<row>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
  } else {
    return {row.name, call_without_arguments<row.access, row.no_arg_body>, METH_NOARGS, doc};
  }
}

// "name($self, a, b=None)\n--\n\n" followed by the docstring body.
std::string signature_doc(const MethodRow& row) {
  std::string doc = row.name;
  doc += "($self";
  for (std::size_t i = 0; i < row.parameter_count; ++i) {
    doc += ", ";
    doc += row.parameters[i].name;
    if (!row.parameters[i].required) doc += "=None";
  }
  doc += ")\n--\n\n";
  doc += row.doc_body;
  return doc;
}

template <std::size_t... I>
PyMethodDef* build_method_defs(std::index_sequence<I...>) {
  static std::string docs[kMethodCount];
  static PyMethodDef defs[kMethodCount + 1];
  ((docs[I] = signature_doc(kMethods[I]), defs[I] = method_def<I>(docs[I].c_str())), ...);
  defs[kMethodCount] = {nullptr, nullptr, 0, nullptr};
  return defs;
}

}  // namespace

PyMethodDef* quorvel_method_defs() {
  static PyMethodDef* defs = build_method_defs(std::make_index_sequence<kMethodCount>());
  return defs;
}

}  // namespace quorvel::lib
