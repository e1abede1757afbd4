#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvel::frontend {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::span<const std::uint8_t> bytes);

// The program text an engine accumulates. Every append ends with '\n', so
// chunks never run together on one line. The version changes with every
// change of the text, so whatever was made from it can tell it is current.
class SourceStore {
 public:
  void append(std::string_view chunk) {
    text_.reserve(text_.size() + chunk.size() + 1);
    text_.append(chunk);
    text_.push_back('\n');
    ++version_;
  }
  void clear() {
    text_.clear();
    ++version_;
  }
  std::string_view text() const { return text_; }
  std::uint64_t version() const { return version_; }

 private:
  std::string text_;
  std::uint64_t version_ = 0;
};

}  // namespace quorvel::frontend
