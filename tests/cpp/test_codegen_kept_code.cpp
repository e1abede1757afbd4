// The code an engine keeps: regenerated only when its text changes, with
// only the register loads rewritten when they change, growing by doubling,
// unchanged by a failed generation, and rebuilt in a child process.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codegen/kept_code.hpp"
#include "platform/os_error.hpp"
#include "test_codegen_support.hpp"

namespace quorvel::codegen::testing {
namespace {

using registers::RegisterFile;

class KeptCodeIn : public ::testing::TestWithParam<platform::CodeMemoryScheme> {};

std::vector<std::uint8_t> kept_bytes(const KeptCode& code) {
  return {code.entry(), code.entry() + code.length()};
}

// What a generation from scratch gives for the same text and registers.
std::vector<std::uint8_t> fresh_bytes(std::string_view text, const RegisterFile& registers) {
  Result<GeneratedCode> code = generate_code(text);
  EXPECT_TRUE(code.ok());
  std::vector<std::uint8_t> bytes = code.value().bytes;
  write_register_loads(bytes.data(), loaded_values(registers));
  return bytes;
}

TEST_P(KeptCodeIn, MatchesAFreshGenerationAfterEveryKindOfUpdate) {
  KeptCode code(GetParam());
  RegisterFile registers;
  std::string text = "mov rax, 1\nl:\nadd rax, rbx\njne l\n";
  std::uint64_t version = 1;
  ASSERT_TRUE(code.update(text, version, registers).ok());
  EXPECT_EQ(kept_bytes(code), fresh_bytes(text, registers));
  registers.x86[registers::kRbx] = 0x1122334455667788;
  registers.x86[registers::kR15] = ~std::uint64_t{0};
  ASSERT_TRUE(code.update(text, version, registers).ok());  // registers only
  EXPECT_EQ(kept_bytes(code), fresh_bytes(text, registers));
  ASSERT_TRUE(code.update(text, version, registers).ok());  // nothing
  EXPECT_EQ(kept_bytes(code), fresh_bytes(text, registers));
  registers.x86[registers::kRsp] = 5;  // not loaded: changes nothing
  ASSERT_TRUE(code.update(text, version, registers).ok());
  EXPECT_EQ(kept_bytes(code), fresh_bytes(text, registers));
  text += "shl rax, 3\n";
  ASSERT_TRUE(code.update(text, ++version, registers).ok());  // new text
  EXPECT_EQ(kept_bytes(code), fresh_bytes(text, registers));
}

TEST_P(KeptCodeIn, AFailedGenerationKeepsTheFunctionAndItsRegisters) {
  KeptCode code(GetParam());
  RegisterFile registers;
  registers.x86[registers::kRax] = 3;
  ASSERT_TRUE(code.update("add rax, 1\n", 1, registers).ok());
  const std::vector<std::uint8_t> before = kept_bytes(code);
  registers.x86[registers::kRax] = 4;
  Status failed = code.update("add rax, 1\npush r11\n", 2, registers);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message, "Unsupported register: r11");
  EXPECT_EQ(failed.error().statement, 2u);
  EXPECT_EQ(kept_bytes(code), before);
  // The old version with the new registers still only needs its loads.
  ASSERT_TRUE(code.update("add rax, 1\n", 1, registers).ok());
  EXPECT_EQ(kept_bytes(code), fresh_bytes("add rax, 1\n", registers));
}

TEST_P(KeptCodeIn, GrowsByDoublingWhileAtMostTheNeed) {
  struct Case {
    std::size_t nops;
    std::size_t capacity;
  };
  // The frame is 157 bytes and nop one byte.
  for (const Case& c : {Case{0, 4096}, Case{4096 - 157, 4096}, Case{4097 - 157, 8192}, Case{8192 - 157, 16384}}) {
    KeptCode code(GetParam());
    std::string text;
    for (std::size_t i = 0; i < c.nops; ++i) text += "nop\n";
    ASSERT_TRUE(code.update(text, 1, {}).ok());
    EXPECT_EQ(code.length(), 157 + c.nops);
    EXPECT_EQ(code.capacity(), c.capacity) << c.nops << " nops";
  }
}

TEST_P(KeptCodeIn, ClearForgetsTheFunctionButKeepsThePages) {
  KeptCode code(GetParam());
  ASSERT_TRUE(code.update("nop\n", 1, {}).ok());
  const std::uint8_t* entry = code.entry();
  code.clear();
  EXPECT_FALSE(code.present());
  EXPECT_EQ(code.entry(), entry);
  ASSERT_TRUE(code.update("nop\n", 2, {}).ok());
  EXPECT_EQ(code.entry(), entry);
}

TEST_P(KeptCodeIn, StatementAtAnOffset) {
  KeptCode code(GetParam());
  const std::string text = "nop\nx:\ndiv rbx\n";
  ASSERT_TRUE(code.update(text, 1, {}).ok());
  // The text has grown since, as an engine's may have.
  EXPECT_EQ(code.statement_at(143, text + "nop\n"), 1u);
  EXPECT_EQ(code.statement_at(144, text + "nop\n"), 3u);
  EXPECT_EQ(code.statement_at(147, text + "nop\n"), 0u);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST_P(KeptCodeIn, InstallWritesTheFunction) {
  KeptCode code(GetParam());
  RegisterFile registers;
  registers.x86[registers::kRcx] = 9;
  ASSERT_TRUE(code.update("mov rax, rcx\n", 1, registers).ok());
  const std::string path = ::testing::TempDir() + "kept_code_install.bin";
  ASSERT_TRUE(code.install(path, "mov rax, rcx\n").ok());
  EXPECT_EQ(read_file(path), fresh_bytes("mov rax, rcx\n", registers));
  Status failed = code.install(::testing::TempDir() + "no/such/dir/x.bin", "");
  ASSERT_FALSE(failed.ok());
#ifndef _WIN32
  EXPECT_EQ(failed.error().message, "Failed to create file: No such file or directory (os error 2)");
#else
  EXPECT_EQ(failed.error().message, "Failed to create file: " + platform::os_error_text(ERROR_PATH_NOT_FOUND));
#endif
}

#ifndef _WIN32

TEST_P(KeptCodeIn, AChildRebuildsTheFunctionItDidNotInherit) {
  KeptCode code(GetParam());
  RegisterFile registers;
  registers.x86[registers::kRax] = 41;
  const std::string text = "add rax, 1\n";
  ASSERT_TRUE(code.update(text, 1, registers).ok());
  const std::vector<std::uint8_t> parent = kept_bytes(code);
  const std::string path = ::testing::TempDir() + "kept_code_child.bin";
  const pid_t child = fork();
  if (child == 0) {
    // A later text was appended, but the kept function is the first one.
    const bool installed = code.install(path, text + "push r11\n").ok();
    _exit(installed ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(path), parent);
  EXPECT_EQ(kept_bytes(code), parent);
}
#endif  // _WIN32: no fork

// Every behaviour holds with either way of getting code memory; protection
// switching is what systems that refuse executable shared memory get.
INSTANTIATE_TEST_SUITE_P(Codegen, KeptCodeIn,
                         ::testing::Values(platform::CodeMemoryScheme::TwoViews,
                                           platform::CodeMemoryScheme::ProtectionSwitching),
                         [](const ::testing::TestParamInfo<platform::CodeMemoryScheme>& row) {
                           return row.param == platform::CodeMemoryScheme::TwoViews ? "TwoViews"
                                                                                      : "ProtectionSwitching";
                         });

}  // namespace
}  // namespace quorvel::codegen::testing
