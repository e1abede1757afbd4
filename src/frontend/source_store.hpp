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
// chunks never run together on one line.
class SourceStore {
 public:
  void append(std::string_view chunk) {
    text_.reserve(text_.size() + chunk.size() + 1);
    text_.append(chunk);
    text_.push_back('\n');
  }
  void clear() { text_.clear(); }
  std::string_view text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace quorvel::frontend
