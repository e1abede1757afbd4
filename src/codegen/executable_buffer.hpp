#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/mapping.hpp"

namespace quorvel::codegen {

// Finished code in a read-execute mapping; offset 0 is the entry point.
class ExecutableBuffer {
 public:
  ExecutableBuffer(platform::Mapping mapping, std::size_t length)
      : mapping_(std::move(mapping)), length_(length) {}

  const std::uint8_t* code() const { return mapping_.data(); }
  std::size_t length() const { return length_; }
  std::size_t mapped_size() const { return mapping_.size(); }

  // The mapping, for reuse by a later generation.
  platform::Mapping release() && { return std::move(mapping_); }

 private:
  platform::Mapping mapping_;
  std::size_t length_;
};

}  // namespace quorvel::codegen
