#pragma once
// The code buffer of one generation: bytes are appended to `ops`, labels are
// numbered slots, and 32-bit relative references stay pending until
// resolve() patches them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quorvel::codegen {

using AssemblyOffset = std::uint32_t;
using DynamicLabel = std::uint32_t;

class Assembler {
 public:
  DynamicLabel new_dynamic_label() {
    labels_.push_back(kUndefined);
    return static_cast<DynamicLabel>(labels_.size() - 1);
  }

  void reserve(std::size_t bytes) { ops_.reserve(bytes); }
  void emit(const std::uint8_t* bytes, std::size_t count) {
    if (count > kStagingSize - staged_) {
      flush();
      if (count > kStagingSize) {
        ops_.insert(ops_.end(), bytes, bytes + count);
        return;
      }
    }
    std::memcpy(staging_.data() + staged_, bytes, count);
    staged_ += count;
  }

  // Appends the first `count` bytes of `block`. The whole block is copied,
  // a fixed-size move the compiler inlines; what lies past `count` is
  // overwritten by the next instruction.
  template <std::size_t N>
  void emit_block(const std::uint8_t (&block)[N], std::size_t count) {
    static_assert(N <= kStagingSize);
    if (N > kStagingSize - staged_) flush();
    std::memcpy(staging_.data() + staged_, block, N);
    staged_ += count;
  }

  AssemblyOffset offset() const { return static_cast<AssemblyOffset>(ops_.size() + staged_); }

  // Places `label` at the current offset unless it already has one; false
  // if it had.
  bool define_dynamic_label(DynamicLabel label) {
    if (labels_[label] != kUndefined) return false;
    labels_[label] = offset();
    return true;
  }
  bool is_defined(DynamicLabel label) const { return labels_[label] != kUndefined; }

  // The reference of a jump or call that has just been emitted with a
  // trailing zero rel32: at resolve() the field gets label minus the end of
  // the instruction.
  void add_rel32_reference(DynamicLabel label) { references_.push_back({offset(), label}); }

  // Patches every reference; each label referenced must be defined. False
  // (and nothing patched) if one is not.
  bool resolve();

  // Everything emitted so far.
  std::vector<std::uint8_t>& ops() {
    flush();
    return ops_;
  }

 private:
  static constexpr AssemblyOffset kUndefined = ~AssemblyOffset{0};

  struct Reference {
    AssemblyOffset end;  // just past the rel32 field
    DynamicLabel label;
  };

  // Instructions are gathered in a small block and appended to ops_ a block
  // at a time: one library call per block rather than one per instruction
  // (libc++ does not inline its range insert and copies it byte by byte).
  void flush();

  std::vector<std::uint8_t> ops_;
  static constexpr std::size_t kStagingSize = 512;
  std::array<std::uint8_t, kStagingSize> staging_;
  std::size_t staged_ = 0;
  std::vector<AssemblyOffset> labels_;
  std::vector<Reference> references_;
};

}  // namespace quorvel::codegen
