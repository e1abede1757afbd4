#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "frontend/literals.hpp"
#include "test_param_names.hpp"

namespace quorvel::frontend {
namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

using testing_names::ByText;
using testing_names::quoted;

template <class Value>
std::string or_none(const std::optional<Value>& value) {
  return value ? std::to_string(*value) : "none";
}

struct DecimalCase {
  std::string_view text;
  std::optional<std::uint64_t> value;
};

void PrintTo(const DecimalCase& c, std::ostream* os) { *os << quoted(c.text) << " -> " << or_none(c.value); }

class DecimalImmediate : public testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalImmediate, ReadsOnlyPlainDecimals) {
  EXPECT_EQ(parse_decimal_immediate(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Frontend, DecimalImmediate,
    testing::Values(DecimalCase{"0", 0}, DecimalCase{"5", 5}, DecimalCase{"+7", 7}, DecimalCase{"007", 7},
                    DecimalCase{"18446744073709551615", kMax}, DecimalCase{"018446744073709551615", kMax},
                    DecimalCase{"18446744073709551616", std::nullopt},
                    DecimalCase{"99999999999999999999", std::nullopt}, DecimalCase{"", std::nullopt},
                    DecimalCase{"+", std::nullopt}, DecimalCase{"++1", std::nullopt},
                    DecimalCase{"-1", std::nullopt}, DecimalCase{"0x10", std::nullopt},
                    DecimalCase{"$5", std::nullopt}, DecimalCase{"#5", std::nullopt},
                    DecimalCase{"5,", std::nullopt}, DecimalCase{" 5", std::nullopt},
                    DecimalCase{"\xd9\xa5", std::nullopt}), ByText());  // ARABIC-INDIC DIGIT FIVE

struct CountCase {
  std::string_view text;
  std::optional<int> value;
};

void PrintTo(const CountCase& c, std::ostream* os) { *os << quoted(c.text) << " -> " << or_none(c.value); }

class Count : public testing::TestWithParam<CountCase> {};

TEST_P(Count, FitsSignedByte) {
  const auto count = parse_count(GetParam().text);
  ASSERT_EQ(count.has_value(), GetParam().value.has_value()) << GetParam().text;
  if (count) {
    EXPECT_EQ(*count, *GetParam().value);
  }
}

INSTANTIATE_TEST_SUITE_P(Frontend, Count,
                         testing::Values(CountCase{"0", 0}, CountCase{"64", 64}, CountCase{"+3", 3},
                                         CountCase{"-1", -1}, CountCase{"127", 127}, CountCase{"-128", -128},
                                         CountCase{"-0", 0}, CountCase{"-000128", -128},
                                         CountCase{"128", std::nullopt}, CountCase{"-129", std::nullopt},
                                         CountCase{"200", std::nullopt}, CountCase{"cl", std::nullopt},
                                         CountCase{"", std::nullopt}, CountCase{"-", std::nullopt},
                                         CountCase{"+-1", std::nullopt}, CountCase{"--1", std::nullopt},
                                         CountCase{"99999999999999999999999", std::nullopt}), ByText());

struct ScaleCase {
  std::string_view text;
  std::optional<int> value;
};

void PrintTo(const ScaleCase& c, std::ostream* os) { *os << quoted(c.text) << " -> " << or_none(c.value); }

class Scale : public testing::TestWithParam<ScaleCase> {};

TEST_P(Scale, FitsUnsignedByte) {
  const auto scale = parse_scale(GetParam().text);
  ASSERT_EQ(scale.has_value(), GetParam().value.has_value()) << GetParam().text;
  if (scale) {
    EXPECT_EQ(*scale, *GetParam().value);
  }
}

INSTANTIATE_TEST_SUITE_P(Frontend, Scale,
                         testing::Values(ScaleCase{"0", 0}, ScaleCase{"8", 8}, ScaleCase{"+4", 4},
                                         ScaleCase{"255", 255}, ScaleCase{"0255", 255},
                                         ScaleCase{"256", std::nullopt}, ScaleCase{"-1", std::nullopt},
                                         ScaleCase{"x", std::nullopt}, ScaleCase{"", std::nullopt},
                                         ScaleCase{"0x4", std::nullopt}), ByText());

struct NumberCase {
  std::string text;
  std::uint64_t value;
  std::string error;  // empty when the text is a number
};

void PrintTo(const NumberCase& c, std::ostream* os) {
  *os << quoted(c.text) << " -> ";
  if (c.error.empty()) {
    *os << c.value;
  } else {
    *os << quoted(c.error);
  }
}

class Number : public testing::TestWithParam<NumberCase> {};

TEST_P(Number, ValueOrMessage) {
  const NumberCase& c = GetParam();
  const auto result = parse_number(c.text);
  if (c.error.empty()) {
    ASSERT_TRUE(result.ok()) << c.text << ": " << result.error().message;
    EXPECT_EQ(result.value(), c.value);
  } else {
    ASSERT_FALSE(result.ok()) << c.text;
    EXPECT_EQ(result.error().message, c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frontend, Number,
    testing::Values(NumberCase{"42", 42, ""}, NumberCase{"+5", 5, ""}, NumberCase{" 9\t", 9, ""},
                    NumberCase{"\xc2\xa0" "12\xe3\x80\x80", 12, ""},  // NBSP and ideographic space
                    NumberCase{"0x10", 16, ""}, NumberCase{"0XfF", 255, ""}, NumberCase{"0x+1f", 31, ""},
                    NumberCase{"0xffffffffffffffff", kMax, ""}, NumberCase{"0x0000000000000000ff", 255, ""},
                    NumberCase{"0b101", 5, ""}, NumberCase{"0B+11", 3, ""},
                    NumberCase{"0b" + std::string(64, '1'), kMax, ""},
                    NumberCase{"18446744073709551615", kMax, ""},
                    NumberCase{"18446744073709551616", 0, "Invalid number: 18446744073709551616"},
                    NumberCase{"0x10000000000000000", 0, "Invalid hex: 0x10000000000000000"},
                    NumberCase{"0b1" + std::string(64, '0'), 0, "Invalid binary: 0b1" + std::string(64, '0')},
                    NumberCase{"0x", 0, "Invalid hex: 0x"}, NumberCase{" 0X ", 0, "Invalid hex: 0X"},
                    NumberCase{"0xg", 0, "Invalid hex: 0xg"}, NumberCase{"0x-1", 0, "Invalid hex: 0x-1"},
                    NumberCase{"0B", 0, "Invalid binary: 0B"}, NumberCase{"0b2", 0, "Invalid binary: 0b2"},
                    NumberCase{"-8", 0, "Invalid number: -8"}, NumberCase{"", 0, "Invalid number: "},
                    NumberCase{"x", 0, "Invalid number: x"}, NumberCase{"0", 0, ""},
                    NumberCase{"1_000", 0, "Invalid number: 1_000"}), ByText());

TEST(StripPrefixes, RemovesPercentThenDollarThenHash) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"%rax", "rax"}, {"%%$$##r8", "r8"}, {"%$#r8", "r8"}, {"$%r8", "%r8"},
      {"#$r8", "$r8"}, {"rax%", "rax%"},   {"%", ""},        {"", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(strip_prefixes(text), expected) << text;
}

struct MemCase {
  std::string_view text;
  MemKind kind;
  std::string_view base;
  std::string_view index;
  std::uint64_t addr;
  std::int64_t disp;
  int scale;
};

void PrintTo(const MemCase& c, std::ostream* os) {
  *os << quoted(c.text) << " -> kind " << static_cast<int>(c.kind) << ", base " << quoted(c.base) << ", index "
      << quoted(c.index) << ", addr " << c.addr << ", disp " << c.disp << ", scale " << c.scale;
}

class MemoryOperand : public testing::TestWithParam<MemCase> {};

TEST_P(MemoryOperand, Variant) {
  const MemCase& c = GetParam();
  const auto result = parse_memory_operand(c.text);
  ASSERT_TRUE(result.ok()) << c.text << ": " << result.error().message;
  const MemOperand& mem = result.value();
  EXPECT_EQ(mem.kind, c.kind) << c.text;
  EXPECT_EQ(mem.base, c.base) << c.text;
  EXPECT_EQ(mem.index, c.index) << c.text;
  EXPECT_EQ(mem.addr, c.addr) << c.text;
  EXPECT_EQ(mem.disp, c.disp) << c.text;
  EXPECT_EQ(mem.scale, c.scale) << c.text;
}

using K = MemKind;
INSTANTIATE_TEST_SUITE_P(
    Frontend, MemoryOperand,
    testing::Values(
        // brackets
        MemCase{"[0x1000]", K::Absolute, "", "", 4096, 0, 0}, MemCase{"[+5]", K::Absolute, "", "", 5, 0, 0},
        MemCase{"[ 7 ]", K::Absolute, "", "", 7, 0, 0}, MemCase{"[]", K::Base, "", "", 0, 0, 0},
        MemCase{"[rax]", K::Base, "rax", "", 0, 0, 0}, MemCase{"[%RAX]", K::Base, "RAX", "", 0, 0, 0},
        MemCase{"[$#foo]", K::Base, "foo", "", 0, 0, 0},
        MemCase{"[rax+8]", K::BaseDisp, "rax", "", 0, 8, 0}, MemCase{"[rax-8]", K::BaseDisp, "rax", "", 0, -8, 0},
        MemCase{"[rbp-0x10]", K::BaseDisp, "rbp", "", 0, -16, 0}, MemCase{"[-5]", K::BaseDisp, "", "", 0, -5, 0},
        MemCase{"[rax+0xffffffffffffffff]", K::BaseDisp, "rax", "", 0, -1, 0},
        MemCase{"[rax-0]", K::BaseDisp, "rax", "", 0, 0, 0},
        MemCase{"[rax+foo-8]", K::BaseDisp, "rax+foo", "", 0, -8, 0},
        MemCase{"[rax+rbx]", K::BaseIndex, "rax", "rbx", 0, 0, 0},
        MemCase{"[%r8+%R9D]", K::BaseIndex, "r8", "R9D", 0, 0, 0},
        MemCase{"[x1+w2]", K::BaseIndex, "x1", "w2", 0, 0, 0},
        MemCase{"[rax+XMM15]", K::BaseIndex, "rax", "XMM15", 0, 0, 0},
        MemCase{"[rax+rbx*4]", K::BaseIndexScale, "rax", "rbx", 0, 0, 4},
        MemCase{"[rax+rbx*3]", K::BaseIndexScale, "rax", "rbx", 0, 0, 3},
        MemCase{"[rax+rbx*255]", K::BaseIndexScale, "rax", "rbx", 0, 0, 255},
        MemCase{"[rbx*4+rax*2]", K::BaseIndexScale, "rbx*4", "rax", 0, 0, 2},
        MemCase{"[rax+rbx*4+8]", K::BaseIndexScaleDisp, "rax", "rbx", 0, 8, 4},
        MemCase{"[rax+rbx*4+8+9]", K::BaseIndexScaleDisp, "rax", "rbx", 0, 8, 4},
        MemCase{"[rip]", K::Base, "rip", "", 0, 0, 0}, MemCase{"[RIP]", K::Base, "rip", "", 0, 0, 0},
        MemCase{"[rip-8]", K::Base, "rip", "", 0, 0, 0}, MemCase{"[stripe]", K::Base, "rip", "", 0, 0, 0},
        MemCase{"[RIP+0x10]", K::RipRelative, "", "", 0, 16, 0},
        MemCase{"[rip+0xffffffff]", K::RipRelative, "", "", 0, -1, 0},
        MemCase{"[rip+0x100000005]", K::RipRelative, "", "", 0, 5, 0},
        MemCase{"[rip+0x80000000]", K::RipRelative, "", "", 0, INT32_MIN, 0},
        // parentheses
        MemCase{"8(%rbp)", K::BaseDisp, "rbp", "", 0, 8, 0}, MemCase{"0x10(rbx)", K::BaseDisp, "rbx", "", 0, 16, 0},
        MemCase{"(%rax)", K::Base, "rax", "", 0, 0, 0}, MemCase{"()", K::Base, "", "", 0, 0, 0},
        MemCase{"(%rax,%rbx)", K::BaseIndex, "rax", "rbx", 0, 0, 0},
        MemCase{"(%rax,%rbx,8,9)", K::BaseIndex, "rax", "rbx", 0, 0, 0},
        MemCase{"(%rax,%rbx,8)", K::BaseIndexScale, "rax", "rbx", 0, 0, 8},
        MemCase{"16(%rax,%rbx,2)", K::BaseIndexScaleDisp, "rax", "rbx", 0, 16, 2},
        MemCase{"16(%rax,%rbx)", K::BaseIndexScaleDisp, "rax", "rbx", 0, 16, 1},
        MemCase{"16(%rax,%rbx,2,7)", K::BaseIndexScaleDisp, "rax", "rbx", 0, 16, 1},
        MemCase{"(a)(b)", K::Base, "a)(b", "", 0, 0, 0}), ByText());

struct MemErrorCase {
  std::string_view text;
  std::string_view message;
};

void PrintTo(const MemErrorCase& c, std::ostream* os) { *os << quoted(c.text) << " -> " << quoted(c.message); }

class MemoryOperandError : public testing::TestWithParam<MemErrorCase> {};

TEST_P(MemoryOperandError, Message) {
  const auto result = parse_memory_operand(GetParam().text);
  ASSERT_FALSE(result.ok()) << GetParam().text;
  EXPECT_EQ(result.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Frontend, MemoryOperandError,
    testing::Values(MemErrorCase{"[rax+foo]", "Could not parse memory address: [rax+foo]"},
                    MemErrorCase{"[ rax+foo ]", "Could not parse memory address: [rax+foo]"},
                    MemErrorCase{"[rbx*4]", "Could not parse memory address: [rbx*4]"},
                    MemErrorCase{"[rax+rbx*2*2]", "Could not parse memory address: [rax+rbx*2*2]"},
                    MemErrorCase{"[rax+rbx*x]", "Invalid scale: x"},
                    MemErrorCase{"[rax+rbx*256]", "Invalid scale: 256"},
                    MemErrorCase{"[rax+rbx*4-8]", "Invalid scale: 4-8"},
                    MemErrorCase{"[rax+rbx*256+8]", "Invalid scale"},
                    MemErrorCase{"[rax+rbx*+4]", "Invalid scale"},
                    MemErrorCase{"[rax+rbx*4+x]", "Invalid number: x"},
                    MemErrorCase{"[rax+rbx*4+0xz]", "Invalid hex: 0xz"},
                    MemErrorCase{"[rip+x]", "Invalid number: x"},
                    MemErrorCase{"[rbx+rip]", "Invalid number: rip"},
                    MemErrorCase{"[rip+0b]", "Invalid binary: 0b"},
                    MemErrorCase{"-8(%rbp)", "Invalid number: -8"},
                    MemErrorCase{"x(%rbp,%rax)", "Invalid number: x"},
                    MemErrorCase{"(%rax,%rbx,x)", "Invalid scale in AT&T syntax"},
                    MemErrorCase{"(%rax,%rbx,256)", "Invalid scale in AT&T syntax"},
                    MemErrorCase{"16(%rax,%rbx,x)", "Invalid scale"},
                    MemErrorCase{"(%rax+8)", "Could not parse AT&T memory: (%rax+8)"},
                    MemErrorCase{"[rax", "Invalid memory address format: [rax"},
                    MemErrorCase{" rbx ", "Invalid memory address format: rbx"},
                    MemErrorCase{"(rax", "Invalid memory address format: (rax"},
                    MemErrorCase{"", "Invalid memory address format: "},
                    MemErrorCase{"]", "Invalid memory address format: ]"}), ByText());

}  // namespace
}  // namespace quorvel::frontend
