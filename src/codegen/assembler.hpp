#pragma once
// The code buffer of one generation: bytes are appended to `ops`, labels are
// numbered slots, and 32-bit relative references stay pending until finish()
// resolves them and commits the code into a read-execute mapping.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "codegen/executable_buffer.hpp"
#include "common/result.hpp"
#include "platform/mapping.hpp"

namespace quorvel::codegen {

using AssemblyOffset = std::size_t;
using DynamicLabel = std::size_t;

enum class RelocationSize : std::uint8_t { Byte = 1, Word = 2, DWord = 4, QWord = 8 };

// Where a reference is patched: the field starts `field_offset` bytes before
// `location`, and the value written is label + `target_offset` minus
// (`location` - `ref_offset`). Every jump and call here uses the defaults:
// a rel32 field closing the instruction, measured from its end.
struct PatchLoc {
  AssemblyOffset location = 0;
  std::uint8_t field_offset = 4;
  std::uint8_t ref_offset = 0;
  RelocationSize relocation = RelocationSize::DWord;
  std::ptrdiff_t target_offset = 0;
};

enum class LabelErrorKind : std::uint8_t { DuplicateLabel, UnknownLabel, ImpossibleRelocation };

struct LabelError {
  LabelErrorKind kind;
  DynamicLabel label;
};

class Assembler {
 public:
  static constexpr std::size_t kInitialSize = 4096;

  // A fresh buffer with its initial mapping; fails with
  // "Assembler creation failed: ...". With a `spare` (the read-execute
  // mapping of an earlier generation) nothing is mapped now: the commit
  // takes the spare if the code fits, so it costs two protection switches
  // and no fresh pages. The spare stays with the caller otherwise.
  static Result<Assembler> create(platform::Mapping* spare = nullptr);

  DynamicLabel new_dynamic_label() {
    dynamic_labels_.emplace_back();
    return dynamic_labels_.size() - 1;
  }

  void reserve(std::size_t bytes) { ops_.reserve(bytes); }
  void emit(const std::uint8_t* bytes, std::size_t count) { ops_.insert(ops_.end(), bytes, bytes + count); }
  void emit_byte(std::uint8_t byte) { ops_.push_back(byte); }

  AssemblyOffset offset() const { return asmoffset_ + ops_.size(); }

  // The first definition wins; a second one is remembered as DuplicateLabel
  // and reported by finish().
  void define_dynamic_label(DynamicLabel label);

  void add_reference(const PatchLoc& patch, DynamicLabel label) { relocs_.push_back({patch, label}); }

  // The reference of a jump or call that has just been emitted with a
  // trailing zero rel32.
  void add_rel32_reference(DynamicLabel label) { add_reference(PatchLoc{offset(), 4, 0, RelocationSize::DWord, 0}, label); }

  const std::vector<std::uint8_t>& ops() const { return ops_; }

  // Resolves the references and commits the code. A label error or a
  // platform failure here is a panic.
  Result<ExecutableBuffer> finish() &&;

 private:
  struct Reference {
    PatchLoc patch;
    DynamicLabel label;
  };

  explicit Assembler(platform::Mapping mapping) : execbuffer_(std::move(mapping)), execbuffer_size_(execbuffer_.size()) {}
  explicit Assembler(platform::Mapping* spare) : execbuffer_size_(kInitialSize), spare_(spare) {}

  std::optional<LabelError> resolve();
  Status commit();

  std::vector<std::uint8_t> ops_;
  platform::Mapping execbuffer_;
  std::size_t execbuffer_size_ = 0;
  std::size_t asmoffset_ = 0;
  std::vector<std::optional<AssemblyOffset>> dynamic_labels_;
  std::vector<Reference> relocs_;
  std::optional<LabelError> error_;
  platform::Mapping* spare_ = nullptr;
};

}  // namespace quorvel::codegen
