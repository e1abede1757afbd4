#include "codegen/assembler.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "platform/os_error.hpp"

namespace quorvel::codegen {
namespace {

constexpr const char* kLabelErrorNames[] = {"DuplicateLabel", "UnknownLabel", "ImpossibleRelocation"};

Error swap_failure(int error) {
  return panic_error("Could not swap buffer protection modes: " + platform::os_error_description(error));
}

// "DuplicateLabel(Dynamic(DynamicLabel(2)))"
std::string label_error_text(const LabelError& error) {
  std::string text = kLabelErrorNames[static_cast<std::size_t>(error.kind)];
  text += "(Dynamic(DynamicLabel(";
  text += std::to_string(error.label);
  text += ")))";
  return text;
}

}  // namespace

// The region stays read-write until the one commit switches it to
// read-execute: it holds no code before that, so it is never writable and
// executable at once, and a generation costs one protection switch.
Result<Assembler> Assembler::create(platform::Mapping* spare) {
  if (spare != nullptr && *spare) return Assembler(spare);
  platform::Mapping mapping;
  if (int error = platform::Mapping::create(kInitialSize, platform::Protection::ReadWrite, mapping); error != 0) {
    return value_error("Assembler creation failed: " + platform::os_error_description(error));
  }
  return Assembler(std::move(mapping));
}

void Assembler::define_dynamic_label(DynamicLabel label) {
  std::optional<AssemblyOffset>& slot = dynamic_labels_[label];
  if (slot) {
    error_ = LabelError{LabelErrorKind::DuplicateLabel, label};
    return;
  }
  slot = offset();
}

std::optional<LabelError> Assembler::resolve() {
  for (const Reference& reference : relocs_) {
    const PatchLoc& patch = reference.patch;
    if (reference.label >= dynamic_labels_.size() || !dynamic_labels_[reference.label]) {
      return LabelError{LabelErrorKind::UnknownLabel, reference.label};
    }
    const auto target = static_cast<std::int64_t>(*dynamic_labels_[reference.label]);
    const std::int64_t value = target + patch.target_offset -
                               (static_cast<std::int64_t>(patch.location) - patch.ref_offset);

    const auto size = static_cast<unsigned>(patch.relocation);
    bool fits = true;
    if (size < 8) {
      const std::int64_t limit = std::int64_t{1} << (size * 8 - 1);
      fits = value >= -limit && value < limit;
    }
    // The field must lie in the bytes not yet committed; anything else
    // cannot be patched.
    const bool in_range = patch.location >= asmoffset_ + patch.field_offset && patch.field_offset >= size &&
                          patch.location <= offset();
    if (!fits || !in_range) return LabelError{LabelErrorKind::ImpossibleRelocation, reference.label};

    std::uint8_t* field = ops_.data() + (patch.location - patch.field_offset - asmoffset_);
    const auto bits = static_cast<std::uint64_t>(value);
    for (unsigned i = 0; i < size; ++i) field[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  relocs_.clear();
  return std::nullopt;
}

Status Assembler::commit() {
  const std::size_t needed = asmoffset_ + ops_.size();
  if (!execbuffer_ && needed <= spare_->size()) {
    if (int error = spare_->protect(platform::Protection::ReadWrite); error != 0) return swap_failure(error);
    execbuffer_ = std::move(*spare_);
    execbuffer_size_ = execbuffer_.size();
  }
  if (execbuffer_ && needed <= execbuffer_size_) {
    if (!ops_.empty()) std::memcpy(execbuffer_.data() + asmoffset_, ops_.data(), ops_.size());
    if (int error = execbuffer_.protect(platform::Protection::ReadExecute); error != 0) return swap_failure(error);
  } else {
    std::size_t new_size = execbuffer_size_;
    while (new_size <= needed) new_size *= 2;
    platform::Mapping larger;
    if (int error = platform::Mapping::create(new_size, platform::Protection::ReadWrite, larger); error != 0) {
      return panic_error("Could not allocate a larger buffer: " + platform::os_error_description(error));
    }
    if (asmoffset_ != 0) std::memcpy(larger.data(), execbuffer_.data(), asmoffset_);
    std::memcpy(larger.data() + asmoffset_, ops_.data(), ops_.size());
    if (int error = larger.protect(platform::Protection::ReadExecute); error != 0) return swap_failure(error);
    execbuffer_ = std::move(larger);
    execbuffer_size_ = new_size;
  }
  asmoffset_ = needed;
  ops_.clear();
  return success();
}

Result<ExecutableBuffer> Assembler::finish() && {
  std::optional<LabelError> failure = error_;
  if (!failure) failure = resolve();
  if (failure) {
    return panic_error("Errors were encountered when committing before finalization: " + label_error_text(*failure));
  }
  if (Status committed = commit(); !committed) return std::move(committed).error();
  return ExecutableBuffer(std::move(execbuffer_), asmoffset_);
}

}  // namespace quorvel::codegen
