// The code buffer: label resolution, label errors, growth of the executable
// region and its page protection.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_codegen_support.hpp"

namespace quorvel::codegen::testing {
namespace {

// The permission field ("r-xp") of the mapping that contains `address`.
std::string permissions_of(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto target = reinterpret_cast<std::uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && start <= target && target < end) {
      return perms;
    }
  }
  return "unmapped";
}

std::vector<std::string> writable_executable_mappings() {
  std::ifstream maps("/proc/self/maps");
  std::vector<std::string> found;
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range;
    std::string perms;
    fields >> range >> perms;
    if (perms.size() >= 3 && perms[1] == 'w' && perms[2] == 'x') found.push_back(line);
  }
  return found;
}

Assembler fresh() {
  Result<Assembler> assembler = Assembler::create();
  EXPECT_TRUE(assembler.ok());
  return std::move(assembler).value();
}

std::string finish_error(Assembler assembler) {
  Result<ExecutableBuffer> code = std::move(assembler).finish();
  if (code) return "finished";
  return std::string(code.error().kind == ErrorKind::Panic ? "panic: " : "value: ") + code.error().message;
}

TEST(CodegenAssembler, RelocationsAreTargetMinusEndOfInstruction) {
  struct Case {
    const char* what;
    std::vector<Instruction> program;
    std::string_view body;
  };
  const Case cases[] = {
      {"forward over three bytes",
       {make(Op::Jmp, "end"), make(Op::Nop), make(Op::Nop), make(Op::Nop), make(Op::Label, "end")},
       "E9 03 00 00 00 90 90 90"},
      {"backward to itself", {make(Op::Label, "loop"), make(Op::Jmp, "loop")}, "E9 FB FF FF FF"},
      {"backward over a nop",
       {make(Op::Label, "top"), make(Op::Nop), make(Op::Jne, "top")},
       "90 0F 85 F9 FF FF FF"},
      {"to the label right after", {make(Op::Je, "done"), make(Op::Label, "done")}, "0F 84 00 00 00 00"},
      {"ret goes to the epilogue", {make(Op::Nop), make(Op::Ret), make(Op::Nop)}, "90 E9 01 00 00 00 90"},
      {"two labels at one offset",
       {make(Op::Label, "a"), make(Op::Label, "b"), make(Op::Jmp, "a"), make(Op::Call, "b")},
       "E9 FB FF FF FF E8 F6 FF FF FF"},
      {"label names are case-sensitive and exact",
       {make(Op::Jmp, "x y"), make(Op::Label, "X y"), make(Op::Nop), make(Op::Label, "x y")},
       "E9 01 00 00 00 90"},
  };
  for (const Case& c : cases) EXPECT_EQ(body_hex(c.program), c.body) << c.what;
}

TEST(CodegenAssembler, LongDisplacementsUseAllFourBytes) {
  std::vector<Instruction> program = {make(Op::Jmp, "far")};
  program.resize(1 + 70000, make(Op::Nop));
  program.push_back(make(Op::Label, "far"));
  program.push_back(make(Op::Jmp, "far"));
  Result<ExecutableBuffer> code = assemble(program);
  ASSERT_TRUE(code.ok());
  const std::uint8_t* body = code.value().code() + kBodyOffset;
  EXPECT_EQ(hex(body, 5), "E9 70 11 01 00");  // +70000
  EXPECT_EQ(hex(body + 5 + 70000, 5), "E9 FB FF FF FF");
}

TEST(CodegenAssembler, DuplicateLabelIsAPanicNamingTheLabelNumber) {
  // Label 0 is the exit label; names are numbered by first definition.
  const std::vector<Instruction> program = {make(Op::Label, "a"), make(Op::Label, "b"), make(Op::Nop),
                                            make(Op::Label, "b"), make(Op::Jmp, "a")};
  Result<ExecutableBuffer> code = assemble(program);
  ASSERT_FALSE(code.ok());
  EXPECT_EQ(code.error().kind, ErrorKind::Panic);
  EXPECT_EQ(code.error().message,
            "Errors were encountered when committing before finalization: DuplicateLabel(Dynamic(DynamicLabel(2)))");
}

