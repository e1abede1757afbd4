#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/source_store.hpp"
#include "frontend/unicode.hpp"
#include "test_param_names.hpp"

namespace quorvel::frontend {
namespace {

using testing_names::quoted;

// Every White_Space character, and look-alikes that are not.
constexpr std::string_view kSpaces[] = {
    "\t", "\n", "\v", "\f", "\r", " ", "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80",
    "\xe2\x80\x80", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf",
    "\xe2\x81\x9f", "\xe3\x80\x80",
};
constexpr std::string_view kNotSpaces[] = {
    "\x1c", "\x1f", "\x85", "\xa0",  // C isspace-adjacent bytes, bare continuation bytes
    "\xe2\x80\x8b",                  // U+200B ZERO WIDTH SPACE
    "\xe2\x80\x8c", "\xe2\x80\xaa", "\xe2\x81\xa0", "\xef\xbb\xbf", "\xe1\xa0\x8e",
    "\xe3\x80\x81", "\xc2\x84",
};

TEST(Whitespace, TrimAndSplitUseWhiteSpaceProperty) {
  for (std::string_view space : kSpaces) {
    const std::string padded = std::string(space) + "a" + std::string(space) + "b" + std::string(space);
    EXPECT_EQ(trim(padded), std::string("a").append(space).append("b")) << padded;
    WhitespaceTokens tokens(padded);
    EXPECT_EQ(tokens.next(), "a");
    EXPECT_EQ(tokens.next(), "b");
    EXPECT_EQ(tokens.next(), std::nullopt);
  }
  for (std::string_view other : kNotSpaces) {
    const std::string padded = std::string(other) + "a" + std::string(other);
    EXPECT_EQ(trim(padded), padded);
    WhitespaceTokens tokens(padded);
    EXPECT_EQ(tokens.next(), padded);
    EXPECT_EQ(tokens.next(), std::nullopt);
  }
}

TEST(Whitespace, RunsAndEdges) {
  EXPECT_EQ(trim(""), "");
  EXPECT_EQ(trim(" \t\r\n"), "");
  EXPECT_EQ(trim("\xe3\x80\x80\xc2\xa0"), "");
  // A truncated sequence at either end is text, not space.
  EXPECT_EQ(trim("\xe2\x80 x \xe2\x80"), "\xe2\x80 x \xe2\x80");
  EXPECT_EQ(trim("\x80\xa0"), "\x80\xa0");

  WhitespaceTokens tokens(" mov \xc2\xa0\t rax,\xe2\x80\x83" "5  ");
  std::vector<std::string_view> pieces;
  while (auto token = tokens.next()) pieces.push_back(*token);
  EXPECT_EQ(pieces, (std::vector<std::string_view>{"mov", "rax,", "5"}));
}

// Expected values are Python 3.12's str.lower() of the input.
struct LowerCase {
  std::string_view text;
  std::string_view lowered;
};

void PrintTo(const LowerCase& c, std::ostream* os) { *os << quoted(c.text) << " -> " << quoted(c.lowered); }

class Lower : public testing::TestWithParam<LowerCase> {};

TEST_P(Lower, MatchesPythonStrLower) {
  EXPECT_EQ(to_lower(GetParam().text), GetParam().lowered);
  EXPECT_EQ(LoweredText(GetParam().text).view(), GetParam().lowered);
}

INSTANTIATE_TEST_SUITE_P(
    Frontend, Lower,
    testing::Values(
        LowerCase{"", ""}, LowerCase{"MOV", "mov"}, LowerCase{"_START", "_start"}, LowerCase{"AbC09[]@`{", "abc09[]@`{"},
        LowerCase{"A_LONG_ASCII_MNEMONIC_WORD", "a_long_ascii_mnemonic_word"},
        LowerCase{"MOV\xc4\xb0", "movi\xcc\x87"},                 // U+0130 has a two-code-point lower case
        LowerCase{"\xc3\x84\xc3\x96\xc3\x9c\xc3\x9f", "\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f"},  // ÄÖÜß
        LowerCase{"\xe2\x84\xaa", "k"},                          // KELVIN SIGN
        LowerCase{"\xe2\x84\xab", "\xc3\xa5"},                   // ANGSTROM SIGN
        LowerCase{"\xc7\x85", "\xc7\x86"},                       // Dž (title case) -> dž
        LowerCase{"\xe1\xbe\x88", "\xe1\xbe\x80"},               // ᾈ -> ᾀ, no iota expansion
        LowerCase{"\xd0\x96\xd0\xaf", "\xd0\xb6\xd1\x8f"},       // ЖЯ
        LowerCase{"\xf0\x90\x90\x80", "\xf0\x90\x90\xa8"},       // U+10400 DESERET
        LowerCase{"\xf0\x9e\xa4\x80", "\xf0\x9e\xa4\xa2"},       // U+1E900 ADLAM
        LowerCase{"\xe2\x93\x90\xe2\x92\xb6", "\xe2\x93\x90\xe2\x93\x90"},  // circled letters
        // Final sigma: after a cased letter and not before one, case-ignorables skipped.
        LowerCase{"\xce\xa3", "\xcf\x83"}, LowerCase{"A\xce\xa3", "a\xcf\x82"},
        LowerCase{"A\xce\xa3" "B", "a\xcf\x83" "b"}, LowerCase{"A\xce\xa3 B", "a\xcf\x82 b"},
        LowerCase{"A'\xce\xa3'", "a'\xcf\x82'"}, LowerCase{"'\xce\xa3", "'\xcf\x83"},
        LowerCase{"A\xce\xa3'B", "a\xcf\x83'b"}, LowerCase{"1\xce\xa3", "1\xcf\x83"},
        LowerCase{"\xce\xa3\xce\xa3", "\xcf\x83\xcf\x82"},
        LowerCase{"A\xcc\x81\xce\xa3", "a\xcc\x81\xcf\x82"},  // combining acute is case-ignorable
        LowerCase{"\xca\xb0\xce\xa3", "\xca\xb0\xcf\x83"},    // ʰ is cased but also case-ignorable
        // Invalid bytes pass through and break no context.
        LowerCase{"A\xff" "B\xc0\xaf", "a\xff" "b\xc0\xaf"}, LowerCase{"A\xce\xa3\xff", "a\xcf\x82\xff"},
        LowerCase{"\xed\xa0\x80X", "\xed\xa0\x80x"}), testing_names::ByText());

struct Utf8Case {
  std::vector<std::uint8_t> bytes;
  bool valid;
};

// "E2_82" for a test name, "E2 82" for a report.
std::string hex_bytes(const std::vector<std::uint8_t>& bytes, char separator) {
  std::string text;
  char piece[3];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(piece, sizeof piece, "%02X", byte);
    if (!text.empty()) text += separator;
    text += piece;
  }
  return text;
}

void PrintTo(const Utf8Case& c, std::ostream* os) {
  *os << "bytes {" << hex_bytes(c.bytes, ' ') << "} -> " << (c.valid ? "valid" : "invalid");
}

std::string utf8_case_name(const testing::TestParamInfo<Utf8Case>& info) {
  return testing_names::case_name(info.index,
                                  (info.param.valid ? "valid_" : "invalid_") + hex_bytes(info.param.bytes, '_'));
}

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, StrictDecoding) { EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Frontend, Utf8,
    testing::Values(Utf8Case{{}, true}, Utf8Case{{'a', 0x00, 0x7F}, true}, Utf8Case{{0xC2, 0x80}, true},
                    Utf8Case{{0xDF, 0xBF}, true}, Utf8Case{{0xE0, 0xA0, 0x80}, true},
                    Utf8Case{{0xED, 0x9F, 0xBF}, true}, Utf8Case{{0xEE, 0x80, 0x80}, true},
                    Utf8Case{{0xEF, 0xBF, 0xBF}, true}, Utf8Case{{0xF0, 0x90, 0x80, 0x80}, true},
                    Utf8Case{{0xF4, 0x8F, 0xBF, 0xBF}, true},
                    Utf8Case{{0x80}, false},                    // lone continuation
                    Utf8Case{{0xC0, 0x80}, false},              // overlong NUL
                    Utf8Case{{0xC1, 0xBF}, false},              // overlong
                    Utf8Case{{0xE0, 0x9F, 0xBF}, false},        // overlong
                    Utf8Case{{0xED, 0xA0, 0x80}, false},        // surrogate U+D800
                    Utf8Case{{0xED, 0xBF, 0xBF}, false},        // surrogate U+DFFF
                    Utf8Case{{0xF0, 0x8F, 0xBF, 0xBF}, false},  // overlong
                    Utf8Case{{0xF4, 0x90, 0x80, 0x80}, false},  // above U+10FFFF
                    Utf8Case{{0xF5, 0x80, 0x80, 0x80}, false}, Utf8Case{{0xFF}, false},
                    Utf8Case{{0xE2, 0x82}, false},              // truncated
                    Utf8Case{{'a', 0xF0, 0x90, 0x80}, false},   // truncated at the end
                    Utf8Case{{0xE2, 0x28, 0xA1}, false},        // bad continuation
                    Utf8Case{{0xF0, 0x90, 0x80, 0x41}, false}), utf8_case_name);

}  // namespace
}  // namespace quorvel::frontend
