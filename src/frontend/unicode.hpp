#pragma once
// Text helpers for UTF-8 source: Unicode White_Space trimming and splitting,
// and full lower-casing that agrees with Python's str.lower(). Every routine
// accepts arbitrary bytes: an invalid sequence counts as one non-space byte
// and is copied through unchanged.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::frontend {

// What one byte can say about White_Space. The parser asks for every byte, so
// the answer is a table look-up, and only the lead bytes of multi-byte spaces
// (U+0085 and U+00A0 after 0xC2; U+1680, U+2000.., U+3000 after 0xE1..0xE3)
// and the bytes that can end one need a closer look.
enum SpaceClass : unsigned char { kNotSpace = 0, kAsciiSpace = 1, kMaybeSpace = 2 };

struct SpaceTables {
  std::array<unsigned char, 256> lead{};  // as the first byte of a character
  std::array<unsigned char, 256> last{};  // as the last byte of a character
};

constexpr SpaceTables make_space_tables() {
  SpaceTables tables;
  for (unsigned char c : {'\t', '\n', '\v', '\f', '\r', ' '}) tables.lead[c] = tables.last[c] = kAsciiSpace;
  for (unsigned c : {0xC2u, 0xE1u, 0xE2u, 0xE3u}) tables.lead[c] = kMaybeSpace;
  // Multi-byte spaces end in 0x80..0x8A, 0x9F, 0xA0, 0xA8, 0xA9 or 0xAF.
  for (unsigned c = 0x80; c <= 0xAF; ++c) tables.last[c] = kMaybeSpace;
  return tables;
}

inline constexpr SpaceTables kSpaceTables = make_space_tables();

std::size_t multibyte_whitespace_at(std::string_view text, std::size_t pos);
std::size_t multibyte_whitespace_before(std::string_view text, std::size_t end);

// Length in bytes of the White_Space character that starts at `pos`, or 0.
inline std::size_t whitespace_at(std::string_view text, std::size_t pos) {
  switch (kSpaceTables.lead[static_cast<unsigned char>(text[pos])]) {
    case kNotSpace: return 0;
    case kAsciiSpace: return 1;
    default: return multibyte_whitespace_at(text, pos);
  }
}

// Length in bytes of the White_Space character that ends just before `end`, or 0.
inline std::size_t whitespace_before(std::string_view text, std::size_t end) {
  if (end == 0) return 0;
  switch (kSpaceTables.last[static_cast<unsigned char>(text[end - 1])]) {
    case kNotSpace: return 0;
    case kAsciiSpace: return 1;
    default: return multibyte_whitespace_before(text, end);
  }
}

inline std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t n = whitespace_at(text, begin);
    if (n == 0) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t n = whitespace_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

// The pieces of a text between runs of White_Space, left to right.
class WhitespaceTokens {
 public:
  explicit WhitespaceTokens(std::string_view text) : text_(text) {}

  [[gnu::always_inline]] std::optional<std::string_view> next() {
    while (pos_ < text_.size()) {
      const std::size_t n = whitespace_at(text_, pos_);
      if (n == 0) break;
      pos_ += n;
    }
    if (pos_ == text_.size()) return std::nullopt;
    const std::size_t start = pos_;
    for (;;) {
      pos_ = next_space_candidate(text_, pos_);
      if (pos_ == text_.size() || whitespace_at(text_, pos_) != 0) break;
      ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

 private:
  // The first byte at or after `pos` that may start a White_Space character:
  // every one starts with a byte up to 0x20 or from 0x80, and printable ASCII
  // is neither, so tokens are scanned eight bytes at a time.
  static std::size_t next_space_candidate(std::string_view text, std::size_t pos) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    for (; pos + 8 <= text.size(); pos += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + pos, sizeof word);
      // High bit set in each byte below 0x21 (bytes from 0x80 set it anyway).
      const std::uint64_t low = (word - kOnes * 0x21) & ~word & kHighs;
      const std::uint64_t hits = low | (word & kHighs);
      if (hits != 0) return pos + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
    }
    while (pos < text.size()) {
      const auto byte = static_cast<unsigned char>(text[pos]);
      if (byte <= 0x20 || byte >= 0x80) break;
      ++pos;
    }
    return pos;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Full Unicode lower case, as str.lower() gives it: one-to-many mappings
// (U+0130 becomes "i\u0307") and the final form of capital sigma.
std::string to_lower(std::string_view text);

// A lower-cased copy that stays on the stack for short ASCII text, the
// common case for mnemonics and register names.
class LoweredText {
 public:
  explicit LoweredText(std::string_view text);
  LoweredText(const LoweredText&) = delete;
  LoweredText& operator=(const LoweredText&) = delete;

  std::string_view view() const { return view_; }

 private:
  std::array<char, 16> inline_;
  std::string heap_;
  std::string_view view_;
};

}  // namespace quorvel::frontend
