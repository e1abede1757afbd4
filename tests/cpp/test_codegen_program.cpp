// The generated function as a whole: the register frame, running it, and
// writing it to a file.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codegen/generate.hpp"
#include "test_codegen_support.hpp"

namespace quorvel::codegen::testing {
namespace {

using registers::RegisterFile;

std::string le_hex(std::uint64_t value) {
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return hex(bytes, 8);
}

// Every x86 slot gets a distinct value, including those the frame must not load.
RegisterFile distinct_registers() {
  RegisterFile registers;
  for (unsigned slot = 0; slot < registers::kX86SlotCount; ++slot) {
    registers.x86[slot] = 0x1000000000000000u * (slot + 1) + 0x0102030405060708u + slot;
  }
  return registers;
}

TEST(CodegenProgram, EmptyProgramIsTheFixedFrame) {
  const RegisterFile registers = distinct_registers();
  Result<ExecutableBuffer> code = assemble({}, registers);
  ASSERT_TRUE(code.ok());
  const auto& x86 = registers.x86;
  using namespace registers;
  const std::string expected = "55 48 89 E5 53 41 54 41 55 41 56 41 57 "
                               "48 B8 " + le_hex(x86[kRax]) + " 48 BB " + le_hex(x86[kRbx]) +
                               " 48 B9 " + le_hex(x86[kRcx]) + " 48 BA " + le_hex(x86[kRdx]) +
                               " 48 BE " + le_hex(x86[kRsi]) + " 48 BF " + le_hex(x86[kRdi]) +
                               " 49 B8 " + le_hex(x86[kR8]) + " 49 B9 " + le_hex(x86[kR9]) +
                               " 49 BA " + le_hex(x86[kR10]) + " 49 BC " + le_hex(x86[kR12]) +
                               " 49 BD " + le_hex(x86[kR13]) + " 49 BE " + le_hex(x86[kR14]) +
                               " 49 BF " + le_hex(x86[kR15]) +
                               " 41 5F 41 5E 41 5D 41 5C 5B 48 89 EC 5D C3";
  EXPECT_EQ(code.value().length(), 157u);
  EXPECT_EQ(code.value().mapped_size(), 4096u);
  EXPECT_EQ(hex(code.value().code(), code.value().length()), expected);
}

TEST(CodegenProgram, FirstFailureEndsGeneration) {
  struct Case {
    std::vector<Instruction> program;
    std::string_view message;
  };
  const Case cases[] = {
      {{make(Op::Nop), make(Op::Jmp, "nowhere"), make(Op::MovImm, "eax", {}, 1)}, "Undefined label: nowhere"},
      {{make(Op::MovImm, "eax", {}, 1), make(Op::Jmp, "nowhere")}, "Unsupported mov imm register"},
      {{make(Op::AddImm, "rax", {}, 1), make(Op::Lea, "rax"), make(Op::Label, "x"), make(Op::Label, "x")},
       "Instruction not implemented for x86-64"},
      {{make(Op::Jmp, "rax")}, "Undefined label: rax"},
      {{make(Op::Call, "4096")}, "Undefined label: 4096"},
      {{make(Op::Jmp, "Loop"), make(Op::Label, "loop")}, "Undefined label: Loop"},
  };
  for (const Case& c : cases) {
    Result<ExecutableBuffer> code = assemble(c.program);
    ASSERT_FALSE(code.ok()) << c.message;
    EXPECT_EQ(code.error().kind, ErrorKind::Value);
    EXPECT_EQ(code.error().message, c.message);
  }
}

std::uint64_t run_program(const std::vector<Instruction>& program, const RegisterFile& registers) {
  Result<ExecutableBuffer> code = assemble(program, registers);
  EXPECT_TRUE(code.ok()) << (code.ok() ? "" : code.error().message);
  return code.ok() ? run(code.value()) : 0xDEADu;
}

TEST(CodegenProgram, RunReturnsRaxFromTheLoadedRegisters) {
  const RegisterFile registers = distinct_registers();
  using namespace registers;
  const std::pair<std::string_view, X86Slot> loaded[] = {
      {"rax", kRax}, {"rbx", kRbx}, {"rcx", kRcx}, {"rdx", kRdx}, {"rsi", kRsi}, {"rdi", kRdi}, {"r8", kR8},
      {"r9", kR9},   {"r10", kR10}, {"r12", kR12}, {"r13", kR13}, {"r14", kR14}, {"r15", kR15},
  };
  for (const auto& [name, slot] : loaded) {
    EXPECT_EQ(run_program({make(Op::MovReg, "rax", name)}, registers), registers.x86[slot]) << name;
  }
}

TEST(CodegenProgram, RunFollowsLabelsJumpsAndRet) {
  RegisterFile registers;
  registers.x86[registers::kRax] = 5;
  registers.x86[registers::kRcx] = 10;
  EXPECT_EQ(run_program({make(Op::AddImm, "rax", {}, 1)}, registers), 6u);
  // rax += 3, ten times
  EXPECT_EQ(run_program({make(Op::Label, "loop"), make(Op::AddImm, "rax", {}, 3), make(Op::Dec, "rcx"),
                         make(Op::Jne, "loop")},
                        registers),
            35u);
  // ret in the middle skips the rest; at the end it changes nothing
  EXPECT_EQ(run_program({make(Op::AddImm, "rax", {}, 1), make(Op::Ret), make(Op::AddImm, "rax", {}, 100)}, registers),
            6u);
  EXPECT_EQ(run_program({make(Op::AddImm, "rax", {}, 1), make(Op::Ret)}, registers), 6u);
  // push and pop use the machine stack between the frame's saved registers
  EXPECT_EQ(run_program({make(Op::Push, "rcx"), make(Op::Push, "rax"), make(Op::Pop, "rbx"), make(Op::Pop, "rax"),
                         make(Op::AddReg, "rax", "rbx")},
                        registers),
            15u);
  // shl rcx, 4 shifts the count just loaded into cl: (rcx & ~0xff | 4) << 4
  registers.x86[registers::kRcx] = 0x1234;
  EXPECT_EQ(run_program({shift(Op::Shl, "rcx", 4), make(Op::MovReg, "rax", "rcx")}, registers), 0x12040u);
}

TEST(CodegenProgram, GenerateParsesThenAssembles) {
  RegisterFile registers;
  registers.x86[registers::kRax] = 5;
  Result<ExecutableBuffer> code = generate("add rax, 1\nloop: ;; jmp done\ndone:", registers);
  ASSERT_TRUE(code.ok());
  EXPECT_EQ(hex(code.value().code() + kBodyOffset, code.value().length() - kBodyOffset - kEpilogueSize),
            "48 05 01 00 00 00 E9 00 00 00 00");
  EXPECT_EQ(run(code.value()), 6u);

  Result<ExecutableBuffer> failed = generate("nop\n; note\nfoo", registers);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message, "Line 2: Unknown instruction: foo");
}

class CodegenInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvel_codegen_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    std::remove((directory_ + "/code.bin").c_str());
    rmdir(directory_.c_str());
  }

  static std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  std::string directory_;
};

