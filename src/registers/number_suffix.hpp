#pragma once
// Helpers shared by the register-name check and the register file.

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::registers {

// An unsigned decimal: one optional '+', then one or more digits and nothing
// else; leading zeros are fine, overflow of T fails.
template <class T>
constexpr std::optional<T> parse_number_suffix(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  T value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    T digit = static_cast<T>(c - '0');
    if (value > (std::numeric_limits<T>::max() - digit) / 10) return std::nullopt;
    value = static_cast<T>(value * 10 + digit);
  }
  return value;
}

// A name lower-cased for lookup. Register names are ASCII and no non-ASCII
// letter lower-cases to a letter that occurs in one, so ASCII folding gives
// the same answers as full Unicode lower-casing. Short names stay on the stack.
class LoweredName {
 public:
  explicit LoweredName(std::string_view name) {
    char* out = inline_.data();
    if (name.size() > inline_.size()) {
      heap_.resize(name.size());
      out = heap_.data();
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
      char c = name[i];
      if (static_cast<unsigned char>(c) >= 0x80) ascii_ = false;
      out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    view_ = std::string_view(out, name.size());
  }
  LoweredName(const LoweredName&) = delete;
  LoweredName& operator=(const LoweredName&) = delete;

  std::string_view view() const { return view_; }
  bool is_ascii() const { return ascii_; }

 private:
  std::array<char, 32> inline_{};
  std::string heap_;
  std::string_view view_;
  bool ascii_ = true;
};

}  // namespace quorvel::registers
