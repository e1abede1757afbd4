#include "codegen/assembler.hpp"

namespace quorvel::codegen {

void Assembler::flush() {
  ops_.insert(ops_.end(), staging_.begin(), staging_.begin() + static_cast<std::ptrdiff_t>(staged_));
  staged_ = 0;
}

bool Assembler::resolve() {
  flush();
  for (const Reference& reference : references_) {
    if (labels_[reference.label] == kUndefined) return false;
  }
  for (const Reference& reference : references_) {
    // Code is far smaller than 2 GiB, so every displacement fits.
    const auto value = static_cast<std::uint32_t>(labels_[reference.label] - reference.end);
    std::uint8_t* field = ops_.data() + reference.end - 4;
    for (unsigned i = 0; i < 4; ++i) field[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  references_.clear();
  return true;
}

}  // namespace quorvel::codegen
