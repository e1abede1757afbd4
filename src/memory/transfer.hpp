#pragma once
// Scalar and byte-run access to the flat memory, and file transfer. Every
// check runs before the first byte is written.

#include <cstdint>
#include <span>
#include <string_view>

#include "common/result.hpp"
#include "memory/flat_memory.hpp"

namespace quorvel::memory {

Result<std::uint64_t> read_mem(const FlatMemory& memory, std::uint64_t address, std::uint8_t size);
Status write_mem(FlatMemory& memory, std::uint64_t address, std::uint64_t value, std::uint8_t size);

// A view of the bytes; valid while the memory lives.
Result<std::span<const std::uint8_t>> read_bytes(const FlatMemory& memory, std::uint64_t address,
                                                 std::uint64_t size);
Status write_bytes(FlatMemory& memory, std::uint64_t address, std::span<const std::uint8_t> data);
Status load_bytes_to_memory(FlatMemory& memory, std::span<const std::uint8_t> data, std::uint64_t address);

// Returns the number of bytes loaded.
Result<std::uint64_t> load_binary_file(FlatMemory& memory, std::string_view path, std::uint64_t address);
Status save_memory_to_file(const FlatMemory& memory, std::string_view path, std::uint64_t address,
                           std::uint64_t size);

}  // namespace quorvel::memory