TEST(CodegenAssembler, LabelErrorsAtFinish) {
  {
    Assembler assembler = fresh();
    const DynamicLabel first = assembler.new_dynamic_label();
    const DynamicLabel second = assembler.new_dynamic_label();
    assembler.define_dynamic_label(first);
    assembler.define_dynamic_label(first);
    assembler.define_dynamic_label(second);
    assembler.emit_byte(0x90);
    assembler.define_dynamic_label(second);
    // The later error replaces the earlier one.
    EXPECT_EQ(finish_error(std::move(assembler)),
              "panic: Errors were encountered when committing before finalization: "
              "DuplicateLabel(Dynamic(DynamicLabel(1)))");
  }
  {
    Assembler assembler = fresh();
    const DynamicLabel never_defined = assembler.new_dynamic_label();
    const std::uint8_t jmp[] = {0xE9, 0, 0, 0, 0};
    assembler.emit(jmp, sizeof jmp);
    assembler.add_rel32_reference(never_defined);
    EXPECT_EQ(finish_error(std::move(assembler)),
              "panic: Errors were encountered when committing before finalization: "
              "UnknownLabel(Dynamic(DynamicLabel(0)))");
  }
  {
    Assembler assembler = fresh();
    const std::uint8_t jmp[] = {0xE9, 0, 0, 0, 0};
    assembler.emit(jmp, sizeof jmp);
    assembler.add_rel32_reference(7);  // a label that was never created
    EXPECT_EQ(finish_error(std::move(assembler)),
              "panic: Errors were encountered when committing before finalization: "
              "UnknownLabel(Dynamic(DynamicLabel(7)))");
  }
}

// A one-byte field makes the range check reachable without 2 GiB of code.
TEST(CodegenAssembler, ByteRelocationPatchesInRangeAndRefusesOutOfRange) {
  for (std::size_t distance : {127u, 128u}) {
    Assembler assembler = fresh();
    const DynamicLabel label = assembler.new_dynamic_label();
    const std::uint8_t short_jmp[] = {0xEB, 0x00};
    assembler.emit(short_jmp, sizeof short_jmp);
    assembler.add_reference(PatchLoc{assembler.offset(), 1, 0, RelocationSize::Byte, 0}, label);
    for (std::size_t i = 0; i < distance; ++i) assembler.emit_byte(0x90);
    assembler.define_dynamic_label(label);
    assembler.emit_byte(0xC3);
    Result<ExecutableBuffer> code = std::move(assembler).finish();
    if (distance == 127) {
      ASSERT_TRUE(code.ok());
      EXPECT_EQ(hex(code.value().code(), 2), "EB 7F");
    } else {
      ASSERT_FALSE(code.ok());
      EXPECT_EQ(code.error().message,
                "Errors were encountered when committing before finalization: "
                "ImpossibleRelocation(Dynamic(DynamicLabel(0)))");
    }
  }
}

TEST(CodegenAssembler, RegionGrowsByDoublingAndKeepsEveryByte) {
  struct Case {
    std::size_t code_bytes;
    std::size_t mapped;
  };
  for (const Case c : {Case{1, 4096}, Case{4095, 4096}, Case{4096, 4096}, Case{4097, 8192}, Case{8191, 8192},
                       Case{8192, 16384}, Case{16385, 32768}}) {
    Assembler assembler = fresh();
    std::vector<std::uint8_t> bytes(c.code_bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 % 251);
    assembler.emit(bytes.data(), bytes.size());
    Result<ExecutableBuffer> code = std::move(assembler).finish();
    ASSERT_TRUE(code.ok()) << c.code_bytes;
    EXPECT_EQ(code.value().length(), c.code_bytes);
    EXPECT_EQ(code.value().mapped_size(), c.mapped) << c.code_bytes;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), code.value().code())) << c.code_bytes;
    EXPECT_EQ(permissions_of(code.value().code()), "r-xp") << c.code_bytes;
  }
}

