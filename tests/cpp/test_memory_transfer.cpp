#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <unistd.h>
#else
#include <windows.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "memory/transfer.hpp"
#include "platform/os_error.hpp"

namespace quorvel::memory {
namespace {

constexpr std::uint64_t kMax = ~std::uint64_t{0};

std::string message_of(const Status& status) { return status ? "ok" : status.error().message; }
template <class T>
std::string message_of(const Result<T>& result) {
  return result ? "ok" : result.error().message;
}

class MemoryTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(memory.init(), 0);
#ifndef _WIN32
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-memory-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
#else
    dir = std::filesystem::temp_directory_path() / ("quorvel-memory-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
#endif
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::string path(const char* name) const { return (dir / name).string(); }

  static void write_file(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<std::uint8_t> read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // Fills the memory with a recognisable pattern, so "nothing written" and
  // "exactly these bytes written" can be told apart.
  void fill_pattern() {
    for (std::uint64_t i = 0; i < kMemorySize; ++i) memory.data()[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  bool pattern_intact() const {
    for (std::uint64_t i = 0; i < kMemorySize; ++i) {
      if (memory.data()[i] != static_cast<std::uint8_t>(i * 7 + 3)) return false;
    }
    return true;
  }

  FlatMemory memory;
  std::filesystem::path dir;
};

struct ScalarCase {
  std::uint64_t address;
  std::uint8_t size;
  const char* read_message;
  const char* write_message;
};

constexpr ScalarCase kScalarCases[] = {
    {0, 1, "ok", "ok"},
    {kMemorySize - 8, 8, "ok", "ok"},
    {kMemorySize - 1, 1, "ok", "ok"},
    {kMemorySize - 7, 8, "Memory address out of bounds", "Memory address out of bounds"},
    {kMemorySize - 1, 3, "Memory address out of bounds", "Memory address out of bounds"},
    {kMemorySize, 1, "Memory address out of bounds", "Memory address out of bounds"},
    {kMemorySize, 0, "Invalid size", "Invalid size (1,2,4,8 only)"},
    {0, 3, "Invalid size", "Invalid size (1,2,4,8 only)"},
    {0, 0, "Invalid size", "Invalid size (1,2,4,8 only)"},
    {0, 255, "Invalid size", "Invalid size (1,2,4,8 only)"},
    {kMax, 1, "Memory address out of bounds", "Memory address out of bounds"},
    {kMax - 6, 8, "Memory address out of bounds", "Memory address out of bounds"},
    {kMax, 0, "Memory address out of bounds", "Memory address out of bounds"},
};

TEST_F(MemoryTransfer, ScalarBoundsAndSizeChecks) {
  fill_pattern();
  for (const ScalarCase& c : kScalarCases) {
    EXPECT_EQ(message_of(read_mem(memory, c.address, c.size)), c.read_message) << c.address << "/" << +c.size;
    Status written = write_mem(memory, c.address, 0, c.size);
    EXPECT_EQ(message_of(written), c.write_message) << c.address << "/" << +c.size;
    if (written) {
      fill_pattern();
    } else {
      EXPECT_TRUE(pattern_intact());
    }
  }
}

struct RunCase {
  std::uint64_t address;
  std::uint64_t size;
  bool fits;
};

constexpr RunCase kRunCases[] = {
    {0, 0, true},
    {0, kMemorySize, true},
    {kMemorySize, 0, true},
    {kMemorySize - 2, 2, true},
    {kMemorySize - 2, 3, false},
    {0, kMemorySize + 1, false},
    {kMemorySize, 1, false},
    {kMemorySize + 1, 0, false},
    {kMax, 0, false},
    {kMax, 1, false},
    {kMax - 1, 2, false},
    {1, kMax, false},
};

TEST_F(MemoryTransfer, ReadBytesBounds) {
  for (const RunCase& c : kRunCases) {
    auto result = read_bytes(memory, c.address, c.size);
    if (c.fits) {
      ASSERT_TRUE(result) << c.address << "+" << c.size;
      EXPECT_EQ(result.value().data(), memory.data() + c.address);
      EXPECT_EQ(result.value().size(), c.size);
    } else {
      EXPECT_EQ(message_of(result), "Read exceeds memory bounds") << c.address << "+" << c.size;
    }
  }
}

TEST_F(MemoryTransfer, WriteAndLoadBytesBounds) {
  fill_pattern();
  // Only sizes that can exist as real buffers; the wrap cases come from the address.
  for (const RunCase& c : kRunCases) {
    if (c.size > kMemorySize + 1) continue;
    std::vector<std::uint8_t> data(c.size, 0xee);
    Status written = write_bytes(memory, c.address, data);
    Status loaded = load_bytes_to_memory(memory, data, c.address);
    if (c.fits) {
      EXPECT_TRUE(written && loaded) << c.address << "+" << c.size;
      fill_pattern();
    } else {
      EXPECT_EQ(message_of(written), "Write exceeds memory bounds") << c.address << "+" << c.size;
      EXPECT_EQ(message_of(loaded), "Data exceeds memory bounds") << c.address << "+" << c.size;
      EXPECT_TRUE(pattern_intact());
    }
  }
  const std::uint8_t bytes[] = {1, 2, 3};
  ASSERT_TRUE(write_bytes(memory, kMemorySize - 3, bytes));
  EXPECT_EQ(std::memcmp(memory.data() + kMemorySize - 3, bytes, 3), 0);
  EXPECT_EQ(memory.data()[kMemorySize - 4], static_cast<std::uint8_t>((kMemorySize - 4) * 7 + 3));
}

TEST_F(MemoryTransfer, LoadBinaryFileCheckOrder) {
  fill_pattern();
  std::string empty = path("empty.bin");
  std::string two = path("two.bin");
  write_file(empty, {});
  write_file(two, {9, 8});
  struct Case {
    std::string file;
    std::uint64_t address;
    std::string expected;
  };
#ifndef _WIN32
  const Case cases[] = {
      {path("missing.bin"), kMemorySize, "File not found: No such file or directory (os error 2)"},
      {path("missing.bin"), kMax, "File not found: No such file or directory (os error 2)"},
      {dir.string(), 0, "File not found: Is a directory (os error 21)"},
      {empty, kMemorySize, "Address out of bounds"},
      {empty, kMax, "Address out of bounds"},
      {two, kMemorySize - 1, "Data exceeds memory bounds"},
      {"/dev/zero", 0, "Data exceeds memory bounds"},
      {"/proc/self/mem", 0, "Failed to read file: Input/output error (os error 5)"},
  };
#else
  // Windows opens no directory as a file, and a NUL in a name is a bad name.
  const Case cases[] = {
      {path("missing.bin"), kMemorySize, "File not found: " + platform::os_error_text(ERROR_FILE_NOT_FOUND)},
      {path("missing.bin"), kMax, "File not found: " + platform::os_error_text(ERROR_FILE_NOT_FOUND)},
      {dir.string(), 0, "File not found: " + platform::os_error_text(ERROR_ACCESS_DENIED)},
      {two + std::string(1, '\0'), 0, "File not found: " + platform::os_error_text(ERROR_INVALID_NAME)},
      {empty, kMemorySize, "Address out of bounds"},
      {empty, kMax, "Address out of bounds"},
      {two, kMemorySize - 1, "Data exceeds memory bounds"},
  };
#endif
  for (const Case& c : cases) {
    EXPECT_EQ(message_of(load_binary_file(memory, c.file, c.address)), c.expected) << c.file;
  }
  EXPECT_TRUE(pattern_intact());

  EXPECT_EQ(load_binary_file(memory, empty, kMemorySize - 1).value(), 0u);
  EXPECT_EQ(load_binary_file(memory, two, kMemorySize - 2).value(), 2u);
  EXPECT_EQ(memory.data()[kMemorySize - 2], 9);
  EXPECT_EQ(memory.data()[kMemorySize - 1], 8);
}

TEST_F(MemoryTransfer, SaveMemoryToFileChecksBeforeCreating) {
  struct Case {
    std::uint64_t address;
    std::uint64_t size;
  };
  const Case refused[] = {{kMemorySize, 1}, {0, kMemorySize + 1}, {kMax, 2}, {2, kMax}, {kMax, 0}};
  std::string name = path("never.bin");
  for (const Case& c : refused) {
    EXPECT_EQ(message_of(save_memory_to_file(memory, name, c.address, c.size)), "Memory range out of bounds");
    EXPECT_FALSE(std::filesystem::exists(name));
  }
#ifndef _WIN32
  EXPECT_EQ(message_of(save_memory_to_file(memory, path("no/such/dir.bin"), 0, 1)),
            "Failed to create file: No such file or directory (os error 2)");
  EXPECT_EQ(message_of(save_memory_to_file(memory, "/dev/full", 0, 1)),
            "Failed to write file: No space left on device (os error 28)");
#else
  EXPECT_EQ(message_of(save_memory_to_file(memory, path("no/such/dir.bin"), 0, 1)),
            "Failed to create file: " + platform::os_error_text(ERROR_PATH_NOT_FOUND));
#endif

  std::string truncated = path("truncated.bin");
  write_file(truncated, {1, 2, 3});
  ASSERT_TRUE(save_memory_to_file(memory, truncated, kMemorySize, 0));
  EXPECT_TRUE(read_file(truncated).empty());
}

// Large loads exchange pages with a staging area instead of copying. Overlapping
// loads at unaligned offsets split the mappings, so later exchanges hit the
// copying fallback too; the memory must match a plain copy every time.
TEST_F(MemoryTransfer, RepeatedLoadsMatchAPlainCopy) {
  std::vector<std::uint8_t> expected(kMemorySize);
  for (std::uint64_t i = 0; i < kMemorySize; ++i) expected[i] = static_cast<std::uint8_t>(i * 7 + 3);
  fill_pattern();
  const std::uint8_t* base = memory.data();
  struct Case {
    std::uint64_t address;
    std::uint64_t size;
  };
  const Case loads[] = {{0, kMemorySize},   {4096, 1 << 20},        {100, 3 << 20},         {0, kMemorySize},
                        {2 << 20, 5 << 20}, {(1 << 20) + 1, 4 << 20}, {kMemorySize - 300000, 300000},
                        {7, 4000},          {5000, 600000},           {0, kMemorySize - 1}};
  std::string name = path("load.bin");
  for (std::size_t n = 0; n < std::size(loads); ++n) {
    const Case& c = loads[n];
    std::vector<std::uint8_t> bytes(c.size);
    for (std::uint64_t i = 0; i < c.size; ++i) bytes[i] = static_cast<std::uint8_t>((i + 1) * (n + 11) >> 3);
    write_file(name, bytes);
    ASSERT_EQ(load_binary_file(memory, name, c.address).value(), c.size);
    std::memcpy(expected.data() + c.address, bytes.data(), c.size);
    ASSERT_EQ(memory.data(), base);
    ASSERT_EQ(std::memcmp(memory.data(), expected.data(), kMemorySize), 0) << "load " << n;
  }
}

}  // namespace
}  // namespace quorvel::memory
