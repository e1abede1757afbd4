#include <cstring>
#include <string>

#include "codegen/generate.hpp"
#include "platform/file.hpp"

namespace quorvel::codegen {

std::uint64_t run(const ExecutableBuffer& code) {
  using Entry = std::uint64_t (*)();
  Entry entry;
  const std::uint8_t* start = code.code();
  static_assert(sizeof entry == sizeof start);
  std::memcpy(&entry, &start, sizeof entry);
  return entry();
}

Status install(const ExecutableBuffer& code, std::string_view path) {
  platform::UniqueFd file;
  if (int error = platform::create_for_writing(path, file); error != 0) {
    return value_error("Failed to create file: " + platform::file_error_text(error));
  }
  if (int error = platform::write_all(file.get(), code.code(), code.length()); error != 0) {
    return value_error("Failed to write file: " + platform::file_error_text(error));
  }
  return success();
}

}  // namespace quorvel::codegen
