#pragma once
// Readable names and printouts for value-parametrized cases. Without them
// gtest shows a parameter struct as its raw bytes, both in the test names
// that ctest lists and in the report of a failing case.

#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace quorvel::testing_names {

// "[rax+rbx*4]" reads "rax_plus_rbx_times_4": letters and digits stay,
// punctuation is spelled out, other bytes appear as hex ("xC2A0").
inline std::string readable(std::string_view text) {
  constexpr std::size_t kLongest = 48;
  std::string name;
  const auto word = [&name](std::string_view piece) {
    if (!name.empty() && name.back() != '_') name += '_';
    name += piece;
    name += '_';
  };
  bool in_hex = false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      char piece[3];
      std::snprintf(piece, sizeof piece, "%02X", byte);
      if (!in_hex) {
        if (!name.empty() && name.back() != '_') name += '_';
        name += 'x';
      }
      name += piece;
      in_hex = true;
      continue;
    }
    if (in_hex) name += '_';
    in_hex = false;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      name += c;
      continue;
    }
    switch (c) {
      case '+': word("plus"); break;
      case '-': word("minus"); break;
      case '*': word("times"); break;
      case '$': word("dollar"); break;
      case '%': word("percent"); break;
      case '#': word("hash"); break;
      case ',': word("comma"); break;
      case ';': word("semi"); break;
      case ':': word("colon"); break;
      case '.': word("dot"); break;
      case '\'': word("quote"); break;
      case '\n': word("nl"); break;
      case '\r': word("cr"); break;
      case '\t': word("tab"); break;
      case '[': case ']': case '(': case ')': case ' ': case '_': name += '_'; break;
      default: {
        char piece[4];
        std::snprintf(piece, sizeof piece, "x%02X", byte);
        word(piece);
      }
    }
  }
  std::string squeezed;
  for (const char c : name) {
    if (c == '_' && (squeezed.empty() || squeezed.back() == '_')) continue;
    squeezed += c;
  }
  if (squeezed.size() > kLongest) squeezed.resize(kLongest);
  while (!squeezed.empty() && squeezed.back() == '_') squeezed.pop_back();
  return squeezed.empty() ? "empty" : squeezed;
}

// Prefixed with the case's position: texts that read alike ("[rax]" and
// "(rax)") still get distinct names, and the list keeps the source order.
inline std::string case_name(std::size_t index, std::string_view text) {
  char position[16];
  std::snprintf(position, sizeof position, "%02zu_", index);
  return position + readable(text);
}

// For cases that carry their input in a member called `text`.
struct ByText {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return case_name(info.index, info.param.text);
  }
};

// The text as a C string literal, so that invisible and non-ASCII bytes show.
inline std::string quoted(std::string_view text) {
  std::string out = "\"";
  bool after_hex_escape = false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // A hex escape would swallow a following hex digit: close and reopen the literal.
    if (after_hex_escape && std::isxdigit(byte)) out += "\" \"";
    after_hex_escape = false;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char piece[5];
      std::snprintf(piece, sizeof piece, "\\x%02x", byte);
      out += piece;
      after_hex_escape = true;
    } else {
      out += c;
    }
  }
  return out + '"';
}

}  // namespace quorvel::testing_names