TEST_F(CodegenInstall, WritesExactlyTheCodeAndTruncates) {
  const std::string path = directory_ + "/code.bin";
  {
    std::ofstream old(path, std::ios::binary);
    old << std::string(10000, 'x');
  }
  Result<ExecutableBuffer> code = assemble({make(Op::Nop)}, distinct_registers());
  ASSERT_TRUE(code.ok());
  ASSERT_TRUE(install(code.value(), path).ok());
  const std::vector<std::uint8_t> written = read_file(path);
  ASSERT_EQ(written.size(), 158u);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), code.value().code()));
}

TEST_F(CodegenInstall, FailuresCarryTheSystemText) {
  Result<ExecutableBuffer> code = assemble({});
  ASSERT_TRUE(code.ok());
  struct Case {
    std::string path;
    std::string_view message;
  };
  const Case cases[] = {
      {directory_ + "/missing/code.bin", "Failed to create file: No such file or directory (os error 2)"},
      {directory_, "Failed to create file: Is a directory (os error 21)"},
      {std::string("nul\0byte", 8), "Failed to create file: Invalid argument (os error 22)"},
      {"/dev/full", "Failed to write file: No space left on device (os error 28)"},
  };
  for (const Case& c : cases) {
    Status status = install(code.value(), c.path);
    ASSERT_FALSE(status.ok()) << c.path;
    EXPECT_EQ(status.error().kind, ErrorKind::Value);
    EXPECT_EQ(status.error().message, c.message);
  }
}

}  // namespace
}  // namespace quorvel::codegen::testing
