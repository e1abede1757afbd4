// Bodies that append program text.

#include <string>

#include "frontend/source_store.hpp"
#include "lib/bodies.hpp"
#include "platform/file.hpp"

namespace quorvel::lib {

PyObject* body_asm(Engine& engine, Arguments& args) {
  engine.source.append(args[0].text);
  if (!args[1].present) return none_result();

  // The object stays exclusively borrowed through this call back into Python.
  static PyObject* read_name = nullptr;
  if (read_name == nullptr && (read_name = PyUnicode_InternFromString("read")) == nullptr) return nullptr;
  OwnedRef content(PyObject_CallMethodNoArgs(args[1].object, read_name));
  if (!content) return nullptr;
  ByteArg bytes;
  if (!bytes.convert(content.get())) return nullptr;
  if (!frontend::is_valid_utf8(bytes.bytes())) return raise(value_error("ASM file not UTF-8"));
  engine.source.append({reinterpret_cast<const char*>(bytes.bytes().data()), bytes.bytes().size()});
  return none_result();
}

PyObject* body_load_file(Engine& engine, Arguments& args) {
  platform::UniqueFd file;
  if (int error = platform::open_for_reading(args[0].text, file)) {
    return raise(value_error("File not found: " + platform::file_error_text(error)));
  }
  std::string text;
  if (int error = platform::read_to_end(file.get(), text)) {
    return raise(value_error("Failed to read file: " + platform::file_error_text(error)));
  }
  if (!frontend::is_valid_utf8({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()})) {
    return raise(value_error("Failed to read file: stream did not contain valid UTF-8"));
  }
  engine.source.append(text);
  return none_result();
}

}  // namespace quorvel::lib
