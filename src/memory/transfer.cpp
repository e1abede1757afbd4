#include "memory/transfer.hpp"

#include <cstring>
#include <string>

#include "platform/file.hpp"

namespace quorvel::memory {
namespace {

// address + length <= kMemorySize, without forming a sum that could wrap.
bool fits(std::uint64_t address, std::uint64_t length) {
  return address <= kMemorySize && length <= kMemorySize - address;
}

bool is_scalar_size(std::uint8_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

Status copy_in(FlatMemory& memory, std::uint64_t address, std::span<const std::uint8_t> data,
               const char* message) {
  if (!fits(address, data.size())) return value_error(message);
  if (!data.empty()) std::memcpy(memory.data() + address, data.data(), data.size());
  return success();
}

// Reads the whole file into `out`, which has room for `limit` bytes.
// Returns 0 or the error of the failed read; `over_limit` tells that more
// bytes followed. Reading stops there: the caller refuses such a file
// anyway, and an endless source such as a character device must not be read
// forever.
int read_limited(int fd, std::uint8_t* out, std::size_t limit, std::size_t& length, bool& over_limit) {
  length = 0;
  over_limit = false;
  for (;;) {
    std::uint8_t probe = 0;
    const bool full = length == limit;
    std::size_t got = 0;
    const int error = platform::read_some(fd, full ? &probe : out + length, full ? 1 : limit - length, got);
    if (error != 0) return error;
    if (got == 0) return 0;
    if (full) {
      over_limit = true;
      return 0;
    }
    length += got;
  }
}

}  // namespace

Result<std::uint64_t> read_mem(const FlatMemory& memory, std::uint64_t address, std::uint8_t size) {
  if (!fits(address, size)) return value_error("Memory address out of bounds");
  if (!is_scalar_size(size)) return value_error("Invalid size");
  const std::uint8_t* bytes = memory.data() + address;
  std::uint64_t value = 0;
  for (unsigned k = size; k-- > 0;) value = (value << 8) | bytes[k];
  return value;
}

Status write_mem(FlatMemory& memory, std::uint64_t address, std::uint64_t value, std::uint8_t size) {
  if (!fits(address, size)) return value_error("Memory address out of bounds");
  if (!is_scalar_size(size)) return value_error("Invalid size (1,2,4,8 only)");
  std::uint8_t* bytes = memory.data() + address;
  for (unsigned k = 0; k < size; ++k) bytes[k] = static_cast<std::uint8_t>(value >> (8 * k));
  return success();
}

Result<std::span<const std::uint8_t>> read_bytes(const FlatMemory& memory, std::uint64_t address,
                                                 std::uint64_t size) {
  if (!fits(address, size)) return value_error("Read exceeds memory bounds");
  return std::span<const std::uint8_t>(memory.data() + address, size);
}

Status write_bytes(FlatMemory& memory, std::uint64_t address, std::span<const std::uint8_t> data) {
  return copy_in(memory, address, data, "Write exceeds memory bounds");
}

Status load_bytes_to_memory(FlatMemory& memory, std::span<const std::uint8_t> data, std::uint64_t address) {
  return copy_in(memory, address, data, "Data exceeds memory bounds");
}

Result<std::uint64_t> load_binary_file(FlatMemory& memory, std::string_view path, std::uint64_t address) {
  platform::UniqueFd file;
  if (int error = platform::open_for_reading(path, file); error != 0) {
    return value_error("File not found: " + platform::file_error_text(error));
  }
  if (address >= kMemorySize) return value_error("Address out of bounds");
  std::size_t length = 0;
  bool over_limit = false;
  int error = memory.prepare_staging();
  if (error == 0) {
    error = read_limited(file.get(), memory.staging() + address, kMemorySize - address, length, over_limit);
  }
  if (error != 0) return value_error("Failed to read file: " + platform::file_error_text(error));
  if (over_limit) return value_error("Data exceeds memory bounds");
  memory.commit_staged(address, length);
  return static_cast<std::uint64_t>(length);
}

Status save_memory_to_file(const FlatMemory& memory, std::string_view path, std::uint64_t address,
                           std::uint64_t size) {
  if (!fits(address, size)) return value_error("Memory range out of bounds");
  platform::UniqueFd file;
  if (int error = platform::create_for_writing(path, file); error != 0) {
    return value_error("Failed to create file: " + platform::file_error_text(error));
  }
  if (int error = platform::write_all(file.get(), memory.data() + address, size); error != 0) {
    return value_error("Failed to write file: " + platform::file_error_text(error));
  }
  return success();
}

}  // namespace quorvel::memory
