#include "frontend/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <span>

#include "frontend/source_store.hpp"

namespace quorvel::frontend {
namespace {

struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint32_t stride;  // 1: every code point of the run maps; 2: every other one
};

struct LowerSpecial {
  char32_t code_point;
  std::string_view lowered;  // UTF-8
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "frontend/lowercase_table.inc"

constexpr bool runs_sorted() {
  for (std::size_t i = 1; i < std::size(kLowerRanges); ++i) {
    if (kLowerRanges[i].first <= kLowerRanges[i - 1].last) return false;
  }
  return true;
}
static_assert(runs_sorted(), "lower-case runs are sorted and disjoint");

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr std::string_view kSmallSigma = "\xcf\x83";
constexpr std::string_view kFinalSigma = "\xcf\x82";

unsigned char byte_at(std::string_view text, std::size_t pos) {
  return static_cast<unsigned char>(text[pos]);
}

bool in(unsigned char byte, unsigned char low, unsigned char high) { return byte >= low && byte <= high; }

struct Decoded {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

// One code point under the strict rules of Python's decoder; an invalid
// sequence yields its first byte alone.
Decoded decode(std::string_view text, std::size_t pos) {
  const std::size_t left = text.size() - pos;
  const unsigned char lead = byte_at(text, pos);
  const Decoded invalid{lead, 1, false};
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (in(lead, 0xC2, 0xDF)) {
    length = 2;
  } else if (in(lead, 0xE0, 0xEF)) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (in(lead, 0xF0, 0xF4)) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return invalid;
  }
  if (left < length || !in(byte_at(text, pos + 1), low, high)) return invalid;
  char32_t code_point = lead & (0xFFu >> (length + 1));
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte_at(text, pos + i);
    if (i > 1 && !in(next, 0x80, 0xBF)) return invalid;
    code_point = (code_point << 6) | (next & 0x3Fu);
  }
  return {code_point, length, true};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

template <std::size_t N>
bool in_ranges(const CodeRange (&ranges)[N], char32_t cp) {
  auto it = std::upper_bound(std::begin(ranges), std::end(ranges), cp,
                             [](char32_t value, const CodeRange& range) { return value < range.first; });
  return it != std::begin(ranges) && cp <= std::prev(it)->last;
}

bool case_ignorable(const Decoded& d) { return d.valid && in_ranges(kCaseIgnorable, d.code_point); }
bool cased(const Decoded& d) { return d.valid && in_ranges(kCased, d.code_point); }

void append_lower(std::string& out, char32_t cp) {
  for (const LowerSpecial& special : kLowerSpecial) {
    if (special.code_point == cp) {
      out.append(special.lowered);
      return;
    }
  }
  auto it = std::upper_bound(std::begin(kLowerRanges), std::end(kLowerRanges), cp,
                             [](char32_t value, const LowerRun& run) { return value < run.first; });
  if (it != std::begin(kLowerRanges)) {
    const LowerRun& run = *std::prev(it);
    if (cp <= run.last && (cp - run.first) % run.stride == 0) {
      cp = static_cast<char32_t>(static_cast<std::int64_t>(cp) + run.delta);
    }
  }
  append_utf8(out, cp);
}

// Whether a cased character follows `pos`, case-ignorable ones skipped.
bool cased_follows(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    const Decoded d = decode(text, pos);
    if (!case_ignorable(d)) return cased(d);
    pos += d.length;
  }
  return false;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

}  // namespace

std::size_t multibyte_whitespace_at(std::string_view text, std::size_t pos) {
  const unsigned char lead = byte_at(text, pos);
  const std::size_t left = text.size() - pos;
  if (lead == 0xC2) {
    return (left >= 2 && (byte_at(text, pos + 1) == 0x85 || byte_at(text, pos + 1) == 0xA0)) ? 2 : 0;
  }
  if (left < 3 || lead < 0xE1 || lead > 0xE3) return 0;
  const unsigned char b1 = byte_at(text, pos + 1);
  const unsigned char b2 = byte_at(text, pos + 2);
  bool space = false;
  switch (lead) {
    case 0xE1: space = b1 == 0x9A && b2 == 0x80; break;  // U+1680
    case 0xE2:
      space = (b1 == 0x80 && (in(b2, 0x80, 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) ||
              (b1 == 0x81 && b2 == 0x9F);  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
      break;
    default: space = b1 == 0x80 && b2 == 0x80; break;  // U+3000
  }
  return space ? 3 : 0;
}

std::size_t multibyte_whitespace_before(std::string_view text, std::size_t end) {
  const std::string_view head = text.substr(0, end);
  if (end >= 2 && byte_at(text, end - 2) == 0xC2) return multibyte_whitespace_at(head, end - 2);
  if (end >= 3) return multibyte_whitespace_at(head, end - 3) == 3 ? 3 : 0;
  return 0;
}

std::string to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool after_cased = false;  // the last character that is not case-ignorable is cased
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Decoded d = decode(text, pos);
    if (!d.valid) {
      out.push_back(text[pos]);
    } else if (d.code_point == kCapitalSigma) {
      out.append(after_cased && !cased_follows(text, pos + d.length) ? kFinalSigma : kSmallSigma);
    } else {
      append_lower(out, d.code_point);
    }
    if (!case_ignorable(d)) after_cased = cased(d);
    pos += d.length;
  }
  return out;
}

LoweredText::LoweredText(std::string_view text) {
  if (text.size() <= inline_.size()) {
    std::size_t i = 0;
    for (; i < text.size() && static_cast<unsigned char>(text[i]) < 0x80; ++i) inline_[i] = ascii_lower(text[i]);
    if (i == text.size()) {
      view_ = std::string_view(inline_.data(), text.size());
      return;
    }
  }
  heap_ = to_lower(text);
  view_ = heap_;
}

bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (byte_at(text, pos) < 0x80) {
      ++pos;
      continue;
    }
    const Decoded d = decode(text, pos);
    if (!d.valid) return false;
    pos += d.length;
  }
  return true;
}

}  // namespace quorvel::frontend