TEST(CodegenAssembler, GeneratedProgramsOfFourKilobytesAndMore) {
  // 143 bytes of frame before the body and 14 after: 3939 nops make 4096.
  for (const auto& [nops, mapped] : {std::pair{3939u, 4096u}, std::pair{3940u, 8192u}, std::pair{8035u, 16384u}}) {
    const std::vector<Instruction> program(nops, make(Op::Nop));
    Result<ExecutableBuffer> code = assemble(program);
    ASSERT_TRUE(code.ok());
    EXPECT_EQ(code.value().length(), nops + 157);
    EXPECT_EQ(code.value().mapped_size(), mapped) << nops;
  }
}

TEST(CodegenAssembler, NeverWritableAndExecutable) {
  Assembler assembler = fresh();
  EXPECT_EQ(writable_executable_mappings(), std::vector<std::string>{});
  std::vector<std::uint8_t> bytes(5000, 0x90);
  assembler.emit(bytes.data(), bytes.size());
  Result<ExecutableBuffer> code = std::move(assembler).finish();
  ASSERT_TRUE(code.ok());
  EXPECT_EQ(permissions_of(code.value().code()), "r-xp");
  EXPECT_EQ(writable_executable_mappings(), std::vector<std::string>{});
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSpaceLimitUsable = false;
#else
constexpr bool kAddressSpaceLimitUsable = true;
#endif

// Runs `body` in a child whose address space is capped at its current size,
// so that every new mapping fails with ENOMEM; returns what it reported.
template <class Body>
std::string with_no_new_mappings(Body body) {
  int channel[2];
  if (pipe(channel) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    std::string report = body([] {
      long pages = 0;
      std::ifstream statm("/proc/self/statm");
      statm >> pages;
      const rlim_t current = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
      const rlimit limit{current, current};
      setrlimit(RLIMIT_AS, &limit);
    });
    if (write(channel[1], report.data(), report.size()) < 0) _exit(2);
    _exit(0);
  }
  close(channel[1]);
  std::string report;
  char chunk[256];
  for (ssize_t got; (got = read(channel[0], chunk, sizeof chunk)) > 0;) report.append(chunk, static_cast<std::size_t>(got));
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return report;
}

TEST(CodegenAssembler, CreationFailureIsAValueError) {
  if (!kAddressSpaceLimitUsable) GTEST_SKIP() << "address-space limit conflicts with the sanitizer";
  const std::string report = with_no_new_mappings([](auto cap) {
    std::string message;
    message.reserve(256);
    cap();
    Result<Assembler> assembler = Assembler::create();
    if (assembler) return std::string("created");
    message = assembler.error().kind == ErrorKind::Value ? "value: " : "panic: ";
    message += assembler.error().message;
    return message;
  });
  EXPECT_EQ(report,
            "value: Assembler creation failed: Os { code: 12, kind: OutOfMemory, message: \"Cannot allocate memory\" }");
}

TEST(CodegenAssembler, GrowthFailureIsAPanic) {
  if (!kAddressSpaceLimitUsable) GTEST_SKIP() << "address-space limit conflicts with the sanitizer";
  const std::string report = with_no_new_mappings([](auto cap) {
    std::string message;
    message.reserve(256);
    Result<Assembler> assembler = Assembler::create();
    if (!assembler) return std::string("not created");
    std::vector<std::uint8_t> bytes(5000, 0x90);
    assembler.value().emit(bytes.data(), bytes.size());
    cap();
    Result<ExecutableBuffer> code = std::move(assembler).value().finish();
    if (code) return std::string("finished");
    message = code.error().kind == ErrorKind::Value ? "value: " : "panic: ";
    message += code.error().message;
    return message;
  });
  EXPECT_EQ(report,
            "panic: Could not allocate a larger buffer: Os { code: 12, kind: OutOfMemory, message: \"Cannot allocate "
            "memory\" }");
}

}  // namespace
}  // namespace quorvel::codegen::testing
